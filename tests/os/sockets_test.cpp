// Sockets and socket sets, against real loopback sockets. Start-up rules that
// depend on a fresh process run in a child.
#include <gtest/gtest.h>

#include <ws2tcpip.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "child.h"
#include "os/rootdir.h"
#include "os/sockets.h"
#include "roles.h"

namespace {

constexpr int kTimeoutMs = 60000;

// Two starts, one clean-up: if the library started once, it is down again.
KT_ROLE(winsock_once)
{
    int first = osal_winsockInit();
    SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    printf("usable_after_init=%d\n", probe != INVALID_SOCKET);
    if (probe != INVALID_SOCKET)
        closesocket(probe);
    int second = osal_winsockInit();
    int cleanup = osal_winsockExit();
    SOCKET after = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    int error = WSAGetLastError();
    printf("init=%d,%d cleanup=%d\n", first, second, cleanup);
    printf("down_after_one_cleanup=%d error=%d\n", after == INVALID_SOCKET, error);
    char *published = osal_getEnvVariable("ROOT_VANTRELL_ROOT");
    printf("root_computed=%d published=%s\n", kestle::rootdir::computations(), published ? published : "(null)");
    free(published);
    printf("end\n");
    return 0;
}

int WSAAPI failingStartup(WORD, LPWSADATA) { return WSASYSNOTREADY; }

KT_ROLE(winsock_failing)
{
    kestle::sockets::setStartup(failingStartup);
    int failed = osal_winsockInit();
    printf("failed=%d started=%d root_computed=%d\n", failed, kestle::sockets::started(),
           kestle::rootdir::computations());
    kestle::sockets::setStartup(nullptr);
    int retried = osal_winsockInit();
    printf("retried=%d started=%d root_computed=%d\n", retried, kestle::sockets::started(),
           kestle::rootdir::computations());
    printf("end\n");
    return 0;
}

std::string runRole(const std::string &role)
{
    kt::Child child;
    kt::EnvChanges env;
    env.set.emplace_back("VANTRELL_ROOT", "c:/sockroot");
    EXPECT_TRUE(child.startRole(role, {}, &env));
    EXPECT_TRUE(child.waitOut("end\n", kTimeoutMs)) << child.out();
    DWORD code = 1;
    EXPECT_TRUE(child.finish(kTimeoutMs, &code));
    EXPECT_EQ(code, 0u) << child.err();
    return child.out();
}

TEST(WinsockInit, StartsTheSocketLibraryOncePerProcess)
{
    std::string out = runRole("winsock_once");
    EXPECT_NE(out.find("usable_after_init=1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("init=0,0 cleanup=0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("down_after_one_cleanup=1 error=10093\n"), std::string::npos)
        << "one clean-up must undo every start-up; got:\n"
        << out;
    EXPECT_NE(out.find("root_computed=1 published=/sockroot\n"), std::string::npos) << out;
}

TEST(WinsockInit, FailedStartupChangesNothingAndIsRetried)
{
    std::string out = runRole("winsock_failing");
    EXPECT_NE(out.find("failed=-1 started=0 root_computed=0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("retried=0 started=1 root_computed=1\n"), std::string::npos) << out;
}

TEST(WinsockInit, SockStartupAddsAStartEachCall)
{
    ASSERT_EQ(osal_sock_startup(), 0);
    ASSERT_EQ(osal_sock_startup(), 0);
    EXPECT_EQ(osal_winsockExit(), 0);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_NE(s, INVALID_SOCKET) << "one start-up must still be in force";
    closesocket(s);
    EXPECT_EQ(osal_winsockExit(), 0);
    EXPECT_EQ(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
}

} // namespace
