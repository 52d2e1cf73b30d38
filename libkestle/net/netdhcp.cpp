// The DHCP request and stop, and adding and deleting one address: the guest's
// changes of the host's configuration that go beyond a netsh command.
#include <cstddef>

#include "net/net.h"
#include "net/netconfig.h"

using namespace kestle::netconfig;

namespace {

AddIPAddressFn sAddIPAddress;
DeleteIPAddressFn sDeleteIPAddress;

// How long the DHCP request gives netsh before it reads the adapter again.
constexpr DWORD kDhcpSettleMs = 1000;

} // namespace

namespace kestle::netconfig {

void setAddressCalls(AddIPAddressFn add, DeleteIPAddressFn del)
{
    __atomic_store_n(&sAddIPAddress, add, __ATOMIC_RELEASE);
    __atomic_store_n(&sDeleteIPAddress, del, __ATOMIC_RELEASE);
}

} // namespace kestle::netconfig

int OSALNet::dhcpDoRequest(const char *label, uint32_t *ip, uint32_t *gateway, uint32_t *mask, uint32_t *dns1,
                           uint32_t *dns2, uint32_t *server, uint32_t *lease)
{
    // Nothing is requested that could not be answered.
    if (!label || !ip || !gateway || !mask || !dns1 || !dns2 || !server || !lease)
        return -1;
    if (startDHCP(label) != 0)
        return -1;
    // The only wait: whether netsh has finished, or the adapter has an
    // address by now, is not known.
    Sleep(kDhcpSettleMs);
    refreshAdapters();
    return getAdapterInfoByLabel(label, ip, gateway, mask, dns1, dns2, server, lease);
}

int OSALNet::stopDHCP(const char *)
{
    Lock lock(*this);
    if (!mAdapterInfo)
        refreshAdapters();
    return 0;
}

int OSALNet::addIP(const char *ip, const char *mask)
{
    uint32_t address = 0;
    uint32_t maskValue = 0;
    if (!netAddrValue(ip, &address) || !netAddrValue(mask, &maskValue)) {
        say("AddIPAddress: no address in \"%s\" / \"%s\"\n", ip ? ip : "(null)", mask ? mask : "(null)");
        return -1;
    }
    DWORD ifIndex = 0;
    {
        Lock lock(*this);
        const size_t firstRowEnd = offsetof(MIB_IPADDRTABLE, table) + sizeof(MIB_IPADDRROW);
        if (!mIpAddrTable || mIpAddrTable->dwNumEntries == 0 || mIpAddrTableSize < firstRowEnd) {
            say("AddIPAddress: no address table to take the interface from\n");
            return -1;
        }
        ifIndex = mIpAddrTable->table[0].dwIndex;
    }
    AddIPAddressFn add = __atomic_load_n(&sAddIPAddress, __ATOMIC_ACQUIRE);
    if (!add)
        add = AddIPAddress;
    ULONG context = 0;
    ULONG instance = 0;
    DWORD result = add(address, maskValue, ifIndex, &context, &instance);
    if (result != 0) {
        say("AddIPAddress call failed with %d\n", static_cast<int>(result));
        return -1;
    }
    __atomic_store_n(&mNteContext, static_cast<uint32_t>(context), __ATOMIC_RELEASE);
    return 0;
}

int OSALNet::delIP()
{
    uint32_t context = __atomic_load_n(&mNteContext, __ATOMIC_ACQUIRE);
    if (context == 0)
        return 0;
    DeleteIPAddressFn del = __atomic_load_n(&sDeleteIPAddress, __ATOMIC_ACQUIRE);
    if (!del)
        del = DeleteIPAddress;
    DWORD result = del(context);
    if (result != 0) {
        say("DeleteIPAddress call failed with %d\n", static_cast<int>(result));
        return -1;
    }
    // The context is spent and the system may give it to the next address,
    // someone else's: forget it (unless an address added meanwhile replaced
    // it), so that a repeated delete cannot remove that one.
    __atomic_compare_exchange_n(&mNteContext, &context, 0u, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
    return 0;
}

extern "C" {

int KESTLE_CALL osal_net_addIP(const char *ip, const char *mask)
{
    OSALNet *net = OSALNet::getInstance();
    return net ? net->addIP(ip, mask) : -1;
}

int KESTLE_CALL osal_net_delIP(void)
{
    OSALNet *net = OSALNet::getInstance();
    return net ? net->delIP() : -1;
}

int KESTLE_CALL osal_net_dhcp_do_request(const char *label, uint32_t *ip, uint32_t *gateway, uint32_t *mask,
                                         uint32_t *dns1, uint32_t *dns2, uint32_t *server, uint32_t *lease)
{
    OSALNet *net = OSALNet::getInstance();
    return net ? net->dhcpDoRequest(label, ip, gateway, mask, dns1, dns2, server, lease) : -1;
}

int KESTLE_CALL osal_net_stopDHCP(const char *label)
{
    OSALNet *net = OSALNet::getInstance();
    return net ? net->stopDHCP(label) : -1;
}

} // extern "C"
