// A made-up host for the network device object: adapter lists, network
// parameters, interfaces and address rows that a test describes, handed out
// through the same calls (and the same buffer-size rules) as the IP Helper
// interface, with scripted failures and a record of what was printed.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "net/net.h"

namespace kt {

struct FakeAdapter {
    std::string name = "{00000000-0000-0000-0000-000000000000}";
    std::string description = "Ethernet adapter";
    unsigned type = 6;
    uint32_t index = 1;
    std::vector<uint8_t> hw = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    // Written as the record's AddressLength when not negative (else hw.size()).
    int claimedHwLength = -1;
    bool dhcp = false;
    std::string ip = "0.0.0.0";
    std::string mask = "0.0.0.0";
    std::string gateway = "0.0.0.0";
    std::string dhcpServer;
    uint32_t leaseObtained = 0;
    uint32_t leaseExpires = 0;
};

struct FakeNet {
    // What the calls answer when nothing is scripted.
    std::vector<FakeAdapter> adapters;
    uint32_t adapterRecordSize = kAdapterRecordSize64;
    std::string hostName = "guesthost";
    std::string domainName = "example.test";
    std::vector<std::string> dnsServers = {"192.0.2.53"};
    struct Interface {
        uint32_t index;
        std::wstring name;
    };
    std::vector<Interface> interfaces;
    std::vector<MIB_IPADDRROW> addressRows;
    // Counts claimed beyond the rows actually returned (a corrupt answer).
    int interfaceClaimExtra = 0, addrTableClaimExtra = 0;

    // Results to give instead, one per call, taken from the front. A scripted
    // buffer-too-small result still reports the size needed.
    std::deque<DWORD> adapterResults, paramsResults, interfaceResults, addrTableResults;
    // Runs before each adapter call (1 for the first), e.g. to change the list.
    std::function<void(int)> beforeAdapterCall;

    // What the object asked.
    int adapterCalls = 0, paramsCalls = 0, interfaceCalls = 0, addrTableCalls = 0;
    std::vector<ULONG> adapterSizesOffered, addrTableSizesOffered;
    std::string printed;

    // The platform to hand an OSALNet; one fake exists at a time.
    NetPlatform platform();
};

// Resets the one fake to its defaults and returns it.
FakeNet &resetFakeNet();
FakeNet &fakeNet();

// An address row as the platform reports it (addresses as dotted strings).
MIB_IPADDRROW fakeAddrRow(const char *addr, const char *mask, uint32_t index, const char *bcast, uint32_t reasm);

// Runs check(thread) `rounds` times on each of `readers` threads while one
// more thread refreshes the object's adapter list without a pause; how many
// checks failed.
int failuresDuringRefreshes(OSALNet &object, int readers, int rounds, const std::function<bool(int thread)> &check);

// A test on the fake host, reset to its defaults before each test.
class FakeNetTest : public ::testing::Test {
protected:
    void SetUp() override { resetFakeNet(); }
    // An object on the fake host as it is described at this point.
    OSALNet &net()
    {
        if (!mNet) {
            mPlatform = fakeNet().platform();
            mNet = new OSALNet(&mPlatform);
        }
        return *mNet;
    }
    // Leaked like the process's own object; each test has its own.
    OSALNet *mNet = nullptr;
    NetPlatform mPlatform{};
};

} // namespace kt
