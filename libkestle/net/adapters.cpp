// The adapter table: built from the host's adapter list, matched against
// guest labels, and the two exports that deal with it as a whole.
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "display/system.h"
#include "net/net.h"
#include "os/diagnostics.h"
#include "os/ntapi.h"

namespace {

DWORD WINAPI hostGetAdaptersInfo(IP_ADAPTER_INFO *buffer, ULONG *size)
{
    return GetAdaptersInfo(buffer, size);
}

DWORD WINAPI hostGetNetworkParams(FIXED_INFO *buffer, ULONG *size)
{
    return GetNetworkParams(buffer, size);
}

DWORD WINAPI hostGetInterfaceInfo(IP_INTERFACE_INFO *buffer, ULONG *size)
{
    return GetInterfaceInfo(buffer, size);
}

DWORD WINAPI hostGetIpAddrTable(MIB_IPADDRTABLE *buffer, ULONG *size, BOOL sorted)
{
    return GetIpAddrTable(buffer, size, sorted);
}

void hostPrint(const char *text)
{
    debugPrint("%s", text);
}

// 0: the host's layout is found out on first use.
constinit NetPlatform sHostPlatform = {hostGetAdaptersInfo, hostGetNetworkParams, hostGetInterfaceInfo,
                                       hostGetIpAddrTable,  hostPrint,            0};

// The system's own iphlpapi uses 64-bit times; the compatibility layer fills
// the records with 32-bit ones in a 32-bit process.
uint32_t hostAdapterRecordSize()
{
    if (sizeof(void *) == 8)
        return kAdapterRecordSize64;
    return hostIsWine() ? kAdapterRecordSize32 : kAdapterRecordSize64;
}

// Whether a lower-cased copy of text (at most maxLen bytes of it) contains
// word: 1 or 0, or -1 when no copy could be made.
int lowerContains(const char *text, size_t maxLen, const char *word)
{
    size_t n = strnlen(text, maxLen);
    char *copy = static_cast<char *>(malloc(n + 1));
    if (!copy)
        return -1;
    for (size_t i = 0; i < n; ++i)
        copy[i] = static_cast<char>(tolower(static_cast<unsigned char>(text[i])));
    copy[n] = '\0';
    int found = strstr(copy, word) ? 1 : 0;
    free(copy);
    return found;
}

bool inBuffer(const void *p, const void *buffer, size_t size)
{
    auto a = reinterpret_cast<uintptr_t>(p), b = reinterpret_cast<uintptr_t>(buffer);
    return a >= b && a - b < size;
}

} // namespace

const NetPlatform *hostNetPlatform()
{
    return &sHostPlatform;
}

NetAddrText netAddrText(const IP_ADDRESS_STRING &field)
{
    NetAddrText out{};
    memcpy(out.text, field.String, sizeof field.String);
    out.text[sizeof field.String] = '\0';
    return out;
}

bool netAddrValue(const char *text, uint32_t *value)
{
    if (!text)
        return false;
    ULONG parsed = inet_addr(text);
    // INADDR_NONE is also the value of the one text that spells it out.
    if (parsed == INADDR_NONE && strcmp(text, "255.255.255.255") != 0)
        return false;
    *value = parsed;
    return true;
}

OSALNet *OSALNet::getInstance()
{
    OSALSystem *system = OSALSystem::getInstance();
    if (!system)
        return nullptr;
    return system->mNet.getOrCreate();
}

OSALNet::OSALNet(const NetPlatform *platform) : mPlatform(platform)
{
    memset(mAdapters, 0, sizeof mAdapters);
    mMutex = osal_CreateMutex(nullptr, 0, nullptr);
}

OSALNet::Lock::Lock(OSALNet &net) : mNet(net), mHeld(false)
{
    HANDLE mutex = __atomic_load_n(&net.mMutex, __ATOMIC_ACQUIRE);
    if (!mutex) {
        // The constructor could not make it: try once more, so that the object
        // is never used unguarded. Of two racing threads the first one's stays.
        HANDLE fresh = osal_CreateMutex(nullptr, 0, nullptr);
        if (!fresh)
            return;
        if (__atomic_compare_exchange_n(&net.mMutex, &mutex, fresh, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
            mutex = fresh;
        else
            CloseHandle(fresh);
    }
    mHeld = osal_WaitForSingleObject(mutex, INFINITE) == 0;
}

OSALNet::Lock::~Lock()
{
    if (mHeld)
        osal_ReleaseMutex(mNet.mMutex);
}

void OSALNet::say(const char *format, ...)
{
    char text[kDebugPrintBufferSize];
    va_list args;
    va_start(args, format);
    formatBounded(text, sizeof text, format, args);
    va_end(args);
    mPlatform->print(text);
}

int OSALNet::labelWantsWireless(const char *label)
{
    return label ? lowerContains(label, SIZE_MAX, "wifi") : -1;
}

int OSALNet::refreshAdapters()
{
    // Held across the whole rebuild, and by every reader of the list and the
    // table, so nobody reads a list that is being freed or a half-built table.
    Lock lock(*this);
    if (!lock.held())
        return -1;

    // First one record; never less than one whole record, whatever size came
    // back, so that a success cannot leave a list shorter than its first one.
    if (fetchTable(mAdapterInfo, mAdapterInfoSize, kAdapterRecordSize64, kAdapterRecordSize64, kRetryOnAnyFailure,
                   "GetAdaptersInfo call failed with %d\n",
                   [this](IP_ADAPTER_INFO *b, ULONG *s) { return mPlatform->getAdaptersInfo(b, s); }) != 0)
        return -1;
    IP_ADAPTER_INFO *buffer = mAdapterInfo;

    // Which of the two record layouts the list uses shows in the spacing of
    // records laid out one after another; a list of one record cannot show it.
    uint32_t stride = 0;
    for (IP_ADAPTER_INFO *record = buffer; record && !stride; record = record->Next) {
        if (!record->Next)
            break;
        ptrdiff_t gap = reinterpret_cast<char *>(record->Next) - reinterpret_cast<char *>(record);
        if (gap == kAdapterRecordSize32 || gap == kAdapterRecordSize64)
            stride = static_cast<uint32_t>(gap);
    }
    if (!stride)
        stride = mPlatform->adapterRecordSize ? mPlatform->adapterRecordSize : hostAdapterRecordSize();
    mLeaseOffset = stride == kAdapterRecordSize32 ? kAdapterLeaseObtainedOffset + 4 : kAdapterLeaseObtainedOffset + 8;

    mNumAdapters = 0;
    for (IP_ADAPTER_INFO *record = buffer; record; record = record->Next) {
        if (record->Type != kAdapterTypeEthernet)
            continue;
        if (mNumAdapters >= kMaxAdapterEntries)
            continue;
        AdapterEntry &entry = mAdapters[mNumAdapters];
        entry.isWireless = lowerContains(record->Description, sizeof record->Description, "wireless") == 1 ? 1 : 0;
        entry.ifIndex = record->Index;
        // The record holds at most 8 address bytes, whatever length it claims.
        entry.addrLen = record->AddressLength < kAdapterHwAddrMax ? record->AddressLength : kAdapterHwAddrMax;
        if (entry.addrLen)
            memcpy(entry.addr, record->Address, entry.addrLen);
        ++mNumAdapters;
    }
    return mNumAdapters;
}

uint32_t OSALNet::leaseExpires(const IP_ADAPTER_INFO *record) const
{
    // A record inside our buffer must hold the whole value there; the last
    // record of a list in the short layout ends before the long layout's field.
    if (inBuffer(record, mAdapterInfo, mAdapterInfoSize)) {
        size_t at = static_cast<size_t>(reinterpret_cast<const char *>(record) -
                                        reinterpret_cast<const char *>(mAdapterInfo));
        if (at + mLeaseOffset + sizeof(uint32_t) > mAdapterInfoSize)
            return 0;
    }
    uint32_t low;
    memcpy(&low, reinterpret_cast<const char *>(record) + mLeaseOffset, sizeof low);
    return low;
}

const AdapterEntry *OSALNet::matchEntry(const char *label)
{
    Lock lock(*this);
    if (!lock.held())
        return nullptr;
    if (!mAdapterInfo)
        refreshAdapters();
    int wantWireless = labelWantsWireless(label);
    if (wantWireless < 0 || mNumAdapters <= 0)
        return nullptr;
    for (int i = 0; i < mNumAdapters; ++i) {
        if (mAdapters[i].isWireless == wantWireless)
            return &mAdapters[i];
    }
    return nullptr;
}

int OSALNet::findAdapter(const char *label, IP_ADAPTER_INFO **record)
{
    Lock lock(*this);
    const AdapterEntry *entry = lock.held() ? matchEntry(label) : nullptr;
    if (!entry)
        return -1;
    // The facts are the matched adapter's own: its record, found by its
    // interface index, which must hold an address.
    for (IP_ADAPTER_INFO *candidate = mAdapterInfo; candidate; candidate = candidate->Next) {
        if (candidate->Index != entry->ifIndex)
            continue;
        if (strnlen(candidate->IpAddressList.IpAddress.String, sizeof candidate->IpAddressList.IpAddress.String) <= 6)
            return -1;
        if (record)
            *record = candidate;
        return 0;
    }
    return -1;
}

int OSALNet::getAdaptersInfo()
{
    return refreshAdapters();
}

int OSALNet::getNumberOfAdapters()
{
    Lock lock(*this);
    if (lock.held() && !mAdapterInfo)
        refreshAdapters();
    return mNumAdapters;
}

extern "C" {

int KESTLE_CALL osal_net_getAdaptersInfo(void)
{
    OSALNet *net = OSALNet::getInstance();
    return net ? net->getAdaptersInfo() : -1;
}

int KESTLE_CALL osal_net_getNumberOfAdapters(void)
{
    OSALNet *net = OSALNet::getInstance();
    return net ? net->getNumberOfAdapters() : 0;
}

} // extern "C"
