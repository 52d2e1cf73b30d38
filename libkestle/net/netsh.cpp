// Connection names and the netsh commands: a guest label becomes the Windows
// connection name of the system's locale, and addresses become dotted text
// inside netsh's parameter strings. netsh runs on its own; nothing waits for
// it or reads what it says.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "net/net.h"
#include "net/netconfig.h"

#include <shellapi.h>

using namespace kestle::netconfig;

namespace {

ShellExecuteFn sShellExecute;

// The connection names of the Chinese locales, as GBK bytes: "wireless
// network connection", and "local connection" with the blank that belongs to
// the name.
constexpr char kZhWirelessName[] = "\xCE\xDE\xCF\xDF\xCD\xF8\xC2\xE7\xC1\xAC\xBD\xD3";
constexpr char kZhLocalName[] = "\xB1\xBE\xB5\xD8\xC1\xAC\xBD\xD3 ";
constexpr char kEnWirelessName[] = "Wireless Lan connection";
constexpr char kEnLocalName[] = "Local Area connection";
constexpr char kBluetoothName[] = "Bluetooth Network";

constexpr LCID kLcidChineseTaiwan = 1028;
constexpr LCID kLcidChinesePrc = 2052;
constexpr LCID kLcidChineseHongKong = 3076;
constexpr LCID kLcidEnglishUs = 1033;

// A parameter string formed into `out` (kParametersSize bytes), always ended.
void formParameters(char *out, const char *format, ...) __attribute__((format(ms_printf, 2, 3)));
void formParameters(char *out, const char *format, ...)
{
    memset(out, 0, kParametersSize);
    va_list args;
    va_start(args, format);
    _vsnprintf(out, kParametersBound, format, args);
    va_end(args);
}

} // namespace

namespace kestle::netconfig {

void setShellExecute(ShellExecuteFn fn)
{
    __atomic_store_n(&sShellExecute, fn, __ATOMIC_RELEASE);
}

HINSTANCE startNetsh(const char *parameters)
{
    ShellExecuteFn shell = __atomic_load_n(&sShellExecute, __ATOMIC_ACQUIRE);
    if (!shell)
        shell = ShellExecuteA;
    return shell(nullptr, "open", "netsh", parameters, nullptr, SW_HIDE);
}

} // namespace kestle::netconfig

void OSALNet::connectionName(const char *label, char *name, int bound)
{
    if (!name || bound <= 0)
        return;
    bool wifi = label && strcmp(label, "wifi") == 0;
    bool bluetooth = label && strcmp(label, "bluetooth") == 0;
    const char *chosen = kEnLocalName;
    // Read for every command: the locale is the system's, not the process's.
    switch (GetSystemDefaultLCID()) {
    case kLcidChineseTaiwan:
    case kLcidChinesePrc:
    case kLcidChineseHongKong:
        chosen = wifi ? kZhWirelessName : bluetooth ? kBluetoothName : kZhLocalName;
        break;
    case kLcidEnglishUs:
        chosen = wifi ? kEnWirelessName : bluetooth ? kBluetoothName : kEnLocalName;
        break;
    default:
        break;
    }
    strncpy(name, chosen, static_cast<size_t>(bound));
}

int OSALNet::formatAddress(uint32_t value, char *text, int bound)
{
    if (!text || bound <= 0)
        return -1;
    if (value == 0)
        return _snprintf(text, static_cast<size_t>(bound), "none");
    return _snprintf(text, static_cast<size_t>(bound), "%d.%d.%d.%d", static_cast<int>(value >> 24),
                     static_cast<int>((value >> 16) & 255), static_cast<int>((value >> 8) & 255),
                     static_cast<int>(value & 255));
}

int OSALNet::startDHCP(const char *label)
{
    // No label names no connection: nothing is started for it.
    if (!label)
        return -1;
    char name[kConnectionNameSize] = {};
    connectionName(label, name, kConnectionNameBound);
    char parameters[kParametersSize];
    formParameters(parameters, "interface ip set address %s dhcp", name);
    say("%s\n", parameters);
    // netsh's own outcome is never known, but a netsh that did not start
    // requested nothing.
    return netshStarted(reinterpret_cast<INT_PTR>(startNetsh(parameters))) ? 0 : -1;
}

int OSALNet::configure(const char *label, uint32_t ip, uint32_t mask, uint32_t gateway, uint32_t dns1,
                       uint32_t dns2)
{
    if (!label)
        return -1;
    char name[kConnectionNameSize] = {};
    connectionName(label, name, kConnectionNameBound);
    char ipText[kAddressTextSize] = {};
    char maskText[kAddressTextSize] = {};
    char gatewayText[kAddressTextSize] = {};
    formatAddress(ip, ipText, kAddressTextBound);
    formatAddress(mask, maskText, kAddressTextBound);
    formatAddress(gateway, gatewayText, kAddressTextBound);
    char parameters[kParametersSize];
    formParameters(parameters, "interface ip set address %s static %s %s %s 1", name, ipText, maskText,
                   gatewayText);
    say("%s\n", parameters);
    // All three are started, one after the other, as they always were; the
    // call fails when any of them could not be.
    bool started = netshStarted(reinterpret_cast<INT_PTR>(startNetsh(parameters)));
    started = netshStarted(setDns(label, false, dns1)) && started;
    started = netshStarted(addDns(label, dns2)) && started;
    return started ? 0 : -1;
}

int OSALNet::setDns(const char *label, bool useDhcp, uint32_t dns)
{
    if (!label)
        return -1;
    char name[kConnectionNameSize] = {};
    connectionName(label, name, kConnectionNameBound);
    char dnsText[kAddressTextSize] = {};
    formatAddress(dns, dnsText, kAddressTextBound);
    char parameters[kParametersSize];
    if (useDhcp)
        formParameters(parameters, "interface ip set dns %s dhcp %s both", name, dnsText);
    else
        formParameters(parameters, "interface ip set dns %s static %s both", name, dnsText);
    return static_cast<int>(reinterpret_cast<INT_PTR>(startNetsh(parameters)));
}

int OSALNet::addDns(const char *label, uint32_t dns)
{
    if (!label)
        return -1;
    char name[kConnectionNameSize] = {};
    connectionName(label, name, kConnectionNameBound);
    char dnsText[kAddressTextSize] = {};
    formatAddress(dns, dnsText, kAddressTextBound);
    char parameters[kParametersSize];
    formParameters(parameters, "interface ip add dns %s %s", name, dnsText);
    return static_cast<int>(reinterpret_cast<INT_PTR>(startNetsh(parameters)));
}

extern "C" {

int KESTLE_CALL osal_net_startDHCP(const char *label)
{
    OSALNet *net = OSALNet::getInstance();
    return net ? net->startDHCP(label) : -1;
}

int KESTLE_CALL osal_net_configure(const char *label, uint32_t ip, uint32_t mask, uint32_t gateway, uint32_t dns1,
                                   uint32_t dns2)
{
    OSALNet *net = OSALNet::getInstance();
    return net ? net->configure(label, ip, mask, gateway, dns1, dns2) : -1;
}

} // extern "C"
