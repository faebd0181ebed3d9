#pragma once
// Rotating log files: writing them (MultiFileOutputStream), reading binary
// ones back (MultiFileInputStream), their headers and their names.

#include "MultiFileStream/FileToBeRead.h"
#include "MultiFileStream/KivFileOutputSupport.h"
#include "MultiFileStream/LogFileNames.h"
#include "MultiFileStream/MultiFileInputStream.h"
#include "MultiFileStream/MultiFileOutputStream.h"
