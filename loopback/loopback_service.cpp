#include "loopback_service.h"

#include <winsock2.h>

namespace loopback {

const char *failureMessage(Failure failure)
{
    switch (failure) {
    case Failure::Bind:
        return "bind socket failed";
    case Failure::PortName:
        return "Failed to get allocated port";
    case Failure::Listen:
        return "listen failed";
    case Failure::Socket:
    case Failure::None:
        break;
    }
    return "";
}

Failure openSocket(int32_t *sock, uint16_t *portField)
{
    sockaddr_in serv{};
    serv.sin_family = AF_INET;
    serv.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    serv.sin_port = 0;

    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    *sock = static_cast<int32_t>(s);
    if (*sock < 0)
        return Failure::Socket;
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&on), sizeof on);
    if (bind(s, reinterpret_cast<const sockaddr *>(&serv), sizeof serv) < 0)
        return Failure::Bind;
    int len = sizeof serv;
    if (getsockname(s, reinterpret_cast<sockaddr *>(&serv), &len) != 0)
        return Failure::PortName;
    *portField = serv.sin_port;
    return Failure::None;
}

Failure startListening(int32_t sock)
{
    return listen(static_cast<SOCKET>(sock), SOMAXCONN) < 0 ? Failure::Listen : Failure::None;
}

int32_t acceptNext(int32_t listenSock)
{
    return static_cast<int32_t>(accept(static_cast<SOCKET>(listenSock), nullptr, nullptr));
}

void closeSocket(int32_t sock) { closesocket(static_cast<SOCKET>(sock)); }

} // namespace loopback
