// Queries by label on a made-up host, for what real adapters cannot show:
// DHCP disabled or with a server and a lease, address texts that are no
// address, masks Linux cannot give an adapter, parameters that cannot be
// fetched, failed lookups that write nothing, and queries racing a refresh.
// The queries against real adapters are tested in the network namespace
// (netns_test.cpp).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fakenet.h"
#include "netvalues.h"
#include "net/net.h"

namespace {

using kt::addrField;
using kt::bytes;
using kt::FakeAdapter;

FakeAdapter adapter(const char *description, unsigned type, uint32_t index, const char *ip, const char *mask,
                    const char *gateway)
{
    FakeAdapter a;
    a.description = description;
    a.type = type;
    a.index = index;
    a.hw = {0x02, 0x10, 0x20, 0x30, 0x40, static_cast<uint8_t>(index)};
    a.ip = ip;
    a.mask = mask;
    a.gateway = gateway;
    return a;
}

uint32_t addr(const char *text)
{
    return inet_addr(text);
}

class NetQueries : public kt::FakeNetTest {};

// A wired adapter listed first, the wireless one second, each with DHCP.
void wiredThenWireless()
{
    FakeAdapter wired = adapter("Realtek GbE", 6, 11, "192.168.1.10", "255.255.255.0", "192.168.1.1");
    wired.dhcp = true;
    wired.dhcpServer = "192.168.1.254";
    wired.leaseExpires = 0x65A1B2C3;
    FakeAdapter wireless = adapter("Intel Wireless-AC", 6, 12, "10.0.0.5", "255.255.255.128", "10.0.0.1");
    wireless.dhcp = true;
    wireless.dhcpServer = "10.0.0.126";
    wireless.leaseExpires = 0x600DCAFE;
    kt::fakeNet().adapters = {wired, wireless};
    kt::fakeNet().dnsServers = {"192.0.2.53", "198.51.100.7", "203.0.113.1"};
}

TEST_F(NetQueries, HardwareAddressAndIndexComeFromTheMatchedEntry)
{
    wiredThenWireless();
    struct Row {
        const char *label;
        uint32_t index;
    };
    for (const Row &r : {Row{"wifi0", 12}, Row{"eth0", 11}, Row{"Wi-Fi", 11}}) {
        uint8_t hw[8];
        memset(hw, 0xCC, sizeof hw);
        ASSERT_EQ(net().getHwAddr(r.label, hw), 0) << r.label;
        const uint8_t want[8] = {0x02, 0x10, 0x20, 0x30, 0x40, static_cast<uint8_t>(r.index), 0xCC, 0xCC};
        EXPECT_EQ(bytes(hw, 8), bytes(want, 8)) << r.label << ": six bytes copied, nothing after them";
        uint32_t index = 0;
        ASSERT_EQ(net().getIfIndex(r.label, &index), 0) << r.label;
        EXPECT_EQ(index, r.index) << r.label;
    }
    // The configuration of a wireless label is the wireless adapter's own.
    uint32_t ip = 0;
    ASSERT_EQ(net().getAdapterInfoByLabel("wifi0", &ip, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(ip, addr("10.0.0.5"));
}

TEST_F(NetQueries, ValueFormReportsTheMatchedAdapterWithDhcpAndDns)
{
    wiredThenWireless();
    uint32_t ip = 1, gateway = 1, mask = 1, dns1 = 1, dns2 = 1, server = 1, lease = 1;
    ASSERT_EQ(net().getAdapterInfoByLabel("eth0", &ip, &gateway, &mask, &dns1, &dns2, &server, &lease), 0);
    const uint8_t ipBytes[4] = {0xC0, 0xA8, 0x01, 0x0A};
    EXPECT_EQ(bytes(&ip, 4), bytes(ipBytes, 4)) << "192.168.1.10 in network byte order";
    EXPECT_EQ(gateway, addr("192.168.1.1"));
    EXPECT_EQ(mask, addr("255.255.255.0"));
    EXPECT_EQ(server, addr("192.168.1.254"));
    EXPECT_EQ(lease, 0x65A1B2C3u);
    EXPECT_EQ(dns1, addr("192.0.2.53"));
    EXPECT_EQ(dns2, addr("198.51.100.7"));
}

TEST_F(NetQueries, StringFormFillsEverySixteenByteField)
{
    wiredThenWireless();
    char ip[16], gateway[16], dns1[16], dns2[16], server[16];
    for (char *f : {ip, gateway, dns1, dns2, server})
        memset(f, 'x', 16);
    int prefix = -1;
    uint32_t lease = 1;
    ASSERT_EQ(net().getAdapterInfoByLabelString("wifi", ip, gateway, &prefix, dns1, dns2, server, &lease), 0);
    EXPECT_EQ(bytes(ip, 16), addrField("10.0.0.5"));
    EXPECT_EQ(bytes(gateway, 16), addrField("10.0.0.1"));
    EXPECT_EQ(prefix, 25);
    EXPECT_EQ(bytes(server, 16), addrField("10.0.0.126"));
    EXPECT_EQ(lease, 0x600DCAFEu);
    EXPECT_EQ(bytes(dns1, 16), addrField("192.0.2.53"));
    EXPECT_EQ(bytes(dns2, 16), addrField("198.51.100.7"));
}

TEST_F(NetQueries, MissingDhcpAndDnsFactsAreZeroOrTheZeroAddress)
{
    struct Row {
        const char *what;
        bool dhcp;
        const char *dhcpServer;
        std::vector<std::string> dns;
        std::deque<DWORD> paramsResults;
        uint32_t server, lease, dns1, dns2;
        const char *serverText, *dns1Text, *dns2Text;
    };
    const Row rows[] = {
        {"DHCP off with a server string", false, "192.168.1.254", {"192.0.2.53"}, {}, 0, 0, addr("192.0.2.53"), 0,
         "0.0.0.0", "192.0.2.53", "0.0.0.0"},
        {"DHCP on with no server string", true, "", {"192.0.2.53", "192.0.2.54"}, {}, 0, 0x1234, addr("192.0.2.53"),
         addr("192.0.2.54"), "0.0.0.0", "192.0.2.53", "192.0.2.54"},
        {"no DNS server", false, "", {""}, {}, 0, 0, 0, 0, "0.0.0.0", "0.0.0.0", "0.0.0.0"},
        {"parameters cannot be fetched", true, "10.1.1.1", {"192.0.2.53"}, {ERROR_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
         addr("10.1.1.1"), 0x1234, 0, 0, "10.1.1.1", "0.0.0.0", "0.0.0.0"},
        // Texts that are no address are missing, never inet_addr's INADDR_NONE.
        {"DHCP server text that is no address", true, "dhcp.example", {"192.0.2.53"}, {}, 0, 0x1234,
         addr("192.0.2.53"), 0, "0.0.0.0", "192.0.2.53", "0.0.0.0"},
        {"DNS texts that are no address", false, "", {"resolver", "10.0.0.256", "192.0.2.9"}, {}, 0, 0, 0, 0,
         "0.0.0.0", "0.0.0.0", "0.0.0.0"},
        {"a broadcast DNS text is an address", false, "", {"192.0.2.53", "255.255.255.255"}, {}, 0, 0,
         addr("192.0.2.53"), 0xFFFFFFFFu, "0.0.0.0", "192.0.2.53", "255.255.255.255"},
    };
    for (const Row &r : rows) {
        kt::FakeNet &fake = kt::resetFakeNet();
        FakeAdapter a = adapter("Ethernet", 6, 3, "192.168.7.7", "255.255.0.0", "192.168.0.1");
        a.dhcp = r.dhcp;
        a.dhcpServer = r.dhcpServer;
        a.leaseExpires = 0x1234;
        fake.adapters = {a};
        fake.dnsServers = r.dns;
        NetPlatform platform = fake.platform();
        OSALNet fresh(&platform);

        fake.paramsResults = r.paramsResults;
        uint32_t ip = 1, gateway = 1, mask = 1, dns1 = 1, dns2 = 1, server = 1, lease = 1;
        ASSERT_EQ(fresh.getAdapterInfoByLabel("eth", &ip, &gateway, &mask, &dns1, &dns2, &server, &lease), 0)
            << r.what;
        EXPECT_EQ(ip, addr("192.168.7.7")) << r.what;
        EXPECT_EQ(mask, addr("255.255.0.0")) << r.what;
        EXPECT_EQ(gateway, addr("192.168.0.1")) << r.what;
        EXPECT_EQ(server, r.server) << r.what;
        EXPECT_EQ(lease, r.lease) << r.what;
        EXPECT_EQ(dns1, r.dns1) << r.what;
        EXPECT_EQ(dns2, r.dns2) << r.what;

        fake.paramsResults = r.paramsResults;
        char ipT[16], gwT[16], dns1T[16], dns2T[16], serverT[16];
        int prefix = -1;
        lease = 1;
        ASSERT_EQ(fresh.getAdapterInfoByLabelString("eth", ipT, gwT, &prefix, dns1T, dns2T, serverT, &lease), 0)
            << r.what;
        EXPECT_EQ(prefix, 16) << r.what;
        EXPECT_EQ(bytes(serverT, 16), addrField(r.serverText)) << r.what;
        EXPECT_EQ(lease, r.lease) << r.what;
        EXPECT_EQ(bytes(dns1T, 16), addrField(r.dns1Text)) << r.what;
        EXPECT_EQ(bytes(dns2T, 16), addrField(r.dns2Text)) << r.what;
        if (!r.paramsResults.empty()) {
            EXPECT_EQ(fake.printed, "GetNetworkParams call failed with 50GetNetworkParams call failed with 50")
                << r.what;
        }
    }
}

TEST_F(NetQueries, PrefixLengthCountsTheMasksLeadingOneBits)
{
    struct Row {
        const char *mask;
        int prefix;
    };
    const Row rows[] = {
        {"255.255.255.0", 24}, {"255.255.255.255", 32}, {"0.0.0.0", 0},     {"255.255.255.128", 25},
        {"255.255.254.0", 23}, {"255.0.0.0", 8},        {"254.0.0.0", 7},   {"128.0.0.0", 1},
        {"255.255.255.252", 30}, {"255.255.0.255", 16}, {"", 0},            {"no mask", 0},
    };
    for (const Row &r : rows) {
        kt::FakeNet &fake = kt::resetFakeNet();
        fake.adapters = {adapter("Ethernet", 6, 1, "10.2.3.4", r.mask, "10.2.3.1")};
        NetPlatform platform = fake.platform();
        OSALNet fresh(&platform);
        uint32_t a = 0;
        int prefix = -1, flags = -1;
        ASSERT_EQ(fresh.getAdapterInfoByLabelNumber("eth0", &a, &prefix, &flags), 0) << r.mask;
        EXPECT_EQ(a, addr("10.2.3.4")) << r.mask;
        EXPECT_EQ(prefix, r.prefix) << "mask \"" << r.mask << "\"";
        EXPECT_EQ(flags, 0) << r.mask;
        EXPECT_EQ(fake.paramsCalls, 0) << "the number form fetches no parameters";
    }
}

TEST_F(NetQueries, NullOutArgumentsAreSkipped)
{
    wiredThenWireless();
    uint32_t a = 0;
    EXPECT_EQ(net().getAdapterInfoByLabelNumber("eth0", &a, nullptr, nullptr), 0);
    EXPECT_EQ(a, addr("192.168.1.10"));
    EXPECT_EQ(net().getAdapterInfoByLabel("eth0", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(net().getAdapterInfoByLabelString("eth0", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
              0);
    EXPECT_EQ(net().getHwAddr("eth0", nullptr), -1);
    EXPECT_EQ(net().getIfIndex("eth0", nullptr), -1);
}

TEST_F(NetQueries, AFailedLookupWritesNothing)
{
    struct Row {
        const char *what;
        std::vector<FakeAdapter> list;
        const char *label;
        bool entryMatches; // hardware address and index still answer
    };
    const Row rows[] = {
        {"no wireless entry", {adapter("Ethernet", 6, 1, "10.0.0.2", "255.0.0.0", "10.0.0.1")}, "wifi", false},
        {"empty table", {adapter("PPP", 23, 1, "10.0.0.2", "255.0.0.0", "10.0.0.1")}, "eth0", false},
        {"no address record", {adapter("Ethernet", 6, 1, "", "", "")}, "eth0", true},
        {"null label", {adapter("Ethernet", 6, 1, "10.0.0.2", "255.0.0.0", "10.0.0.1")}, nullptr, false},
    };
    for (const Row &r : rows) {
        kt::FakeNet &fake = kt::resetFakeNet();
        fake.adapters = r.list;
        NetPlatform platform = fake.platform();
        OSALNet fresh(&platform);
        uint32_t v[7] = {7, 7, 7, 7, 7, 7, 7};
        int prefix = 7, flags = 7;
        char s[5][16];
        memset(s, 'x', sizeof s);
        uint8_t hw[8];
        memset(hw, 0xCC, sizeof hw);
        uint32_t index = 7;
        EXPECT_EQ(fresh.getAdapterInfoByLabel(r.label, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6]), -1) << r.what;
        EXPECT_EQ(fresh.getAdapterInfoByLabelNumber(r.label, &v[0], &prefix, &flags), -1) << r.what;
        EXPECT_EQ(fresh.getAdapterInfoByLabelString(r.label, s[0], s[1], &prefix, s[2], s[3], s[4], &v[6]), -1)
            << r.what;
        EXPECT_EQ(fresh.getHwAddr(r.label, hw), r.entryMatches ? 0 : -1) << r.what;
        EXPECT_EQ(fresh.getIfIndex(r.label, &index), r.entryMatches ? 0 : -1) << r.what;
        for (uint32_t x : v)
            EXPECT_EQ(x, 7u) << r.what;
        EXPECT_TRUE(prefix == 7 && flags == 7) << r.what;
        EXPECT_EQ(std::string(&s[0][0], sizeof s), std::string(sizeof s, 'x')) << r.what;
        if (!r.entryMatches) {
            EXPECT_EQ(index, 7u) << r.what;
            EXPECT_EQ(hw[0], 0xCC) << r.what;
        }
        EXPECT_EQ(fake.paramsCalls, 0) << r.what << ": no parameters fetched for a failed lookup";
    }
}

TEST_F(NetQueries, WhileTheListCannotBeFetchedTheIndexStillAnswersButTheConfigurationDoesNot)
{
    wiredThenWireless();
    ASSERT_EQ(net().getAdaptersInfo(), 2);
    kt::fakeNet().adapterResults = {ERROR_NO_DATA, ERROR_NO_DATA};
    ASSERT_EQ(net().getAdaptersInfo(), -1);

    kt::fakeNet().adapters.clear();
    int before = kt::fakeNet().adapterCalls;
    uint32_t index = 0, ip = 7;
    EXPECT_EQ(net().getIfIndex("wifi", &index), 0);
    EXPECT_EQ(index, 12u);
    EXPECT_EQ(net().getAdapterInfoByLabel("wifi", &ip, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(ip, 7u);
    EXPECT_EQ(kt::fakeNet().adapterCalls, before + 4) << "each query tried the refresh again";
}

TEST_F(NetQueries, TheLeaseIsReadInTheHostsRecordLayout)
{
    // A lone record of 640 bytes on a host that says so, and a list of 640-byte
    // records whose spacing shows it.
    for (size_t count : {1u, 3u}) {
        kt::FakeNet &fake = kt::resetFakeNet();
        fake.adapterRecordSize = kAdapterRecordSize32;
        for (size_t i = 0; i < count; ++i) {
            FakeAdapter a = adapter("Ethernet", 6, static_cast<uint32_t>(i + 1), "192.0.2.2", "255.255.255.0", "");
            a.dhcp = true;
            a.dhcpServer = "192.0.2.1";
            a.leaseObtained = 0x0BADF00D;
            a.leaseExpires = 0x600DCAFE;
            fake.adapters.push_back(a);
        }
        NetPlatform platform = fake.platform();
        OSALNet fresh(&platform);
        uint32_t lease = 0;
        ASSERT_EQ(fresh.getAdapterInfoByLabel("eth", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &lease), 0);
        EXPECT_EQ(lease, 0x600DCAFEu) << count << " record(s)";
    }
}

TEST_F(NetQueries, EveryDnsQueryFetchesTheParametersAfresh)
{
    wiredThenWireless();
    uint32_t dns1 = 0;
    char text[16];
    net().getAdapterInfoByLabel("eth", nullptr, nullptr, nullptr, &dns1, nullptr, nullptr, nullptr);
    net().getAdapterInfoByLabelString("eth", nullptr, nullptr, nullptr, text, nullptr, nullptr, nullptr);
    EXPECT_EQ(kt::fakeNet().paramsCalls, 2 * 2) << "three servers do not fit the first buffer";
    kt::fakeNet().dnsServers = {"192.0.2.99"};
    net().getAdapterInfoByLabel("eth", nullptr, nullptr, nullptr, &dns1, nullptr, nullptr, nullptr);
    EXPECT_EQ(dns1, addr("192.0.2.99"));
}

TEST_F(NetQueries, QueriesOnOtherThreadsNeverSeeARefreshHalfDone)
{
    for (uint32_t i = 1; i <= 5; ++i)
        kt::fakeNet().adapters.push_back(
            adapter(i == 3 ? "Wireless" : "Ethernet", 6, i, "172.16.5.9", "255.255.255.0", "172.16.5.1"));
    OSALNet &object = net();
    ASSERT_EQ(object.getAdaptersInfo(), 5);
    int wrong = kt::failuresDuringRefreshes(object, 3, 2000, [&](int t) {
        char ip[16], gw[16];
        int prefix = 0;
        uint32_t index = 0;
        const char *label = t == 0 ? "wifi" : "eth";
        return object.getAdapterInfoByLabelString(label, ip, gw, &prefix, nullptr, nullptr, nullptr, nullptr) == 0 &&
               strcmp(ip, "172.16.5.9") == 0 && strcmp(gw, "172.16.5.1") == 0 && prefix == 24 &&
               object.getIfIndex(label, &index) == 0 && index == (t == 0 ? 3u : 1u);
    });
    EXPECT_EQ(wrong, 0);
}

} // namespace
