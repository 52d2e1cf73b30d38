// Questions about the host adapter behind a label: its hardware address and
// interface index (from the matched table entry) and its IPv4 configuration
// (from the address record of the lookup, and the DNS servers of the network
// parameters, fetched afresh).
#include <cstring>

#include "net/net.h"

namespace {

constexpr size_t kAddrStringSize = 16;
constexpr char kMissingAddr[kAddrStringSize] = "0.0.0.0";

// The address value of a record's string; a string that is no address (an
// empty one included) is a missing address, 0, never inet_addr's
// INADDR_NONE (255.255.255.255).
uint32_t addrValue(const IP_ADDRESS_STRING &field)
{
    uint32_t value = 0;
    return netAddrValue(netAddrText(field).text, &value) ? value : 0;
}

// A 16-byte field holding the record's string (or "0.0.0.0" for a string
// that is no address), zero-filled and always terminated.
void putAddrString(char *dst, const IP_ADDRESS_STRING &field)
{
    NetAddrText text = netAddrText(field);
    uint32_t value = 0;
    const char *src = netAddrValue(text.text, &value) ? text.text : kMissingAddr;
    size_t n = strnlen(src, kAddrStringSize - 1);
    memset(dst, 0, kAddrStringSize);
    memcpy(dst, src, n);
}

void putMissing(char *dst)
{
    memcpy(dst, kMissingAddr, kAddrStringSize);
}

// The number of leading one bits of a mask value (network byte order):
// 255.255.255.128 is 25, 255.255.254.0 is 23.
int prefixLength(uint32_t mask)
{
    uint32_t bits = ntohl(mask);
    int n = 0;
    while (n < 32 && (bits & (0x80000000u >> n)))
        ++n;
    return n;
}

template <class T>
void put(T *out, T value)
{
    if (out)
        *out = value;
}

} // namespace

int OSALNet::getHwAddr(const char *label, void *buf)
{
    Lock lock(*this);
    if (!lock.held() || !buf)
        return -1;
    const AdapterEntry *entry = matchEntry(label);
    if (!entry)
        return -1;
    memcpy(buf, entry->addr, entry->addrLen);
    return 0;
}

int OSALNet::getIfIndex(const char *label, uint32_t *index)
{
    Lock lock(*this);
    if (!lock.held() || !index)
        return -1;
    const AdapterEntry *entry = matchEntry(label);
    if (!entry)
        return -1;
    *index = entry->ifIndex;
    return 0;
}

int OSALNet::getAdapterInfoByLabel(const char *label, uint32_t *ip, uint32_t *gateway, uint32_t *mask,
                                   uint32_t *dns1, uint32_t *dns2, uint32_t *server, uint32_t *lease)
{
    // Held across the lookup and the reading of its record, which a refresh
    // on another thread would otherwise free.
    Lock lock(*this);
    IP_ADAPTER_INFO *record = nullptr;
    if (!lock.held() || findAdapter(label, &record) != 0)
        return -1;
    put(ip, addrValue(record->IpAddressList.IpAddress));
    put(mask, addrValue(record->IpAddressList.IpMask));
    put(gateway, addrValue(record->GatewayList.IpAddress));
    if (record->DhcpEnabled) {
        put(server, addrValue(record->DhcpServer.IpAddress));
        put(lease, leaseExpires(record));
    } else {
        put(server, 0u);
        put(lease, 0u);
    }
    getNetworkInfo();
    if (!mNetworkParams) {
        put(dns1, 0u);
        put(dns2, 0u);
    } else {
        const IP_ADDR_STRING &first = mNetworkParams->DnsServerList;
        put(dns1, addrValue(first.IpAddress));
        put(dns2, first.Next ? addrValue(first.Next->IpAddress) : 0u);
    }
    return 0;
}

int OSALNet::getAdapterInfoByLabelNumber(const char *label, uint32_t *addr, int *prefixLen, int *flags)
{
    Lock lock(*this);
    IP_ADAPTER_INFO *record = nullptr;
    if (!lock.held() || findAdapter(label, &record) != 0)
        return -1;
    put(addr, addrValue(record->IpAddressList.IpAddress));
    put(prefixLen, prefixLength(addrValue(record->IpAddressList.IpMask)));
    put(flags, 0);
    return 0;
}

int OSALNet::getAdapterInfoByLabelString(const char *label, char *ip, char *gateway, int *prefixLen, char *dns1,
                                         char *dns2, char *server, uint32_t *lease)
{
    Lock lock(*this);
    IP_ADAPTER_INFO *record = nullptr;
    if (!lock.held() || findAdapter(label, &record) != 0)
        return -1;
    if (ip)
        putAddrString(ip, record->IpAddressList.IpAddress);
    put(prefixLen, prefixLength(addrValue(record->IpAddressList.IpMask)));
    if (gateway)
        putAddrString(gateway, record->GatewayList.IpAddress);
    if (record->DhcpEnabled) {
        if (server)
            putAddrString(server, record->DhcpServer.IpAddress);
        put(lease, leaseExpires(record));
    } else {
        if (server)
            putMissing(server);
        put(lease, 0u);
    }
    getNetworkInfo();
    const IP_ADDR_STRING *first = mNetworkParams ? &mNetworkParams->DnsServerList : nullptr;
    if (dns1) {
        if (first)
            putAddrString(dns1, first->IpAddress);
        else
            putMissing(dns1);
    }
    if (dns2) {
        if (first && first->Next)
            putAddrString(dns2, first->Next->IpAddress);
        else
            putMissing(dns2);
    }
    return 0;
}

extern "C" {

int KESTLE_CALL osal_net_get_hwaddr(const char *label, void *buf)
{
    OSALNet *net = OSALNet::getInstance();
    return net ? net->getHwAddr(label, buf) : -1;
}

int KESTLE_CALL osal_net_get_ifindex(const char *label, uint32_t *index)
{
    OSALNet *net = OSALNet::getInstance();
    return net ? net->getIfIndex(label, index) : -1;
}

int KESTLE_CALL osal_net_getAdapterInfoByLabel(const char *label, uint32_t *ip, uint32_t *gateway, uint32_t *mask,
                                               uint32_t *dns1, uint32_t *dns2, uint32_t *server, uint32_t *lease)
{
    OSALNet *net = OSALNet::getInstance();
    return net ? net->getAdapterInfoByLabel(label, ip, gateway, mask, dns1, dns2, server, lease) : -1;
}

int KESTLE_CALL osal_net_getAdapterInfoByLabelNumber(const char *label, uint32_t *addr, int *prefixLen, int *flags)
{
    OSALNet *net = OSALNet::getInstance();
    return net ? net->getAdapterInfoByLabelNumber(label, addr, prefixLen, flags) : -1;
}

int KESTLE_CALL osal_net_getAdapterInfoByLabelString(const char *label, char ip[16], char gateway[16], int *prefixLen,
                                                     char dns1[16], char dns2[16], char server[16], uint32_t *lease)
{
    OSALNet *net = OSALNet::getInstance();
    return net ? net->getAdapterInfoByLabelString(label, ip, gateway, prefixLen, dns1, dns2, server, lease) : -1;
}

} // extern "C"
