#include "fakenet.h"

#include <atomic>
#include <cstring>
#include <thread>

namespace kt {

namespace {

FakeNet *sFake;

void putString(char *field, size_t size, const std::string &text)
{
    memset(field, 0, size);
    memcpy(field, text.data(), text.size() < size ? text.size() : size);
}

void putAddr(IP_ADDR_STRING &entry, const std::string &ip, const std::string &mask)
{
    memset(&entry, 0, sizeof entry);
    putString(entry.IpAddress.String, sizeof entry.IpAddress.String, ip);
    putString(entry.IpMask.String, sizeof entry.IpMask.String, mask);
}

// Takes the scripted result of this call, if any.
bool scripted(std::deque<DWORD> &results, DWORD &result)
{
    if (results.empty())
        return false;
    result = results.front();
    results.pop_front();
    return true;
}

DWORD WINAPI fakeGetAdaptersInfo(IP_ADAPTER_INFO *buffer, ULONG *size)
{
    FakeNet &f = *sFake;
    ++f.adapterCalls;
    f.adapterSizesOffered.push_back(*size);
    if (f.beforeAdapterCall)
        f.beforeAdapterCall(f.adapterCalls);
    const ULONG needed = static_cast<ULONG>(f.adapters.size() * f.adapterRecordSize);
    DWORD result;
    if (scripted(f.adapterResults, result)) {
        if (result == ERROR_BUFFER_OVERFLOW)
            *size = needed;
        return result;
    }
    if (f.adapters.empty())
        return ERROR_NO_DATA;
    if (*size < needed) {
        *size = needed;
        return ERROR_BUFFER_OVERFLOW;
    }
    char *base = reinterpret_cast<char *>(buffer);
    memset(base, 0, needed);
    for (size_t i = 0; i < f.adapters.size(); ++i) {
        const FakeAdapter &a = f.adapters[i];
        char *at = base + i * f.adapterRecordSize;
        auto *r = reinterpret_cast<IP_ADAPTER_INFO *>(at);
        r->Next = i + 1 < f.adapters.size() ? reinterpret_cast<IP_ADAPTER_INFO *>(at + f.adapterRecordSize) : nullptr;
        r->ComboIndex = a.index;
        putString(r->AdapterName, sizeof r->AdapterName, a.name);
        putString(r->Description, sizeof r->Description, a.description);
        r->AddressLength = a.claimedHwLength >= 0 ? static_cast<UINT>(a.claimedHwLength) : a.hw.size();
        memcpy(r->Address, a.hw.data(), a.hw.size() < sizeof r->Address ? a.hw.size() : sizeof r->Address);
        r->Index = a.index;
        r->Type = a.type;
        r->DhcpEnabled = a.dhcp ? 1 : 0;
        putAddr(r->IpAddressList, a.ip, a.mask);
        putAddr(r->GatewayList, a.gateway, "");
        putAddr(r->DhcpServer, a.dhcpServer, "");
        // The lease times in the record's own layout: two 32-bit values, or
        // two 64-bit ones whose high halves are 0.
        if (f.adapterRecordSize == kAdapterRecordSize32) {
            memcpy(at + kAdapterLeaseObtainedOffset, &a.leaseObtained, 4);
            memcpy(at + kAdapterLeaseObtainedOffset + 4, &a.leaseExpires, 4);
        } else {
            memcpy(at + kAdapterLeaseObtainedOffset, &a.leaseObtained, 4);
            memcpy(at + kAdapterLeaseObtainedOffset + 8, &a.leaseExpires, 4);
        }
    }
    return ERROR_SUCCESS;
}

DWORD WINAPI fakeGetNetworkParams(FIXED_INFO *buffer, ULONG *size)
{
    FakeNet &f = *sFake;
    ++f.paramsCalls;
    size_t extra = f.dnsServers.size() > 1 ? f.dnsServers.size() - 1 : 0;
    const ULONG needed = static_cast<ULONG>(sizeof(FIXED_INFO) + extra * sizeof(IP_ADDR_STRING));
    DWORD result;
    if (scripted(f.paramsResults, result)) {
        if (result == ERROR_BUFFER_OVERFLOW)
            *size = needed;
        return result;
    }
    if (*size < needed) {
        *size = needed;
        return ERROR_BUFFER_OVERFLOW;
    }
    memset(buffer, 0, needed);
    putString(buffer->HostName, sizeof buffer->HostName, f.hostName);
    putString(buffer->DomainName, sizeof buffer->DomainName, f.domainName);
    auto *more = reinterpret_cast<IP_ADDR_STRING *>(buffer + 1);
    IP_ADDR_STRING *last = &buffer->DnsServerList;
    for (size_t i = 0; i < f.dnsServers.size(); ++i) {
        IP_ADDR_STRING *entry = i == 0 ? &buffer->DnsServerList : &more[i - 1];
        putAddr(*entry, f.dnsServers[i], "255.255.255.255");
        if (i > 0)
            last->Next = entry;
        last = entry;
    }
    buffer->NodeType = 1;
    return ERROR_SUCCESS;
}

DWORD WINAPI fakeGetInterfaceInfo(IP_INTERFACE_INFO *buffer, ULONG *size)
{
    FakeNet &f = *sFake;
    ++f.interfaceCalls;
    const ULONG needed = static_cast<ULONG>(sizeof(LONG) + f.interfaces.size() * sizeof(IP_ADAPTER_INDEX_MAP));
    DWORD result;
    if (scripted(f.interfaceResults, result)) {
        if (result == ERROR_INSUFFICIENT_BUFFER)
            *size = needed;
        return result;
    }
    if (!buffer || *size < needed) {
        *size = needed;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    memset(buffer, 0, needed);
    buffer->NumAdapters = static_cast<LONG>(f.interfaces.size()) + f.interfaceClaimExtra;
    for (size_t i = 0; i < f.interfaces.size(); ++i) {
        buffer->Adapter[i].Index = f.interfaces[i].index;
        wcsncpy(buffer->Adapter[i].Name, f.interfaces[i].name.c_str(), MAX_ADAPTER_NAME - 1);
    }
    return ERROR_SUCCESS;
}

DWORD WINAPI fakeGetIpAddrTable(MIB_IPADDRTABLE *buffer, ULONG *size, BOOL)
{
    FakeNet &f = *sFake;
    ++f.addrTableCalls;
    f.addrTableSizesOffered.push_back(*size);
    const ULONG needed = static_cast<ULONG>(sizeof(DWORD) + f.addressRows.size() * sizeof(MIB_IPADDRROW));
    DWORD result;
    if (scripted(f.addrTableResults, result)) {
        if (result == ERROR_INSUFFICIENT_BUFFER)
            *size = needed;
        return result;
    }
    if (!buffer || *size < needed) {
        *size = needed;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    buffer->dwNumEntries = static_cast<DWORD>(f.addressRows.size() + f.addrTableClaimExtra);
    for (size_t i = 0; i < f.addressRows.size(); ++i)
        buffer->table[i] = f.addressRows[i];
    return ERROR_SUCCESS;
}

void fakePrint(const char *text)
{
    sFake->printed += text;
}

} // namespace

NetPlatform FakeNet::platform()
{
    return NetPlatform{fakeGetAdaptersInfo, fakeGetNetworkParams, fakeGetInterfaceInfo, fakeGetIpAddrTable, fakePrint,
                       adapterRecordSize};
}

FakeNet &resetFakeNet()
{
    delete sFake;
    sFake = new FakeNet();
    return *sFake;
}

FakeNet &fakeNet()
{
    return *sFake;
}

MIB_IPADDRROW fakeAddrRow(const char *addr, const char *mask, uint32_t index, const char *bcast, uint32_t reasm)
{
    MIB_IPADDRROW row{};
    row.dwAddr = inet_addr(addr);
    row.dwMask = inet_addr(mask);
    row.dwIndex = index;
    row.dwBCastAddr = inet_addr(bcast);
    row.dwReasmSize = reasm;
    row.wType = 1;
    return row;
}

int failuresDuringRefreshes(OSALNet &object, int readers, int rounds, const std::function<bool(int thread)> &check)
{
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::thread refresher([&] {
        while (!stop.load())
            object.getAdaptersInfo();
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < readers; ++t) {
        threads.emplace_back([&, t] {
            for (int n = 0; n < rounds; ++n)
                if (!check(t))
                    ++wrong;
        });
    }
    for (std::thread &r : threads)
        r.join();
    stop = true;
    refresher.join();
    return wrong.load();
}

} // namespace kt
