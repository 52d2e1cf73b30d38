// The DHCP request and stop, and adding and deleting an address, on a made-up
// host: the adapter list changes when netsh runs, and the address calls
// answer through the seam, since Wine refuses them. The same exports against
// real adapters are tested in the network namespace (netns_test.cpp).
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "fakenet.h"
#include "netvalues.h"
#include "net/net.h"
#include "net/netconfig.h"

using namespace kestle::netconfig;
using kt::FakeAdapter;

namespace {

// ---- the seam's address calls ----

struct AddCall {
    ULONG address;
    ULONG mask;
    DWORD ifIndex;
};
struct AddAnswer {
    DWORD result;
    ULONG context;
};
std::vector<AddCall> gAdds;
std::deque<AddAnswer> gAddAnswers;
std::vector<ULONG> gDeletes;
std::deque<DWORD> gDeleteAnswers;

DWORD WINAPI seamAdd(IPAddr address, IPMask mask, DWORD ifIndex, PULONG context, PULONG instance)
{
    gAdds.push_back({address, mask, ifIndex});
    AddAnswer answer{ERROR_SUCCESS, 0x100u + static_cast<ULONG>(gAdds.size())};
    if (!gAddAnswers.empty()) {
        answer = gAddAnswers.front();
        gAddAnswers.pop_front();
    }
    if (answer.result == ERROR_SUCCESS) {
        *context = answer.context;
        *instance = 7;
    }
    return answer.result;
}

DWORD WINAPI seamDelete(ULONG context)
{
    gDeletes.push_back(context);
    if (gDeleteAnswers.empty())
        return ERROR_SUCCESS;
    DWORD result = gDeleteAnswers.front();
    gDeleteAnswers.pop_front();
    return result;
}

// ---- the seam's shell ----

std::vector<std::wstring> gShellParameters;
std::vector<DWORD> gShellTicks;
bool gShellStarts = true;
// Runs when netsh is "started": what the DHCP command does to the host.
void (*gOnShell)() = nullptr;

BOOL WINAPI seamShell(SHELLEXECUTEINFOW *info)
{
    gShellParameters.push_back(info->lpParameters ? info->lpParameters : L"(null)");
    gShellTicks.push_back(GetTickCount());
    if (gOnShell)
        gOnShell();
    if (!gShellStarts) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    // An event, set, stands for a netsh that has ended.
    info->hProcess = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    return TRUE;
}

std::vector<DWORD> gAdapterCallTicks;

class NetChanges : public ::testing::Test {
protected:
    void SetUp() override
    {
        kt::resetFakeNet();
        gAdds.clear();
        gAddAnswers.clear();
        gDeletes.clear();
        gDeleteAnswers.clear();
        gShellParameters.clear();
        gShellTicks.clear();
        gShellStarts = true;
        gOnShell = nullptr;
        gAdapterCallTicks.clear();
        setAddressCalls(seamAdd, seamDelete);
        setShellExecuteEx(seamShell);
    }
    void TearDown() override
    {
        setAddressCalls(nullptr, nullptr);
        setShellExecuteEx(nullptr);
    }
    // An object on the fake host; leaked like the process's own.
    OSALNet &net()
    {
        if (!mNet) {
            mPlatform = kt::fakeNet().platform();
            mNet = new OSALNet(&mPlatform);
        }
        return *mNet;
    }
    // The fake host's address rows, fetched into the object as the guest
    // would, with osal_net_getAddressTableInfo.
    void fetchAddressRows(std::vector<MIB_IPADDRROW> rows)
    {
        kt::fakeNet().addressRows = std::move(rows);
        ASSERT_EQ(0, net().getAddressTableInfo());
    }
    OSALNet *mNet = nullptr;
    NetPlatform mPlatform{};
};

std::vector<MIB_IPADDRROW> twoRows()
{
    return {kt::fakeAddrRow("192.0.2.2", "255.255.255.0", 4, "192.0.2.255", 65535),
            kt::fakeAddrRow("127.0.0.1", "255.0.0.0", 1, "127.255.255.255", 65535)};
}

FakeAdapter wiredAdapter()
{
    FakeAdapter a;
    a.description = "Ethernet adapter";
    a.type = 6;
    a.index = 4;
    a.dhcp = true;
    a.ip = "0.0.0.0";
    a.mask = "0.0.0.0";
    return a;
}

// The DHCP command of a label as netsh gets it: the parameters are GBK text.
std::wstring dhcpCommand(const char *label)
{
    char name[kCommandNameSize];
    OSALNet::commandName(label, name);
    std::string bytes = std::string("interface ip set address ") + name + " dhcp";
    wchar_t wide[kParametersSize];
    int n = MultiByteToWideChar(kParametersCodePage, 0, bytes.c_str(), -1, wide, kParametersSize);
    return n > 0 ? std::wstring(wide) : std::wstring();
}

// GetTickCount moves in steps of up to about 16 ms.
constexpr DWORD kSecondLessOneTick = 1000 - 16;

} // namespace

// ---- adding and deleting an address ----

TEST_F(NetChanges, DeleteBeforeAnyAddCallsNothing)
{
    EXPECT_EQ(0, net().delIP());
    EXPECT_TRUE(gDeletes.empty());
}

TEST_F(NetChanges, AddedAddressIsDeletedOnce)
{
    fetchAddressRows(twoRows());
    gAddAnswers.push_back({ERROR_SUCCESS, 0x1234});
    ASSERT_EQ(0, net().addIP("10.1.2.3", "255.255.0.0"));
    ASSERT_EQ(1u, gAdds.size());
    EXPECT_EQ(inet_addr("10.1.2.3"), gAdds[0].address);
    EXPECT_EQ(inet_addr("255.255.0.0"), gAdds[0].mask);
    EXPECT_EQ(4u, gAdds[0].ifIndex) << "the interface of the first row of the cached table";

    EXPECT_EQ(0, net().delIP());
    EXPECT_EQ(std::vector<ULONG>{0x1234}, gDeletes);
    // The spent context may already name someone else's address by now.
    EXPECT_EQ(0, net().delIP());
    EXPECT_EQ(std::vector<ULONG>{0x1234}, gDeletes) << "a second delete must not pass the spent context again";
}

TEST_F(NetChanges, RefusedDeleteKeepsTheAddressForAnotherTry)
{
    fetchAddressRows(twoRows());
    gAddAnswers.push_back({ERROR_SUCCESS, 0x55});
    ASSERT_EQ(0, net().addIP("10.1.2.3", "255.255.255.0"));
    gDeleteAnswers.push_back(ERROR_NOT_FOUND);
    EXPECT_EQ(-1, net().delIP());
    EXPECT_NE(std::string::npos, kt::fakeNet().printed.find("DeleteIPAddress call failed with 1168\n"))
        << kt::fakeNet().printed;
    EXPECT_EQ(0, net().delIP());
    EXPECT_EQ((std::vector<ULONG>{0x55, 0x55}), gDeletes);
}

TEST_F(NetChanges, OnlyTheLastAddedAddressIsRemembered)
{
    fetchAddressRows(twoRows());
    gAddAnswers.push_back({ERROR_SUCCESS, 11});
    gAddAnswers.push_back({ERROR_SUCCESS, 22});
    ASSERT_EQ(0, net().addIP("10.1.2.3", "255.255.255.0"));
    ASSERT_EQ(0, net().addIP("10.1.2.4", "255.255.255.0"));
    EXPECT_EQ(0, net().delIP());
    EXPECT_EQ(std::vector<ULONG>{22}, gDeletes);
}

TEST_F(NetChanges, FailedAddKeepsTheEarlierAddress)
{
    fetchAddressRows(twoRows());
    gAddAnswers.push_back({ERROR_SUCCESS, 11});
    gAddAnswers.push_back({ERROR_ACCESS_DENIED, 0});
    ASSERT_EQ(0, net().addIP("10.1.2.3", "255.255.255.0"));
    EXPECT_EQ(-1, net().addIP("10.1.2.4", "255.255.255.0"));
    EXPECT_NE(std::string::npos, kt::fakeNet().printed.find("AddIPAddress call failed with 5\n"))
        << kt::fakeNet().printed;
    EXPECT_EQ(0, net().delIP());
    EXPECT_EQ(std::vector<ULONG>{11}, gDeletes);
}

TEST_F(NetChanges, TextsThatAreNoAddressAddNothing)
{
    fetchAddressRows(twoRows());
    struct Case {
        const char *ip;
        const char *mask;
    };
    const Case bad[] = {
        {"nonsense", "255.255.255.0"}, {"10.0.0.1", "mask"}, {"", "255.255.255.0"}, {"10.0.0.1", ""},
        {"10.0.0.256", "255.255.255.0"}, {nullptr, "255.255.255.0"}, {"10.0.0.1", nullptr},
    };
    for (const Case &c : bad) {
        EXPECT_EQ(-1, net().addIP(c.ip, c.mask))
            << (c.ip ? c.ip : "(null)") << " / " << (c.mask ? c.mask : "(null)");
    }
    EXPECT_TRUE(gAdds.empty()) << gAdds.size() << " addresses added, the first " << std::hex << gAdds[0].address;
    // The one text whose value is INADDR_NONE is an address all the same.
    EXPECT_EQ(0, net().addIP("10.0.0.9", "255.255.255.255"));
    ASSERT_EQ(1u, gAdds.size());
    EXPECT_EQ(0xFFFFFFFFu, gAdds[0].mask);
}

TEST_F(NetChanges, NoAddressTableAddsNothing)
{
    EXPECT_EQ(-1, net().addIP("10.0.0.1", "255.255.255.0")) << "no table fetched yet";
    fetchAddressRows({});
    EXPECT_EQ(-1, net().addIP("10.0.0.1", "255.255.255.0")) << "a table without rows";
    kt::fakeNet().addrTableResults = {ERROR_INSUFFICIENT_BUFFER, ERROR_NOT_SUPPORTED};
    EXPECT_EQ(-1, net().getAddressTableInfo());
    EXPECT_EQ(-1, net().addIP("10.0.0.1", "255.255.255.0")) << "after a failed fetch";
    EXPECT_TRUE(gAdds.empty());
}

// ---- the DHCP request and stop ----

TEST_F(NetChanges, DhcpRequestReadsTheAdapterOneSecondAfterStartingNetsh)
{
    kt::fakeNet().adapters = {wiredAdapter()};
    kt::fakeNet().dnsServers = {"192.0.2.53"};
    kt::fakeNet().beforeAdapterCall = [](int) { gAdapterCallTicks.push_back(GetTickCount()); };
    // A list is held already: the request reads the adapter again all the same.
    ASSERT_EQ(1, net().getAdaptersInfo());
    gAdapterCallTicks.clear();
    // What DHCP gives the adapter once netsh has run.
    gOnShell = [] {
        FakeAdapter &a = kt::fakeNet().adapters[0];
        a.ip = "192.168.1.10";
        a.mask = "255.255.255.0";
        a.gateway = "192.168.1.1";
        a.dhcpServer = "192.168.1.2";
        a.leaseExpires = 0x65000000;
    };
    kt::NetAnswer got;
    ASSERT_EQ(0, net().dhcpDoRequest("eth0", &got.ip, &got.gateway, &got.mask, &got.dns1, &got.dns2, &got.server,
                                     &got.lease));
    EXPECT_EQ(std::vector<std::wstring>{dhcpCommand("eth0")}, gShellParameters);
    EXPECT_EQ(inet_addr("192.168.1.10"), got.ip);
    EXPECT_EQ(inet_addr("255.255.255.0"), got.mask);
    EXPECT_EQ(inet_addr("192.168.1.1"), got.gateway);
    EXPECT_EQ(inet_addr("192.168.1.2"), got.server);
    EXPECT_EQ(0x65000000u, got.lease);
    EXPECT_EQ(inet_addr("192.0.2.53"), got.dns1);
    EXPECT_EQ(0u, got.dns2);
    ASSERT_FALSE(gAdapterCallTicks.empty());
    ASSERT_EQ(1u, gShellTicks.size());
    EXPECT_GE(gAdapterCallTicks[0] - gShellTicks[0], kSecondLessOneTick)
        << "the adapter was read again before the second had passed";
}

TEST_F(NetChanges, DhcpRequestForALabelWithoutAdapterWritesNothing)
{
    kt::fakeNet().adapters = {wiredAdapter()};
    DWORD before = GetTickCount();
    kt::NetAnswer got;
    EXPECT_EQ(-1, net().dhcpDoRequest("wifi", &got.ip, &got.gateway, &got.mask, &got.dns1, &got.dns2, &got.server,
                                      &got.lease));
    EXPECT_GE(GetTickCount() - before, kSecondLessOneTick) << "the pause comes before the lookup";
    EXPECT_TRUE(got.untouched());
    EXPECT_EQ(std::vector<std::wstring>{dhcpCommand("wifi")}, gShellParameters)
        << "the command is started all the same";
}

TEST_F(NetChanges, DhcpRequestWithBadArgumentsStartsNothing)
{
    kt::fakeNet().adapters = {wiredAdapter()};
    kt::NetAnswer got;
    uint32_t *out[7] = {&got.ip, &got.gateway, &got.mask, &got.dns1, &got.dns2, &got.server, &got.lease};
    EXPECT_EQ(-1, net().dhcpDoRequest(nullptr, out[0], out[1], out[2], out[3], out[4], out[5], out[6]));
    for (int missing = 0; missing < 7; ++missing) {
        uint32_t *p[7];
        for (int i = 0; i < 7; ++i)
            p[i] = i == missing ? nullptr : out[i];
        EXPECT_EQ(-1, net().dhcpDoRequest("eth0", p[0], p[1], p[2], p[3], p[4], p[5], p[6]))
            << "out-argument " << missing << " missing";
    }
    EXPECT_TRUE(got.untouched());
    EXPECT_TRUE(gShellParameters.empty());
    EXPECT_EQ(0, kt::fakeNet().adapterCalls);
}

TEST_F(NetChanges, DhcpRequestWhoseNetshCannotStartReadsNothing)
{
    kt::fakeNet().adapters = {wiredAdapter()};
    gShellStarts = false; // the shell found no netsh
    kt::NetAnswer got;
    EXPECT_EQ(-1, net().dhcpDoRequest("eth0", &got.ip, &got.gateway, &got.mask, &got.dns1, &got.dns2, &got.server,
                                      &got.lease));
    EXPECT_TRUE(got.untouched());
    EXPECT_EQ(1u, gShellParameters.size());
    EXPECT_EQ(0, kt::fakeNet().adapterCalls);
}

TEST_F(NetChanges, StopDhcpChangesNothing)
{
    kt::fakeNet().adapters = {wiredAdapter()};
    for (const char *label : {"eth0", "wifi", "no such adapter", ""})
        EXPECT_EQ(0, net().stopDHCP(label)) << label;
    EXPECT_TRUE(gShellParameters.empty()) << gShellParameters.size() << " netsh runs";
    EXPECT_EQ(1, kt::fakeNet().adapterCalls) << "the list is fetched when none is held, and only then";
    EXPECT_NE(nullptr, net().mAdapterInfo);

    kt::resetFakeNet();
    mNet = nullptr;
    EXPECT_EQ(0, net().stopDHCP("eth0")) << "a host without adapters";
    EXPECT_EQ(0, net().stopDHCP(nullptr));
}
