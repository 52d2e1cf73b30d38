// The client side of the log servers. The seams below let tests reach what
// Wine will not produce on demand: a socket that cannot be created, a
// loopback name that does not resolve.
#pragma once

#include "kestle.h"

namespace kestle::logconn {

using SocketFn = SOCKET(WSAAPI *)(int family, int type, int protocol);
using ResolveFn = hostent *(WSAAPI *)(const char *name);

// nullptr restores the Winsock function.
void setSocket(SocketFn fn);
void setResolve(ResolveFn fn);

// The pause before the log-daemon connection is tried again after socket
// creation has failed: the connect loop's pace, unless a test sets another.
constexpr DWORD kSocketRetryPauseMs = 1000;
void setSocketRetryPause(DWORD ms);

// The name resolved for the loopback host.
extern const char kLoopbackHost[];
// The pipe log server's pipe.
extern const char kPipeName[];

} // namespace kestle::logconn
