#pragma once
// Dispatcher-to-dispatcher TCP stream: the wire format, the sending side
// (Client, WriteStream) and the receiving side (Server, ServerManager).

#include "SocketStream/Client.h"
#include "SocketStream/ListenSocket.h"
#include "SocketStream/MessageReceiver.h"
#include "SocketStream/PeerFilter.h"
#include "SocketStream/Server.h"
#include "SocketStream/ServerLoop.h"
#include "SocketStream/ServerManager.h"
#include "SocketStream/Shared.h"
#include "SocketStream/Tls.h"
#include "SocketStream/WireFormat.h"
#include "SocketStream/WriteStream.h"
