// The cached network tables: how each fetch sizes its buffer and retries, what
// a failed fetch leaves, the exact text of each dump, and the exports against
// the host's real tables.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fakenet.h"
#include "net/net.h"

namespace {

class NetTables : public kt::FakeNetTest {};

TEST_F(NetTables, EachFetchCallsOnceWhenTheFirstBufferIsLargeEnoughElseTwice)
{
    kt::FakeNet &fake = kt::fakeNet();
    fake.dnsServers = {"192.0.2.53"};
    fake.interfaces = {{7, L"\\DEVICE\\TCPIP_{A}"}};
    fake.addressRows = {kt::fakeAddrRow("127.0.0.1", "255.0.0.0", 1, "127.255.255.255", 65535)};
    EXPECT_EQ(net().getNetworkInfo(), 0);
    EXPECT_EQ(net().getInterfaceInfo(), 0);
    EXPECT_EQ(net().getAddressTableInfo(), 0);
    EXPECT_EQ(fake.paramsCalls, 1);
    EXPECT_EQ(fake.interfaceCalls, 1);
    EXPECT_EQ(fake.addrTableCalls, 2) << "the address table's first call offers no room";
    EXPECT_EQ(fake.addrTableSizesOffered, (std::vector<ULONG>{0, 28}));

    fake.dnsServers = {"192.0.2.53", "192.0.2.54", "192.0.2.55"};
    fake.interfaces.push_back({8, L"\\DEVICE\\TCPIP_{B}"});
    EXPECT_EQ(net().getNetworkInfo(), 0);
    EXPECT_EQ(net().getInterfaceInfo(), 0);
    EXPECT_EQ(fake.paramsCalls, 3);
    EXPECT_EQ(fake.interfaceCalls, 3);
    ASSERT_NE(net().mInterfaceInfo, nullptr);
    EXPECT_EQ(net().mInterfaceInfo->NumAdapters, 2);
    EXPECT_EQ(net().mInterfaceInfo->Adapter[1].Index, 8u);
}

TEST_F(NetTables, AFailedFetchPrintsItsMessageAndLeavesNoTable)
{
    enum Which { Params, Interfaces, AddrTable };
    struct Row {
        Which which;
        std::deque<DWORD> results;
        int calls;
        const char *printed;
    };
    const Row rows[] = {
        {Params, {ERROR_INVALID_PARAMETER}, 1, "GetNetworkParams call failed with 87"},
        {Params, {ERROR_BUFFER_OVERFLOW, ERROR_NOT_SUPPORTED}, 2, "GetNetworkParams call failed with 50"},
        {Params, {ERROR_INSUFFICIENT_BUFFER}, 1, "GetNetworkParams call failed with 122"},
        {Interfaces, {ERROR_NO_DATA}, 1, "GetInterfaceInfo failed with error: 232\n"},
        {Interfaces, {ERROR_INSUFFICIENT_BUFFER, ERROR_INSUFFICIENT_BUFFER}, 2,
         "GetInterfaceInfo failed with error: 122\n"},
        {AddrTable, {ERROR_INSUFFICIENT_BUFFER, ERROR_NOT_SUPPORTED}, 2, "GetIpAddrTable call failed with 50\n"},
        {AddrTable, {ERROR_BUFFER_OVERFLOW}, 1, "GetIpAddrTable call failed with 111\n"},
    };
    for (const Row &r : rows) {
        kt::FakeNet &fake = kt::resetFakeNet();
        fake.interfaces = {{7, L"if"}};
        fake.addressRows = {kt::fakeAddrRow("10.0.0.1", "255.0.0.0", 1, "10.255.255.255", 65535)};
        NetPlatform platform = fake.platform();
        OSALNet fresh(&platform);
        // A table held from an earlier success is gone after the failure.
        ASSERT_EQ(fresh.getNetworkInfo(), 0);
        ASSERT_EQ(fresh.getInterfaceInfo(), 0);
        ASSERT_EQ(fresh.getAddressTableInfo(), 0);
        fake.paramsCalls = fake.interfaceCalls = fake.addrTableCalls = 0;
        int got = -2, calls = 0;
        bool dropped = false;
        switch (r.which) {
        case Params:
            fake.paramsResults = r.results;
            got = fresh.getNetworkInfo();
            calls = fake.paramsCalls;
            dropped = fresh.mNetworkParams == nullptr;
            break;
        case Interfaces:
            fake.interfaceResults = r.results;
            got = fresh.getInterfaceInfo();
            calls = fake.interfaceCalls;
            dropped = fresh.mInterfaceInfo == nullptr;
            break;
        case AddrTable:
            fake.addrTableResults = r.results;
            got = fresh.getAddressTableInfo();
            calls = fake.addrTableCalls;
            dropped = fresh.mIpAddrTable == nullptr;
            break;
        }
        EXPECT_EQ(got, -1) << r.printed;
        EXPECT_EQ(calls, r.calls) << r.printed;
        EXPECT_EQ(fake.printed, r.printed);
        EXPECT_TRUE(dropped) << r.printed;
        fake.printed.clear();
        fresh.showNetworkInfo();
        fresh.showInterfaceInfo();
        fresh.showAddressTableInfo();
        EXPECT_EQ(fake.printed.find(r.which == Params ? "Network info" : r.which == Interfaces ? "Num Adapters" : "IP table"),
                  std::string::npos)
            << "a dropped table prints nothing: " << fake.printed;
    }
}

TEST_F(NetTables, NetworkInfoDumpListsEveryDnsServer)
{
    kt::fakeNet().dnsServers = {"192.0.2.53", "198.51.100.1", "203.0.113.9"};
    net().showNetworkInfo();
    EXPECT_EQ(kt::fakeNet().printed, "") << "nothing fetched yet";
    ASSERT_EQ(net().getNetworkInfo(), 0);
    net().showNetworkInfo();
    EXPECT_EQ(kt::fakeNet().printed, "Network info BEGIN\n"
                                     "Host Name: guesthost\n"
                                     "Domain Name: example.test\n"
                                     "DNS Servers:\n"
                                     "\t192.0.2.53\n"
                                     "\t198.51.100.1\n"
                                     "\t203.0.113.9\n"
                                     "Network info END\n");
}

TEST_F(NetTables, AdapterDumpShowsEveryRecordOfEveryType)
{
    kt::FakeAdapter wired;
    wired.name = "{AAAA}";
    wired.description = "Realtek GbE";
    wired.hw = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    wired.dhcp = true;
    wired.ip = "192.168.1.10";
    wired.mask = "255.255.255.0";
    wired.gateway = "192.168.1.1";
    wired.dhcpServer = "192.168.1.254";
    kt::FakeAdapter loop;
    loop.name = "{BBBB}";
    loop.description = "Loopback";
    loop.type = 24;
    loop.hw.clear();
    loop.ip = "127.0.0.1";
    loop.mask = "255.0.0.0";
    kt::FakeAdapter odd;
    odd.name = "{CCCC}";
    odd.description = "Odd";
    odd.type = 2;
    odd.hw = {0xab};
    odd.dhcpServer = "10.9.9.9"; // not shown: DHCP is off
    kt::fakeNet().adapters = {wired, loop, odd};

    net().showAdaptersInfo();
    EXPECT_EQ(kt::fakeNet().printed, "Adapter info BEGIN\nAdapter info END\n") << "no list yet";
    kt::fakeNet().printed.clear();
    ASSERT_EQ(net().getAdaptersInfo(), 1);
    net().showAdaptersInfo();
    EXPECT_EQ(kt::fakeNet().printed, "Adapter info BEGIN\n"
                                     "Adapter Name: {AAAA}\n"
                                     "Adapter Desc: Realtek GbE\n"
                                     "Adapter type: Ethernet\n"
                                     "\tAdapter Addr: \t00-1A-2B-3C-4D-5E\n"
                                     "IP Address: 192.168.1.10\n"
                                     "IP Mask: 255.255.255.0\n"
                                     "\tGateway: \t192.168.1.1\n"
                                     "\t***\n"
                                     "\tDHCP Enabled: Yes\n"
                                     "\t\tDHCP Server: \t192.168.1.254\n"
                                     "Adapter Name: {BBBB}\n"
                                     "Adapter Desc: Loopback\n"
                                     "Adapter type: Lookback\n"
                                     "\tAdapter Addr: \tIP Address: 127.0.0.1\n"
                                     "IP Mask: 255.0.0.0\n"
                                     "\tGateway: \t0.0.0.0\n"
                                     "\t***\n"
                                     "\tDHCP Enabled: No\n"
                                     "Adapter Name: {CCCC}\n"
                                     "Adapter Desc: Odd\n"
                                     "Adapter type: Unknown type 2\n"
                                     "\tAdapter Addr: \tAB\n"
                                     "IP Address: 0.0.0.0\n"
                                     "IP Mask: 0.0.0.0\n"
                                     "\tGateway: \t0.0.0.0\n"
                                     "\t***\n"
                                     "\tDHCP Enabled: No\n"
                                     "Adapter info END\n");
}

TEST_F(NetTables, AdapterDumpNamesEachKnownType)
{
    const std::pair<unsigned, const char *> types[] = {
        {1, "Other"}, {6, "Ethernet"}, {9, "Token Ring"}, {15, "FDDI"},
        {23, "PPP"},  {24, "Lookback"}, {28, "Slip"},     {71, "Unknown type 71"},
    };
    for (const auto &[type, name] : types) {
        kt::FakeNet &fake = kt::resetFakeNet();
        kt::FakeAdapter a;
        a.type = type;
        fake.adapters = {a};
        NetPlatform platform = fake.platform();
        OSALNet fresh(&platform);
        fresh.getAdaptersInfo();
        fresh.showAdaptersInfo();
        EXPECT_NE(fake.printed.find(std::string("Adapter type: ") + name + "\n\tAdapter Addr: "), std::string::npos)
            << "type " << type << " printed as: " << fake.printed;
    }
}

TEST_F(NetTables, InterfaceDumpListsIndexAndWideName)
{
    // The names print in the ANSI code page: the test run sets the locale
    // (U.S. English, code page 1252), which has the first accented letter
    // and not the last name's character.
    ASSERT_EQ(GetACP(), 1252u) << "the test run sets LC_ALL=en_US.UTF-8 and LOCPATH for this test";
    kt::fakeNet().interfaces = {{3, L"\\DEVICE\\TCPIP_{11}"}, {12, L"eth-\u00e9"}, {14, L"eth-\u4e2d"}};
    net().showInterfaceInfo();
    EXPECT_EQ(kt::fakeNet().printed, "");
    ASSERT_EQ(net().getInterfaceInfo(), 0);
    net().showInterfaceInfo();
    EXPECT_EQ(kt::fakeNet().printed, "Num Adapters: 3\n"
                                     "\tAdapter Index[0]: 3\n"
                                     "\tAdapter Name[0]:  \\DEVICE\\TCPIP_{11}\n\n"
                                     "\tAdapter Index[1]: 12\n"
                                     "\tAdapter Name[1]:  eth-\xe9\n\n"
                                     "\tAdapter Index[2]: 14\n"
                                     "\tAdapter Name[2]:  eth-?\n\n");
}

TEST_F(NetTables, AddressTableDumpShowsSixLinesPerRowInTableOrder)
{
    kt::fakeNet().addressRows = {
        kt::fakeAddrRow("127.0.0.1", "255.0.0.0", 1, "127.255.255.255", 65535),
        kt::fakeAddrRow("192.168.1.10", "255.255.255.0", 11, "192.168.1.255", 1500),
        kt::fakeAddrRow("10.1.2.3", "255.255.254.0", 4, "10.1.3.255", 576),
    };
    ASSERT_EQ(net().getAddressTableInfo(), 0);
    net().showAddressTableInfo();
    EXPECT_EQ(kt::fakeNet().printed, "IP table BEGIN (3)\n\n"
                                     "IP Address:         7f000001\n"
                                     "IP Mask:            ff000000\n"
                                     "IF Index:           1\n"
                                     "Broadcast Addr:     7fffffff\n"
                                     "Re-assembly size:   65535\n"
                                     "\n"
                                     "IP Address:         c0a8010a\n"
                                     "IP Mask:            ffffff00\n"
                                     "IF Index:           11\n"
                                     "Broadcast Addr:     c0a801ff\n"
                                     "Re-assembly size:   1500\n"
                                     "\n"
                                     "IP Address:         0a010203\n"
                                     "IP Mask:            fffffe00\n"
                                     "IF Index:           4\n"
                                     "Broadcast Addr:     0a0103ff\n"
                                     "Re-assembly size:   576\n"
                                     "\n"
                                     "IP table END\n");
}

TEST_F(NetTables, DumpsNeverReadPastTheRowsTheHostReturned)
{
    kt::FakeNet &fake = kt::fakeNet();
    fake.interfaces = {{3, L"one"}};
    fake.interfaceClaimExtra = 1000000;
    fake.addressRows = {kt::fakeAddrRow("10.0.0.1", "255.0.0.0", 1, "10.255.255.255", 65535)};
    fake.addrTableClaimExtra = 1000000;
    ASSERT_EQ(net().getInterfaceInfo(), 0);
    ASSERT_EQ(net().getAddressTableInfo(), 0);
    net().showInterfaceInfo();
    net().showAddressTableInfo();
    EXPECT_EQ(fake.printed, "Num Adapters: 1000001\n"
                            "\tAdapter Index[0]: 3\n"
                            "\tAdapter Name[0]:  one\n\n"
                            "IP table BEGIN (1)\n\n"
                            "IP Address:         0a000001\n"
                            "IP Mask:            ff000000\n"
                            "IF Index:           1\n"
                            "Broadcast Addr:     0affffff\n"
                            "Re-assembly size:   65535\n"
                            "\n"
                            "IP table END\n");

    // A first call that reports success without room to write anything
    // leaves a table of no rows, not whatever the buffer held.
    kt::FakeNet &again = kt::resetFakeNet();
    again.addrTableResults = {ERROR_SUCCESS};
    NetPlatform platform = again.platform();
    OSALNet fresh(&platform);
    ASSERT_EQ(fresh.getAddressTableInfo(), 0);
    fresh.showAddressTableInfo();
    EXPECT_EQ(again.printed, "IP table BEGIN (0)\n\nIP table END\n");
}

// The host's own tables, whatever they hold, through the exports.
TEST(NetTableExports, FetchTheHostsTablesAsTheHostReportsThem)
{
    ULONG size = 0;
    DWORD probe = GetIpAddrTable(nullptr, &size, FALSE);
    ASSERT_EQ(probe, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<char> direct(size);
    ASSERT_EQ(GetIpAddrTable(reinterpret_cast<MIB_IPADDRTABLE *>(direct.data()), &size, FALSE), 0u);

    ASSERT_EQ(osal_net_getAddressTableInfo(), 0);
    ASSERT_EQ(osal_net_getNetworkInfo(), 0);
    ASSERT_EQ(osal_net_getInterfaceInfo(), 0);
    OSALNet *net = OSALNet::getInstance();
    ASSERT_NE(net, nullptr);
    ASSERT_NE(net->mIpAddrTable, nullptr);
    auto *table = reinterpret_cast<MIB_IPADDRTABLE *>(direct.data());
    ASSERT_EQ(net->mIpAddrTable->dwNumEntries, table->dwNumEntries);
    for (DWORD i = 0; i < table->dwNumEntries; ++i)
        EXPECT_EQ(net->mIpAddrTable->table[i].dwAddr, table->table[i].dwAddr) << "row " << i;
    ASSERT_NE(net->mNetworkParams, nullptr);
    ASSERT_NE(net->mInterfaceInfo, nullptr);
    printf("host: %lu address row(s), %ld interface(s), host name \"%s\"\n", table->dwNumEntries,
           net->mInterfaceInfo->NumAdapters, net->mNetworkParams->HostName);

    // The dumps' text is discarded; they only have to run over real tables.
    osal_net_getAdaptersInfo();
    osal_net_showNetworkInfo();
    osal_net_showAdaptersInfo();
    osal_net_showInterfaceInfo();
    osal_net_showAddressTableInfo();
}

} // namespace
