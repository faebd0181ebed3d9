#pragma once
// Chief header of the service presence files and their watchers: a service
// publishes itself with ServiceAvailabilityUsingPIDFile; a client notices it
// start with WatchServiceStartUsingPIDFile and its process end with
// WatchServiceStopUsingPID.

#include "ServiceMonitor/ServiceAvailabilityUsingPIDFile.h"
#include "ServiceMonitor/WatchServiceStartUsingPIDFile.h"
#include "ServiceMonitor/WatchServiceStopUsingPID.h"
