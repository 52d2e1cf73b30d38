// Sockets over Winsock and socket sets. The seams below let tests reach the
// paths Wine cannot produce (a failing start-up, an interrupted select).
#pragma once

#include "kestle.h"

namespace kestle::sockets {

using StartupFn = int(WSAAPI *)(WORD version, LPWSADATA data);
using SelectFn = int(WSAAPI *)(int nfds, fd_set *readSet, fd_set *writeSet, fd_set *exceptSet,
                               const timeval *timeout);

// nullptr restores the Winsock function.
void setStartup(StartupFn fn);
void setSelect(SelectFn fn);

// Whether osal_winsockInit has started the socket library in this process.
bool started();

} // namespace kestle::sockets
