// The network exports against real adapters: this program runs inside a
// network namespace that the test run lays out (cmake/netns.in), with a
// wineserver of the namespace's own, so Wine's IP Helper reports exactly the
// adapters below. "full" holds them; "empty" (the NetnsEmpty cases) none.
// Wine enables DHCP on every adapter and names no DHCP server or lease: those
// states, and failures of the platform calls, are tested on the made-up host
// of fakenet.cpp.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "loggednet.h"
#include "net/net.h"
#include "netsh_record.h"
#include "netvalues.h"

namespace {

using kt::addrField;
using kt::bytes;
using kt::NetAnswer;

struct Adapter {
    const char *name; // the Linux device, which Wine gives as the Description
    unsigned type;
    uint32_t index;
    std::vector<uint8_t> hw;
    const char *ip;
    const char *mask;
    const char *gateway;
};

// The full namespace, in Wine's list order (interface index order).
const Adapter kPpp0 = {"ppp0", 1, 2, {}, "198.18.9.1", "255.255.255.255", "0.0.0.0"};
const Adapter kWired0 = {"wired0", 6, 3, {0x02, 0x4B, 0x53, 0, 0, 1}, "198.18.1.10", "255.255.255.128", "198.18.1.1"};
const Adapter kWireless0 = {"wireless0", 6, 4, {0x02, 0x4B, 0x53, 0, 0, 2}, "198.18.2.20", "255.255.254.0",
                            "198.18.3.254"};
const Adapter kWifi0 = {"wifi0", 6, 5, {0x02, 0x4B, 0x53, 0, 0, 3}, "198.18.4.30", "255.255.255.0", "0.0.0.0"};
const Adapter kWlan0 = {"wlan0", 6, 6, {0x02, 0x4B, 0x53, 0, 0, 4}, "198.18.5.40", "255.255.255.192", "198.18.5.1"};
const Adapter kEth5 = {"eth5", 6, 7, {0x02, 0x4B, 0x53, 0, 0, 5}, "0.0.0.0", "0.0.0.0", "0.0.0.0"};
const Adapter kWireless6 = {"wireless6", 6, 8, {0x02, 0x4B, 0x53, 0, 0, 6}, "198.18.6.60", "255.255.255.0",
                            "0.0.0.0"};
const Adapter *const kLayout[] = {&kPpp0, &kWired0, &kWireless0, &kWifi0, &kWlan0, &kEth5, &kWireless6};
const char *const kDnsServers[] = {"198.18.53.1", "198.18.53.2", "198.18.53.3"};

uint32_t addr(const char *text)
{
    return inet_addr(text);
}

// The platform's answer to a call of the (buffer, &size) kind, asked twice.
template <class Record, class Call>
std::vector<char> fetch(Call call, DWORD *result)
{
    ULONG size = 0;
    *result = call(nullptr, &size);
    std::vector<char> buffer(size ? size : 1);
    if (*result == ERROR_BUFFER_OVERFLOW || *result == ERROR_INSUFFICIENT_BUFFER)
        *result = call(reinterpret_cast<Record *>(buffer.data()), &size);
    return buffer;
}

} // namespace

// What the tests below assume, checked on the platform's own answers first:
// a namespace that is not laid out as they think fails here, not there.
TEST(NetnsHost, IpHelperReportsTheLayout)
{
    DWORD result;
    std::vector<char> list = fetch<IP_ADAPTER_INFO>(
        [](IP_ADAPTER_INFO *b, ULONG *s) { return GetAdaptersInfo(b, s); }, &result);
    ASSERT_EQ(ERROR_SUCCESS, result);
    size_t i = 0;
    for (auto *r = reinterpret_cast<IP_ADAPTER_INFO *>(list.data()); r; r = r->Next, ++i) {
        ASSERT_LT(i, std::size(kLayout)) << "more adapters than the namespace has: " << r->Description;
        const Adapter &want = *kLayout[i];
        EXPECT_STREQ(want.name, r->Description) << "record " << i;
        EXPECT_EQ(want.type, r->Type) << want.name;
        EXPECT_EQ(want.index, r->Index) << want.name;
        EXPECT_EQ(bytes(want.hw.data(), want.hw.size()), bytes(r->Address, r->AddressLength)) << want.name;
        EXPECT_STREQ(want.ip, r->IpAddressList.IpAddress.String) << want.name;
        EXPECT_STREQ(want.mask, r->IpAddressList.IpMask.String) << want.name;
        EXPECT_STREQ(want.gateway, r->GatewayList.IpAddress.String) << want.name;
        EXPECT_NE(0u, r->DhcpEnabled) << want.name;
        EXPECT_STREQ("", r->DhcpServer.IpAddress.String) << want.name;
    }
    EXPECT_EQ(std::size(kLayout), i);

    std::vector<char> params = fetch<FIXED_INFO>(
        [](FIXED_INFO *b, ULONG *s) { return GetNetworkParams(b, s); }, &result);
    ASSERT_EQ(ERROR_SUCCESS, result);
    std::vector<std::string> dns;
    for (auto *s = &reinterpret_cast<FIXED_INFO *>(params.data())->DnsServerList; s; s = s->Next)
        dns.push_back(s->IpAddress.String);
    EXPECT_EQ(std::vector<std::string>(std::begin(kDnsServers), std::end(kDnsServers)), dns);

    std::vector<char> interfaces = fetch<IP_INTERFACE_INFO>(
        [](IP_INTERFACE_INFO *b, ULONG *s) { return GetInterfaceInfo(b, s); }, &result);
    ASSERT_EQ(ERROR_SUCCESS, result);
    auto *info = reinterpret_cast<IP_INTERFACE_INFO *>(interfaces.data());
    ASSERT_EQ(static_cast<LONG>(std::size(kLayout)), info->NumAdapters);
    for (LONG n = 0; n < info->NumAdapters; ++n)
        EXPECT_EQ(kLayout[n]->index, info->Adapter[n].Index) << "interface " << n;

    std::vector<char> rows = fetch<MIB_IPADDRTABLE>(
        [](MIB_IPADDRTABLE *b, ULONG *s) { return GetIpAddrTable(b, s, FALSE); }, &result);
    ASSERT_EQ(ERROR_SUCCESS, result);
    auto *table = reinterpret_cast<MIB_IPADDRTABLE *>(rows.data());
    for (const Adapter *a : kLayout) {
        bool found = false;
        for (DWORD n = 0; n < table->dwNumEntries; ++n)
            found = found || (table->table[n].dwAddr == addr(a->ip) && table->table[n].dwIndex == a->index &&
                              table->table[n].dwMask == addr(a->mask));
        EXPECT_EQ(strcmp(a->ip, "0.0.0.0") != 0, found) << a->name << ": its address row";
    }
}

// The first five Ethernet adapters in list order, none for the PPP-like first
// record nor for the sixth; only a description with "wireless" makes an
// entry wireless ("wifi0" and "wlan0" are wired).
TEST(NetnsAdapters, TheTableHoldsTheFirstFiveEthernetAdapters)
{
    EXPECT_EQ(5, osal_net_getAdaptersInfo());
    EXPECT_EQ(5, osal_net_getNumberOfAdapters());
    OSALNet *net = OSALNet::getInstance();
    ASSERT_NE(nullptr, net);
    const struct {
        const Adapter *adapter;
        int32_t wireless;
    } want[] = {{&kWired0, 0}, {&kWireless0, 1}, {&kWifi0, 0}, {&kWlan0, 0}, {&kEth5, 0}};
    ASSERT_EQ(5, net->mNumAdapters);
    for (int i = 0; i < 5; ++i) {
        const AdapterEntry &e = net->mAdapters[i];
        const Adapter &a = *want[i].adapter;
        EXPECT_EQ(want[i].wireless, e.isWireless) << "entry " << i << " (" << a.name << ")";
        EXPECT_EQ(a.index, e.ifIndex) << "entry " << i << " (" << a.name << ")";
        EXPECT_EQ(bytes(a.hw.data(), a.hw.size()), bytes(e.addr, e.addrLen)) << "entry " << i << " (" << a.name << ")";
    }
}

// Every query of a label reports the matched adapter's own facts: the wired
// labels wired0's (a /25), the wireless labels wireless0's (a /23), although
// the first record of the list is ppp0 and its address the first one listed.
TEST(NetnsQueries, EachLabelReportsItsOwnAdaptersFacts)
{
    struct Row {
        const char *label;
        const Adapter *adapter;
        int prefix;
    };
    const Row rows[] = {
        {"eth0", &kWired0, 25},     {"wired", &kWired0, 25},     {"wlan0", &kWired0, 25},
        {"Wi-Fi", &kWired0, 25},    {"", &kWired0, 25},          {"wifi", &kWireless0, 23},
        {"WiFi0", &kWireless0, 23}, {"mywifi", &kWireless0, 23}, {"WIFI", &kWireless0, 23},
    };
    for (const Row &r : rows) {
        const Adapter &a = *r.adapter;
        std::string what = std::string("label \"") + r.label + "\" (" + a.name + ")";

        uint8_t hw[8];
        memset(hw, 0xCC, sizeof hw);
        ASSERT_EQ(0, osal_net_get_hwaddr(r.label, hw)) << what;
        EXPECT_EQ(bytes(a.hw.data(), 6) + "\xCC\xCC", bytes(hw, 8)) << what;
        uint32_t index = 0;
        ASSERT_EQ(0, osal_net_get_ifindex(r.label, &index)) << what;
        EXPECT_EQ(a.index, index) << what;

        NetAnswer v;
        ASSERT_EQ(0, osal_net_getAdapterInfoByLabel(r.label, &v.ip, &v.gateway, &v.mask, &v.dns1, &v.dns2,
                                                    &v.server, &v.lease))
            << what;
        EXPECT_EQ(addr(a.ip), v.ip) << what;
        EXPECT_EQ(addr(a.mask), v.mask) << what;
        EXPECT_EQ(addr(a.gateway), v.gateway) << what;
        EXPECT_EQ(0u, v.server) << what << ": Wine names no DHCP server";
        EXPECT_EQ(0u, v.lease) << what;
        EXPECT_EQ(addr(kDnsServers[0]), v.dns1) << what;
        EXPECT_EQ(addr(kDnsServers[1]), v.dns2) << what;

        uint32_t number = 0;
        int prefix = -1, flags = -1;
        ASSERT_EQ(0, osal_net_getAdapterInfoByLabelNumber(r.label, &number, &prefix, &flags)) << what;
        EXPECT_EQ(addr(a.ip), number) << what;
        EXPECT_EQ(r.prefix, prefix) << what << ", mask " << a.mask;
        EXPECT_EQ(0, flags) << what;

        char ip[16], gateway[16], dns1[16], dns2[16], server[16];
        for (char *f : {ip, gateway, dns1, dns2, server})
            memset(f, 'x', 16);
        prefix = -1;
        uint32_t lease = 1;
        ASSERT_EQ(0, osal_net_getAdapterInfoByLabelString(r.label, ip, gateway, &prefix, dns1, dns2, server, &lease))
            << what;
        EXPECT_EQ(addrField(a.ip), bytes(ip, 16)) << what;
        EXPECT_EQ(addrField(a.gateway), bytes(gateway, 16)) << what;
        EXPECT_EQ(r.prefix, prefix) << what;
        EXPECT_EQ(addrField("0.0.0.0"), bytes(server, 16)) << what << ": Wine names no DHCP server";
        EXPECT_EQ(0u, lease) << what;
        EXPECT_EQ(addrField(kDnsServers[0]), bytes(dns1, 16)) << what;
        EXPECT_EQ(addrField(kDnsServers[1]), bytes(dns2, 16)) << what;
    }
}

// Run once per resolv.conf of its own (KESTLE_NETNS_DNS), with the first and
// second server the queries must report in KT_EXPECT_DNS.
TEST(NetnsDns, TheQueriesReportTheFirstTwoServers)
{
    const char *expected = getenv("KT_EXPECT_DNS");
    ASSERT_NE(nullptr, expected) << "run by CTest with KT_EXPECT_DNS";
    std::string both = expected;
    ASSERT_NE(std::string::npos, both.find(',')) << both;
    std::string first = both.substr(0, both.find(','));
    std::string second = both.substr(both.find(',') + 1);

    for (const char *label : {"eth0", "wifi"}) {
        NetAnswer v;
        ASSERT_EQ(0, osal_net_getAdapterInfoByLabel(label, &v.ip, &v.gateway, &v.mask, &v.dns1, &v.dns2, &v.server,
                                                    &v.lease));
        // inet_addr's value of "0.0.0.0" is the missing address, 0.
        EXPECT_EQ(addr(first.c_str()), v.dns1) << label << ": expected " << first;
        EXPECT_EQ(addr(second.c_str()), v.dns2) << label << ": expected " << second;
        char ip[16], gateway[16], dns1[16], dns2[16], server[16];
        int prefix = 0;
        ASSERT_EQ(0, osal_net_getAdapterInfoByLabelString(label, ip, gateway, &prefix, dns1, dns2, server, &v.lease));
        EXPECT_EQ(addrField(first.c_str()), bytes(dns1, 16)) << label;
        EXPECT_EQ(addrField(second.c_str()), bytes(dns2, 16)) << label;
    }
}

// The DHCP request runs netsh (the stand-in beside this program), waits for
// it, pauses a second, then reads the adapter again: the stand-in changes
// nothing, so the answer is the adapter as laid out.
TEST(NetnsChanges, DhcpRequestRunsNetshThenReadsTheAdapter)
{
    kt::NetshRecorder recorder;
    ASSERT_TRUE(recorder.ok());
    NetAnswer v;
    ASSERT_EQ(0, osal_net_dhcp_do_request("wifi", &v.ip, &v.gateway, &v.mask, &v.dns1, &v.dns2, &v.server, &v.lease));
    long long returned = kt::netshClockUs();
    EXPECT_EQ(addr(kWireless0.ip), v.ip);
    EXPECT_EQ(addr(kWireless0.mask), v.mask);
    EXPECT_EQ(addr(kWireless0.gateway), v.gateway);
    EXPECT_EQ(0u, v.server);
    EXPECT_EQ(addr(kDnsServers[0]), v.dns1);
    EXPECT_EQ(addr(kDnsServers[1]), v.dns2);
    std::vector<kt::NetshRun> runs = recorder.waitFor(1);
    ASSERT_EQ(1u, runs.size());
    EXPECT_EQ(0u, runs[0].parameters.rfind(L"interface ip set address ", 0));
    EXPECT_EQ(runs[0].parameters.size() - 5, runs[0].parameters.rfind(L" dhcp"));
    EXPECT_GE(returned - runs[0].endUs, 990 * 1000) << "the adapter was read within a second of netsh's end";

    EXPECT_EQ(0, osal_net_stopDHCP("wifi"));
    EXPECT_EQ(0, osal_net_stopDHCP("no such adapter"));
    EXPECT_EQ(1u, recorder.waitFor(1).size()) << "stopping DHCP runs nothing";
}

// Wine refuses to add an address: the failure through the exports.
TEST(NetnsChanges, AddingAnAddressIsRefusedAndNothingIsDeleted)
{
    ASSERT_EQ(0, osal_net_getAddressTableInfo());
    EXPECT_EQ(-1, osal_net_addIP("198.18.1.99", "255.255.255.128"));
    EXPECT_EQ(0, osal_net_delIP()) << "nothing was added, so nothing is deleted";
}

// The adapter dump of the namespace's list: every record, of every type.
TEST(NetnsTables, AdapterDumpShowsEveryRecord)
{
    kt::LoggedNet logged;
    ASSERT_EQ(5, logged.net.getAdaptersInfo());
    kt::loggedTexts().clear();
    logged.net.showAdaptersInfo();
    std::string expected = "Adapter info BEGIN\n";
    for (const Adapter *a : kLayout) {
        expected += std::string("Adapter Name: {0000000") + static_cast<char>('0' + a->index) +
                    "-0000-0000-0000-4E6574446576}\n";
        expected += std::string("Adapter Desc: ") + a->name + "\n";
        expected += a->type == 6 ? "Adapter type: Ethernet\n" : "Adapter type: Other\n";
        expected += "\tAdapter Addr: \t";
        for (size_t i = 0; i < a->hw.size(); ++i) {
            char hex[4];
            snprintf(hex, sizeof hex, i + 1 == a->hw.size() ? "%.2X\n" : "%.2X-", a->hw[i]);
            expected += hex;
        }
        expected += std::string("IP Address: ") + a->ip + "\nIP Mask: " + a->mask + "\n\tGateway: \t" + a->gateway +
                    "\n\t***\n\tDHCP Enabled: Yes\n\t\tDHCP Server: \t\n";
    }
    expected += "Adapter info END\n";
    EXPECT_EQ(expected, kt::LoggedNet::all());
}

// ---- the empty namespace: no adapter at all ----

TEST(NetnsEmpty, NoAdapterAnswersAnyLabel)
{
    ULONG size = 0;
    ASSERT_EQ(static_cast<DWORD>(ERROR_NO_DATA), GetAdaptersInfo(nullptr, &size)) << "the namespace has adapters";

    kt::LoggedNet logged;
    EXPECT_EQ(-1, logged.net.getAdaptersInfo());
    EXPECT_EQ(std::vector<std::string>{"GetAdaptersInfo call failed with 232\n"}, kt::loggedTexts());
    kt::loggedTexts().clear();
    logged.net.showAdaptersInfo();
    EXPECT_EQ("Adapter info BEGIN\nAdapter info END\n", kt::LoggedNet::all());

    EXPECT_EQ(-1, osal_net_getAdaptersInfo());
    EXPECT_EQ(0, osal_net_getNumberOfAdapters());
    for (const char *label : {"eth0", "wifi"}) {
        uint8_t hw[8];
        memset(hw, 0xCC, sizeof hw);
        uint32_t index = 7;
        EXPECT_EQ(-1, osal_net_get_hwaddr(label, hw)) << label;
        EXPECT_EQ(-1, osal_net_get_ifindex(label, &index)) << label;
        EXPECT_EQ(std::string(8, '\xCC'), bytes(hw, 8)) << label;
        EXPECT_EQ(7u, index) << label;
        NetAnswer v;
        EXPECT_EQ(-1, osal_net_getAdapterInfoByLabel(label, &v.ip, &v.gateway, &v.mask, &v.dns1, &v.dns2, &v.server,
                                                     &v.lease))
            << label;
        uint32_t number = 7;
        int prefix = 7, flags = 7;
        EXPECT_EQ(-1, osal_net_getAdapterInfoByLabelNumber(label, &number, &prefix, &flags)) << label;
        char s[5][16];
        memset(s, 'x', sizeof s);
        EXPECT_EQ(-1, osal_net_getAdapterInfoByLabelString(label, s[0], s[1], &prefix, s[2], s[3], s[4], &v.lease))
            << label;
        EXPECT_TRUE(v.untouched()) << label;
        EXPECT_TRUE(number == 7 && prefix == 7 && flags == 7) << label;
        EXPECT_EQ(std::string(sizeof s, 'x'), bytes(s, sizeof s)) << label;
    }

    kt::NetshRecorder recorder;
    ASSERT_TRUE(recorder.ok());
    NetAnswer v;
    EXPECT_EQ(-1, osal_net_dhcp_do_request("eth0", &v.ip, &v.gateway, &v.mask, &v.dns1, &v.dns2, &v.server, &v.lease));
    EXPECT_EQ(1u, recorder.waitFor(1).size()) << "the DHCP command runs all the same";
    EXPECT_EQ(0, osal_net_stopDHCP("eth0"));
}
