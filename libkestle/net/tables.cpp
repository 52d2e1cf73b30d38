// The host's network parameters, interface list and address table, fetched
// afresh into the object, and the diagnostic dumps of those tables and of the
// adapter list.
#include <cstdlib>
#include <cstring>

#include "net/net.h"

namespace {

const char *adapterTypeName(unsigned type)
{
    switch (type) {
    case 1:
        return "Other\n";
    case 6:
        return "Ethernet\n";
    case 9:
        return "Token Ring\n";
    case 15:
        return "FDDI\n";
    case 23:
        return "PPP\n";
    case 24:
        return "Lookback\n";
    case 28:
        return "Slip\n";
    default:
        return nullptr;
    }
}

// Entries of a table with a count followed by rows that fit in `size` bytes:
// the count the table claims, but never more rows than the buffer holds.
size_t rowsThatFit(long claimed, size_t size, size_t header, size_t row)
{
    if (claimed <= 0 || size < header)
        return 0;
    size_t fit = (size - header) / row;
    return static_cast<size_t>(claimed) < fit ? static_cast<size_t>(claimed) : fit;
}

} // namespace

int OSALNet::getNetworkInfo()
{
    Lock lock(*this);
    if (!lock.held())
        return -1;
    return fetchTable(mNetworkParams, mNetworkParamsSize, sizeof(FIXED_INFO), sizeof(FIXED_INFO),
                      ERROR_BUFFER_OVERFLOW, "GetNetworkParams call failed with %d",
                      [this](FIXED_INFO *b, ULONG *s) { return mPlatform->getNetworkParams(b, s); });
}

int OSALNet::getInterfaceInfo()
{
    Lock lock(*this);
    if (!lock.held())
        return -1;
    return fetchTable(mInterfaceInfo, mInterfaceInfoSize, sizeof(IP_INTERFACE_INFO), sizeof(IP_INTERFACE_INFO),
                      ERROR_INSUFFICIENT_BUFFER, "GetInterfaceInfo failed with error: %d\n",
                      [this](IP_INTERFACE_INFO *b, ULONG *s) { return mPlatform->getInterfaceInfo(b, s); });
}

int OSALNet::getAddressTableInfo()
{
    Lock lock(*this);
    if (!lock.held())
        return -1;
    // The first call declares no room at all, so it only learns the size.
    return fetchTable(mIpAddrTable, mIpAddrTableSize, sizeof(MIB_IPADDRTABLE), 0, ERROR_INSUFFICIENT_BUFFER,
                      "GetIpAddrTable call failed with %d\n",
                      [this](MIB_IPADDRTABLE *b, ULONG *s) { return mPlatform->getIpAddrTable(b, s, FALSE); });
}

void OSALNet::showNetworkInfo()
{
    Lock lock(*this);
    if (!lock.held() || !mNetworkParams)
        return;
    const FIXED_INFO *info = mNetworkParams;
    say("Network info BEGIN\n");
    say("Host Name: %.*s\n", static_cast<int>(strnlen(info->HostName, sizeof info->HostName)), info->HostName);
    say("Domain Name: %.*s\n", static_cast<int>(strnlen(info->DomainName, sizeof info->DomainName)),
        info->DomainName);
    say("DNS Servers:\n");
    for (const IP_ADDR_STRING *dns = &info->DnsServerList; dns; dns = dns->Next)
        say("\t%s\n", netAddrText(dns->IpAddress).text);
    say("Network info END\n");
}

void OSALNet::showAdaptersInfo()
{
    Lock lock(*this);
    if (!lock.held())
        return;
    say("Adapter info BEGIN\n");
    for (const IP_ADAPTER_INFO *r = mAdapterInfo; r; r = r->Next) {
        say("Adapter Name: %.*s\n", static_cast<int>(strnlen(r->AdapterName, sizeof r->AdapterName)), r->AdapterName);
        say("Adapter Desc: %.*s\n", static_cast<int>(strnlen(r->Description, sizeof r->Description)), r->Description);
        say("Adapter type: ");
        if (const char *name = adapterTypeName(r->Type))
            say("%s", name);
        else
            say("Unknown type %ld\n", static_cast<long>(r->Type));
        say("\tAdapter Addr: \t");
        // The record holds at most 8 address bytes, whatever length it claims.
        UINT length = r->AddressLength < kAdapterHwAddrMax ? r->AddressLength : kAdapterHwAddrMax;
        for (UINT i = 0; i < length; ++i)
            say(i + 1 == length ? "%.2X\n" : "%.2X-", r->Address[i]);
        say("IP Address: %s\n", netAddrText(r->IpAddressList.IpAddress).text);
        say("IP Mask: %s\n", netAddrText(r->IpAddressList.IpMask).text);
        say("\tGateway: \t%s\n", netAddrText(r->GatewayList.IpAddress).text);
        say("\t***\n");
        if (r->DhcpEnabled) {
            say("\tDHCP Enabled: Yes\n");
            say("\t\tDHCP Server: \t%s\n", netAddrText(r->DhcpServer.IpAddress).text);
        } else {
            say("\tDHCP Enabled: No\n");
        }
    }
    say("Adapter info END\n");
}

void OSALNet::showInterfaceInfo()
{
    Lock lock(*this);
    if (!lock.held() || !mInterfaceInfo)
        return;
    const IP_INTERFACE_INFO *info = mInterfaceInfo;
    say("Num Adapters: %ld\n", static_cast<long>(info->NumAdapters));
    size_t count = rowsThatFit(info->NumAdapters, mInterfaceInfoSize, offsetof(IP_INTERFACE_INFO, Adapter),
                               sizeof(IP_ADAPTER_INDEX_MAP));
    for (size_t i = 0; i < count; ++i) {
        const IP_ADAPTER_INDEX_MAP &entry = info->Adapter[i];
        // The wide name in the ANSI code page, as a wide-string conversion of
        // the runtime's formatter would drop the whole line for characters
        // outside its locale.
        char name[MAX_ADAPTER_NAME * 2 + 1];
        int n = WideCharToMultiByte(CP_ACP, 0, entry.Name, static_cast<int>(wcsnlen(entry.Name, MAX_ADAPTER_NAME)),
                                    name, sizeof name - 1, nullptr, nullptr);
        name[n > 0 ? n : 0] = '\0';
        say("\tAdapter Index[%d]: %ld\n", static_cast<int>(i), static_cast<long>(entry.Index));
        say("\tAdapter Name[%d]:  %s\n\n", static_cast<int>(i), name);
    }
}

void OSALNet::showAddressTableInfo()
{
    Lock lock(*this);
    if (!lock.held() || !mIpAddrTable)
        return;
    const MIB_IPADDRTABLE *table = mIpAddrTable;
    size_t count = rowsThatFit(static_cast<long>(table->dwNumEntries > 0x7fffffffu ? 0x7fffffffu : table->dwNumEntries),
                               mIpAddrTableSize, offsetof(MIB_IPADDRTABLE, table), sizeof(MIB_IPADDRROW));
    say("IP table BEGIN (%d)\n\n", static_cast<int>(count));
    for (size_t i = 0; i < count; ++i) {
        const MIB_IPADDRROW &row = table->table[i];
        say("IP Address:         %08x\n", static_cast<unsigned>(ntohl(row.dwAddr)));
        say("IP Mask:            %08x\n", static_cast<unsigned>(ntohl(row.dwMask)));
        say("IF Index:           %ld\n", static_cast<long>(row.dwIndex));
        say("Broadcast Addr:     %08x\n", static_cast<unsigned>(ntohl(row.dwBCastAddr)));
        say("Re-assembly size:   %ld\n", static_cast<long>(row.dwReasmSize));
        say("\n");
    }
    say("IP table END\n");
}

extern "C" {

int KESTLE_CALL osal_net_getNetworkInfo(void)
{
    OSALNet *net = OSALNet::getInstance();
    return net ? net->getNetworkInfo() : -1;
}

int KESTLE_CALL osal_net_getInterfaceInfo(void)
{
    OSALNet *net = OSALNet::getInstance();
    return net ? net->getInterfaceInfo() : -1;
}

int KESTLE_CALL osal_net_getAddressTableInfo(void)
{
    OSALNet *net = OSALNet::getInstance();
    return net ? net->getAddressTableInfo() : -1;
}

void KESTLE_CALL osal_net_showNetworkInfo(void)
{
    if (OSALNet *net = OSALNet::getInstance())
        net->showNetworkInfo();
}

void KESTLE_CALL osal_net_showAdaptersInfo(void)
{
    if (OSALNet *net = OSALNet::getInstance())
        net->showAdaptersInfo();
}

void KESTLE_CALL osal_net_showInterfaceInfo(void)
{
    if (OSALNet *net = OSALNet::getInstance())
        net->showInterfaceInfo();
}

void KESTLE_CALL osal_net_showAddressTableInfo(void)
{
    if (OSALNet *net = OSALNet::getInstance())
        net->showAddressTableInfo();
}

} // extern "C"
