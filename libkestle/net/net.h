// The network device object: what the host's IP Helper interface last said
// about its adapters, network parameters, interfaces and addresses, and the
// table of up to five Ethernet-type adapters that guest labels are matched
// against. One per process, made by the first osal_net_* export.
#pragma once

#include <winsock2.h>
#include <iphlpapi.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "kestle.h"

// The host calls behind the object, in one place so that a test can hand the
// object made-up answers. Every member must be set.
struct NetPlatform {
    DWORD(WINAPI *getAdaptersInfo)(IP_ADAPTER_INFO *buffer, ULONG *size);
    DWORD(WINAPI *getNetworkParams)(FIXED_INFO *buffer, ULONG *size);
    DWORD(WINAPI *getInterfaceInfo)(IP_INTERFACE_INFO *buffer, ULONG *size);
    DWORD(WINAPI *getIpAddrTable)(MIB_IPADDRTABLE *buffer, ULONG *size, BOOL sorted);
    // Receives every formatted diagnostic text (failure messages and dumps).
    void (*print)(const char *text);
    // Spacing of adapter records to assume when a list does not show it (a
    // list of one record): kAdapterRecordSize64 or kAdapterRecordSize32.
    uint32_t adapterRecordSize;
};

// The platform's adapter record comes in two layouts that differ only from
// the lease times on: with 64-bit time values (648 bytes, the lease's end at
// offset 640) and with 32-bit ones (640 bytes, at offset 636). On x86-64 the
// record's pointers make it 704 bytes with 64-bit times, the lease's end at
// 696 (696 bytes with 32-bit ones, at 692).
constexpr uint32_t kAdapterRecordSize64 = KESTLE_BY_ARCH(648, 704);
constexpr uint32_t kAdapterRecordSize32 = KESTLE_BY_ARCH(640, 696);
constexpr size_t kAdapterLeaseObtainedOffset = KESTLE_BY_ARCH(632, 688);
static_assert(sizeof(IP_ADAPTER_INFO) == KESTLE_BY_ARCH(kAdapterRecordSize32, kAdapterRecordSize64),
              "the header's record: 32-bit times on i686, 64-bit ones on x86-64");
static_assert(offsetof(IP_ADAPTER_INFO, LeaseObtained) == kAdapterLeaseObtainedOffset, "the lease times' offset");
constexpr size_t kAdapterHwAddrMax = 8;
constexpr int kMaxAdapterEntries = 5;
constexpr unsigned kAdapterTypeEthernet = 6;

// The host's own IP Helper calls, with diagnostics going to debugPrint.
const NetPlatform *hostNetPlatform();

struct AdapterEntry {
    int32_t isWireless;
    uint32_t ifIndex;
    uint8_t addr[16];
    uint32_t addrLen;
};

class OSALNet {
public:
    // The process's object, made on first use; null only when it could not be
    // made.
    static OSALNet *getInstance();

    explicit OSALNet(const NetPlatform *platform = hostNetPlatform());
    OSALNet(const OSALNet &) = delete;
    OSALNet &operator=(const OSALNet &) = delete;

    // Adapter table and label lookup.
    int refreshAdapters();
    int findAdapter(const char *label, IP_ADAPTER_INFO **record);
    int getAdaptersInfo();
    int getNumberOfAdapters();

    // Queries by label.
    int getHwAddr(const char *label, void *buf);
    int getIfIndex(const char *label, uint32_t *index);
    int getAdapterInfoByLabel(const char *label, uint32_t *ip, uint32_t *gateway, uint32_t *mask, uint32_t *dns1,
                              uint32_t *dns2, uint32_t *server, uint32_t *lease);
    int getAdapterInfoByLabelNumber(const char *label, uint32_t *addr, int *prefixLen, int *flags);
    int getAdapterInfoByLabelString(const char *label, char *ip, char *gateway, int *prefixLen, char *dns1,
                                    char *dns2, char *server, uint32_t *lease);

    // Cached tables and their dumps.
    int getNetworkInfo();
    int getInterfaceInfo();
    int getAddressTableInfo();
    void showNetworkInfo();
    void showAdaptersInfo();
    void showInterfaceInfo();
    void showAddressTableInfo();

    // Connection names, netsh, DHCP and address changes.
    // The system locale's connection name of a label, copied into name with
    // strncpy's rules and the bound (callers: 32 bytes, bound 31).
    static void connectionName(const char *label, char *name, int bound);
    // An address value (first dotted number in the most significant byte) as
    // text, "none" for 0 (callers: 20 bytes, bound 19).
    static int formatAddress(uint32_t value, char *text, int bound);
    int startDHCP(const char *label);
    int configure(const char *label, uint32_t ip, uint32_t mask, uint32_t gateway, uint32_t dns1, uint32_t dns2);
    // Each netsh command runs to its end (or its bound) before the call
    // returns: 0 when it did, -1 when it could not be started or did not end.
    int setDns(const char *label, bool useDhcp, uint32_t dns);
    int addDns(const char *label, uint32_t dns);
    int dhcpDoRequest(const char *label, uint32_t *ip, uint32_t *gateway, uint32_t *mask, uint32_t *dns1,
                      uint32_t *dns2, uint32_t *server, uint32_t *lease);
    int stopDHCP(const char *label);
    int addIP(const char *ip, const char *mask);
    int delIP();

    // Helpers shared by the families.
    // Takes mMutex (the lock of everything below; a thread may take it again)
    // for the life of the guard; held() is false when there is no mutex.
    class Lock {
    public:
        explicit Lock(OSALNet &net);
        ~Lock();
        Lock(const Lock &) = delete;
        Lock &operator=(const Lock &) = delete;
        bool held() const { return mHeld; }

    private:
        OSALNet &mNet;
        bool mHeld;
    };
    // 1 when the label asks for a wireless adapter (contains "wifi" in any
    // case), else 0; -1 when it cannot be told (no label, no memory).
    static int labelWantsWireless(const char *label);
    // The entry match: the first table entry of the label's kind, refreshing
    // the table first when no list is cached; null when there is none.
    const AdapterEntry *matchEntry(const char *label);
    // The low 32 bits of a record's lease end, read in the list's layout.
    uint32_t leaseExpires(const IP_ADAPTER_INFO *record) const;
    // The connection name of a label as a command names it: in quotation
    // marks when it holds a blank, so that netsh reads it as one name (name:
    // kCommandNameSize bytes).
    static void commandName(const char *label, char *name);
    // Runs netsh with these parameters, hidden, and waits for it to end, at
    // most the netsh bound: 0 when it ended, -1 (and a message) when it could
    // not be started or did not end in time.
    int runNetsh(const char *parameters);
    // Formats a diagnostic text and hands it to the platform's printer.
    void say(const char *format, ...) __attribute__((format(gnu_printf, 2, 3)));
    // One fetch of a host table into field (its size into fieldSize): frees
    // the old buffer, calls `call` (buffer, &size) -> result with a zeroed
    // buffer of firstSize bytes declared as firstDeclared, and on retryResult
    // (kRetryOnAnyFailure: on any failure) once more with the size the call
    // asked for. 0, or -1 with field null and the failure said with its
    // result.
    template <class Record, class Call>
    int fetchTable(Record *&field, size_t &fieldSize, size_t firstSize, ULONG firstDeclared, DWORD retryResult,
                   const char *failure, Call call);
    static constexpr DWORD kRetryOnAnyFailure = 0;

    FIXED_INFO *mNetworkParams = nullptr;
    IP_ADAPTER_INFO *mAdapterInfo = nullptr;
    IP_INTERFACE_INFO *mInterfaceInfo = nullptr;
    MIB_IPADDRTABLE *mIpAddrTable = nullptr;
    uint32_t mNteContext = 0;
    AdapterEntry mAdapters[kMaxAdapterEntries];
    int32_t mNumAdapters = 0;
    HANDLE mMutex = nullptr;
    uint8_t mFlag = 0;

    // Bookkeeping that keeps every read inside what the platform returned.
    const NetPlatform *mPlatform;
    size_t mNetworkParamsSize = 0;
    size_t mAdapterInfoSize = 0;
    size_t mInterfaceInfoSize = 0;
    size_t mIpAddrTableSize = 0;
    // Where the lease end lies in the records of mAdapterInfo.
    size_t mLeaseOffset = kAdapterRecordSize64 - 8;
};

template <class Record, class Call>
int OSALNet::fetchTable(Record *&field, size_t &fieldSize, size_t firstSize, ULONG firstDeclared, DWORD retryResult,
                        const char *failure, Call call)
{
    free(field);
    field = nullptr;
    fieldSize = 0;

    // Zeroed, and never smaller than the first buffer, so that a table the
    // platform reports as fetched always holds at least its count.
    size_t have = firstSize;
    ULONG size = firstDeclared;
    auto *buffer = static_cast<Record *>(calloc(1, have));
    field = buffer;
    DWORD result = buffer ? call(buffer, &size) : ERROR_NOT_ENOUGH_MEMORY;
    if (result == 0) {
        fieldSize = have;
        return 0;
    }
    if (result == retryResult || retryResult == kRetryOnAnyFailure) {
        free(buffer);
        have = size > firstSize ? size : firstSize;
        buffer = static_cast<Record *>(calloc(1, have));
        field = buffer;
        result = buffer ? call(buffer, &size) : ERROR_NOT_ENOUGH_MEMORY;
        if (result == 0) {
            fieldSize = have;
            return 0;
        }
    }
    say(failure, static_cast<int>(result));
    free(buffer);
    field = nullptr;
    return -1;
}

// A bounded, always terminated copy of a platform address string field.
struct NetAddrText {
    char text[17];
};
NetAddrText netAddrText(const IP_ADDRESS_STRING &field);
// inet_addr's value of an address text; false for a text that is no address
// (an empty one included), where inet_addr answers INADDR_NONE.
bool netAddrValue(const char *text, uint32_t *value);
