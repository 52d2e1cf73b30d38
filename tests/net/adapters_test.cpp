// The adapter table on a made-up host, for what real adapters cannot show:
// how labels are told apart, Ethernet records without a hardware address or
// with an overlong one, wireless adapters of another type, buffer-size
// retries, failures, both record layouts, and refreshes racing lookups. The
// table and the lookup against real adapters are tested in the network
// namespace (netns_test.cpp).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "fakenet.h"
#include "net/net.h"

namespace {

using kt::FakeAdapter;

FakeAdapter adapter(const char *description, unsigned type, uint32_t index, const char *ip = "0.0.0.0")
{
    FakeAdapter a;
    a.description = description;
    a.type = type;
    a.index = index;
    a.hw = {0x02, 0x00, 0x00, 0x00, 0x00, static_cast<uint8_t>(index)};
    a.ip = ip;
    a.mask = "255.255.255.0";
    return a;
}

class AdapterTable : public kt::FakeNetTest {};

TEST(NetLabels, WirelessExactlyWhenTheLabelContainsWifiInAnyCase)
{
    struct Row {
        const char *label;
        int wireless;
    };
    const Row rows[] = {
        {"wifi", 1}, {"WIFI", 1},  {"WiFi", 1},  {"mywifi0", 1}, {"wlan0wIfI", 1}, {"\xC9wifi", 1},
        {"Wi-Fi", 0}, {"wlan0", 0}, {"eth0", 0}, {"", 0},         {"wif", 0},       {"w\xC9ifi", 0},
    };
    for (const Row &r : rows)
        EXPECT_EQ(OSALNet::labelWantsWireless(r.label), r.wireless) << "label \"" << r.label << "\"";
    EXPECT_EQ(OSALNet::labelWantsWireless(nullptr), -1);
}

TEST_F(AdapterTable, HoldsTheEthernetTypeAdaptersInListOrderWithTheirFacts)
{
    FakeAdapter ppp = adapter("WAN Miniport (PPP)", 23, 9, "10.64.0.7");
    FakeAdapter wired = adapter("Realtek PCIe GbE Family Controller", 6, 11, "192.168.1.10");
    FakeAdapter wireless = adapter("Intel(R) Dual Band WIRELESS-AC 8265", 6, 12);
    FakeAdapter wifiNamed = adapter("WiFi Direct Virtual Adapter", 6, 13);
    FakeAdapter wirelessOtherType = adapter("Wireless 802.11 radio", 71, 14);
    FakeAdapter noHw = adapter("Loopback-like Ethernet", 6, 15);
    noHw.hw.clear();
    kt::fakeNet().adapters = {ppp, wired, wireless, wifiNamed, wirelessOtherType, noHw};

    ASSERT_EQ(net().getAdaptersInfo(), 4);
    struct Want {
        int32_t isWireless;
        uint32_t ifIndex;
        uint32_t addrLen;
    };
    const Want want[] = {{0, 11, 6}, {1, 12, 6}, {0, 13, 6}, {0, 15, 0}};
    ASSERT_EQ(net().mNumAdapters, 4);
    for (int i = 0; i < 4; ++i) {
        const AdapterEntry &e = net().mAdapters[i];
        EXPECT_TRUE(e.isWireless == want[i].isWireless && e.ifIndex == want[i].ifIndex &&
                    e.addrLen == want[i].addrLen)
            << "entry " << i << ": expected wireless " << want[i].isWireless << " index " << want[i].ifIndex
            << " addrLen " << want[i].addrLen << ", got " << e.isWireless << " " << e.ifIndex << " " << e.addrLen;
        if (e.addrLen) {
            EXPECT_EQ(memcmp(e.addr, kt::fakeNet().adapters[i + 1].hw.data(), e.addrLen), 0) << "entry " << i;
        }
    }
    ASSERT_NE(net().mAdapterInfo, nullptr);
    int records = 0;
    for (IP_ADAPTER_INFO *r = net().mAdapterInfo; r; r = r->Next)
        ++records;
    EXPECT_EQ(records, 6) << "every record stays in the list";
}

TEST_F(AdapterTable, AsksOnceForOneAdapterAndRetriesWithTheSizeAskedForMore)
{
    kt::fakeNet().adapters = {adapter("Ethernet", 6, 1)};
    EXPECT_EQ(net().getAdaptersInfo(), 1);
    EXPECT_EQ(kt::fakeNet().adapterCalls, 1);
    // One record's size in the longer layout: 648 bytes on i686, 704 on x86-64.
    const ULONG one = kAdapterRecordSize64;
    EXPECT_EQ(kt::fakeNet().adapterSizesOffered, std::vector<ULONG>{one});

    kt::fakeNet().adapters.push_back(adapter("Ethernet", 6, 2));
    kt::fakeNet().adapters.push_back(adapter("Ethernet", 6, 3));
    EXPECT_EQ(net().getAdaptersInfo(), 3);
    EXPECT_EQ(kt::fakeNet().adapterCalls, 3);
    EXPECT_EQ(kt::fakeNet().adapterSizesOffered, (std::vector<ULONG>{one, one, 3 * one}));
}

TEST_F(AdapterTable, RetriesAfterAnyFirstErrorAndFailsOnTheSecond)
{
    struct Row {
        std::deque<DWORD> results;
        int expect;
        const char *printed;
    };
    const Row rows[] = {
        {{ERROR_INVALID_PARAMETER}, 1, ""},
        {{ERROR_BUFFER_OVERFLOW}, 1, ""},
        {{ERROR_BUFFER_OVERFLOW, ERROR_NO_DATA}, -1, "GetAdaptersInfo call failed with 232\n"},
        {{ERROR_NOT_SUPPORTED, ERROR_NOT_SUPPORTED}, -1, "GetAdaptersInfo call failed with 50\n"},
    };
    for (const Row &r : rows) {
        kt::FakeNet &fake = kt::resetFakeNet();
        fake.adapters = {adapter("Ethernet", 6, 1, "192.0.2.1")};
        fake.adapterResults = r.results;
        NetPlatform platform = fake.platform();
        OSALNet fresh(&platform);
        EXPECT_EQ(fresh.getAdaptersInfo(), r.expect) << "first result " << r.results.front();
        EXPECT_EQ(fake.adapterCalls, 2) << "first result " << r.results.front();
        EXPECT_EQ(fake.printed, r.printed) << "first result " << r.results.front();
        EXPECT_EQ(fresh.mAdapterInfo == nullptr, r.expect < 0) << "first result " << r.results.front();
    }
}

TEST_F(AdapterTable, AFailedRefreshDropsTheListButKeepsTheTable)
{
    kt::fakeNet().adapters = {adapter("Ethernet", 6, 21, "192.0.2.4"), adapter("Wireless LAN", 6, 22)};
    ASSERT_EQ(net().getAdaptersInfo(), 2);

    kt::fakeNet().adapters.clear();
    EXPECT_EQ(net().getAdaptersInfo(), -1);
    EXPECT_EQ(net().mAdapterInfo, nullptr);
    EXPECT_EQ(net().mNumAdapters, 2);
    EXPECT_EQ(kt::fakeNet().printed, "GetAdaptersInfo call failed with 232\n");

    // Each of these tries the refresh again, since no list is held.
    int before = kt::fakeNet().adapterCalls;
    EXPECT_EQ(net().getNumberOfAdapters(), 2);
    const AdapterEntry *entry = net().matchEntry("wifi0");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->ifIndex, 22u);
    IP_ADAPTER_INFO *record = reinterpret_cast<IP_ADAPTER_INFO *>(1);
    EXPECT_EQ(net().findAdapter("eth0", &record), -1) << "no list, so no address record";
    EXPECT_EQ(record, reinterpret_cast<IP_ADAPTER_INFO *>(1)) << "out-argument written by a failed lookup";
    EXPECT_EQ(kt::fakeNet().adapterCalls, before + 3 * 2);

    kt::fakeNet().adapters = {adapter("Ethernet", 6, 23, "192.0.2.5")};
    ASSERT_EQ(net().findAdapter("eth0", &record), 0);
    EXPECT_STREQ(record->IpAddressList.IpAddress.String, "192.0.2.5");
    EXPECT_EQ(net().mNumAdapters, 1);
}

TEST_F(AdapterTable, AFreshObjectWhoseFirstRefreshFailsHasNoAdapters)
{
    kt::fakeNet().adapterResults = {ERROR_NO_DATA, ERROR_NO_DATA};
    EXPECT_EQ(net().getNumberOfAdapters(), 0);
    EXPECT_EQ(net().matchEntry("eth0"), nullptr);
}

TEST_F(AdapterTable, CountingUsesTheHeldListWhileGetAdaptersInfoFetchesEveryTime)
{
    kt::fakeNet().adapters = {adapter("Ethernet", 6, 1)};
    EXPECT_EQ(net().getNumberOfAdapters(), 1);
    EXPECT_EQ(net().getNumberOfAdapters(), 1);
    EXPECT_EQ(kt::fakeNet().adapterCalls, 1);
    EXPECT_EQ(net().getAdaptersInfo(), 1);
    EXPECT_EQ(net().getAdaptersInfo(), 1);
    EXPECT_EQ(kt::fakeNet().adapterCalls, 3);
    IP_ADAPTER_INFO *record = nullptr;
    net().findAdapter("eth0", &record);
    net().matchEntry("wifi");
    EXPECT_EQ(kt::fakeNet().adapterCalls, 3) << "lookups reuse the held list";
}

TEST_F(AdapterTable, TheAddressRecordIsTheMatchedAdaptersOwn)
{
    struct Row {
        const char *what;
        std::vector<FakeAdapter> list;
        const char *label;
        int expect;
        const char *ip; // of the record found
    };
    const Row rows[] = {
        {"wifi label, wired first",
         {adapter("Ethernet", 6, 1, "192.168.1.10"), adapter("Wireless", 6, 2, "192.168.1.20")},
         "wifi",
         0,
         "192.168.1.20"},
        {"wired label, wireless first",
         {adapter("Wireless", 6, 1, "192.168.1.20"), adapter("Ethernet", 6, 2, "192.168.1.10")},
         "eth0",
         0,
         "192.168.1.10"},
        {"wired label, PPP first",
         {adapter("PPP", 23, 1, "10.0.0.1"), adapter("Ethernet", 6, 2, "192.168.1.20")},
         "eth0",
         0,
         "192.168.1.20"},
        {"the zero address is an address",
         {adapter("PPP", 23, 1, "10.0.0.1"), adapter("Ethernet", 6, 2, "0.0.0.0")},
         "eth0",
         0,
         "0.0.0.0"},
        {"the matched adapter has no address string",
         {adapter("Ethernet", 6, 1, ""), adapter("Ethernet", 6, 2, "192.168.1.20")},
         "eth0",
         -1,
         nullptr},
        {"no wireless entry", {adapter("Ethernet", 6, 1, "192.168.1.10")}, "WiFi", -1, nullptr},
        {"wireless of another type",
         {adapter("Ethernet", 6, 1, "192.168.1.10"), adapter("Wireless", 71, 2, "192.168.1.20")},
         "wifi",
         -1,
         nullptr},
        {"no address anywhere", {adapter("Ethernet", 6, 1, "1.2.3")}, "eth0", -1, nullptr},
        {"no Ethernet entry", {adapter("PPP", 23, 1, "10.0.0.1")}, "eth0", -1, nullptr},
    };
    for (const Row &r : rows) {
        kt::FakeNet &fake = kt::resetFakeNet();
        fake.adapters = r.list;
        NetPlatform platform = fake.platform();
        OSALNet fresh(&platform);
        IP_ADAPTER_INFO *record = nullptr;
        int got = fresh.findAdapter(r.label, &record);
        EXPECT_EQ(got, r.expect) << r.what;
        if (got == 0 && r.ip) {
            ASSERT_NE(record, nullptr) << r.what;
            EXPECT_STREQ(record->IpAddressList.IpAddress.String, r.ip) << r.what;
            EXPECT_EQ(record->Index, fresh.matchEntry(r.label)->ifIndex) << r.what;
        } else {
            EXPECT_EQ(record, nullptr) << r.what << ": out-argument written by a failed lookup";
        }
    }
}

TEST_F(AdapterTable, ANullLabelFindsNothing)
{
    kt::fakeNet().adapters = {adapter("Ethernet", 6, 1, "192.0.2.1")};
    IP_ADAPTER_INFO *record = nullptr;
    EXPECT_EQ(net().findAdapter(nullptr, &record), -1);
    EXPECT_EQ(record, nullptr);
    EXPECT_EQ(net().matchEntry(nullptr), nullptr);
}

TEST_F(AdapterTable, AnOverlongHardwareAddressLengthIsCutToTheRecordsEightBytes)
{
    FakeAdapter a = adapter("Ethernet", 6, 1);
    a.hw = {1, 2, 3, 4, 5, 6, 7, 8};
    a.claimedHwLength = 200;
    kt::fakeNet().adapters = {a};
    ASSERT_EQ(net().getAdaptersInfo(), 1);
    EXPECT_EQ(net().mAdapters[0].addrLen, 8u);
    EXPECT_EQ(memcmp(net().mAdapters[0].addr, a.hw.data(), 8), 0);
}

TEST_F(AdapterTable, ReadsTheLeaseEndInTheLayoutTheListUses)
{
    struct Row {
        uint32_t recordSize;     // of the made-up host's records
        uint32_t assumedForOne;  // what the platform says a lone record uses
        size_t count;
    };
    const Row rows[] = {
        {kAdapterRecordSize64, kAdapterRecordSize64, 3}, {kAdapterRecordSize32, kAdapterRecordSize64, 3},
        {kAdapterRecordSize64, kAdapterRecordSize32, 2}, {kAdapterRecordSize32, kAdapterRecordSize32, 1},
        {kAdapterRecordSize64, kAdapterRecordSize64, 1},
    };
    for (const Row &r : rows) {
        kt::FakeNet &fake = kt::resetFakeNet();
        fake.adapterRecordSize = r.recordSize;
        for (size_t i = 0; i < r.count; ++i) {
            FakeAdapter a = adapter("Ethernet", 6, static_cast<uint32_t>(i + 1), "192.0.2.9");
            a.dhcp = true;
            a.leaseObtained = 0x11110000u + static_cast<uint32_t>(i);
            a.leaseExpires = 0x5EED0000u + static_cast<uint32_t>(i);
            fake.adapters.push_back(a);
        }
        NetPlatform platform = fake.platform();
        platform.adapterRecordSize = r.assumedForOne;
        OSALNet fresh(&platform);
        ASSERT_EQ(fresh.getAdaptersInfo(), static_cast<int>(r.count));
        size_t i = 0;
        for (IP_ADAPTER_INFO *rec = fresh.mAdapterInfo; rec; rec = rec->Next, ++i)
            EXPECT_EQ(fresh.leaseExpires(rec), 0x5EED0000u + i)
                << "records of " << r.recordSize << " bytes, " << r.count << " of them, record " << i;
    }
}

TEST_F(AdapterTable, RefreshesOnOtherThreadsNeverPullTheListFromUnderALookup)
{
    for (uint32_t i = 1; i <= 4; ++i)
        kt::fakeNet().adapters.push_back(adapter(i == 2 ? "Wireless" : "Ethernet", 6, i, "192.0.2.77"));
    OSALNet &object = net();
    ASSERT_EQ(object.getAdaptersInfo(), 4);
    int wrong = kt::failuresDuringRefreshes(object, 3, 3000, [&](int t) {
        // The lock a query holds, taken here the same way.
        OSALNet::Lock lock(object);
        IP_ADAPTER_INFO *record = nullptr;
        return object.findAdapter(t == 1 ? "wifi" : "eth", &record) == 0 &&
               strcmp(record->IpAddressList.IpAddress.String, "192.0.2.77") == 0 && object.mNumAdapters == 4;
    });
    EXPECT_EQ(wrong, 0);
}

} // namespace
