// Connection names and the netsh commands: a guest label becomes the Windows
// connection name of the system's locale, and addresses become dotted text
// inside netsh's parameter strings. The commands run one at a time: each
// netsh is waited for, within a bound, before the next one starts.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "net/net.h"
#include "net/netconfig.h"

using namespace kestle::netconfig;

namespace {

ShellExecuteExFn sShellExecuteEx;
DWORD sNetshWaitMs;

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

// A DNS command for the label's connection, unlogged: format takes the
// command's connection name and the address text of dns.
int runDnsCommand(OSALNet &net, const char *label, const char *format, uint32_t dns)
{
    if (!label)
        return -1;
    char name[kCommandNameSize];
    OSALNet::commandName(label, name);
    char dnsText[kAddressTextSize] = {};
    OSALNet::formatAddress(dns, dnsText, kAddressTextBound);
    char parameters[kParametersSize];
    formParameters(parameters, format, name, dnsText);
    return net.runNetsh(parameters);
}

} // namespace

namespace kestle::netconfig {

void setShellExecuteEx(ShellExecuteExFn fn)
{
    __atomic_store_n(&sShellExecuteEx, fn, __ATOMIC_RELEASE);
}

void setNetshWait(DWORD ms)
{
    __atomic_store_n(&sNetshWaitMs, ms, __ATOMIC_RELEASE);
}

} // namespace kestle::netconfig

int OSALNet::runNetsh(const char *parameters)
{
    // Through the wide call: the code page of the process (Big5's under the
    // Taiwan and Hong Kong locales) would garble the GBK names.
    wchar_t wide[kParametersSize];
    if (MultiByteToWideChar(kParametersCodePage, MB_ERR_INVALID_CHARS, parameters, -1, wide, kParametersSize) <= 0) {
        say("netsh not started: the parameters are no GBK text (%lu): %s\n", GetLastError(), parameters);
        return -1;
    }
    ShellExecuteExFn shell = __atomic_load_n(&sShellExecuteEx, __ATOMIC_ACQUIRE);
    if (!shell)
        shell = ShellExecuteExW;
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    info.lpVerb = L"open";
    info.lpFile = L"netsh";
    info.lpParameters = wide;
    info.nShow = SW_HIDE;
    if (!shell(&info)) {
        say("netsh could not be started (%lu): %s\n", GetLastError(), parameters);
        return -1;
    }
    if (!info.hProcess) {
        say("netsh was started but cannot be waited for: %s\n", parameters);
        return -1;
    }
    DWORD bound = __atomic_load_n(&sNetshWaitMs, __ATOMIC_ACQUIRE);
    if (bound == 0)
        bound = kNetshWaitMs;
    DWORD waited = WaitForSingleObject(info.hProcess, bound);
    if (waited != WAIT_OBJECT_0) {
        // Started here, so ended here: left running, it could still change
        // the connection while a later configuration runs.
        TerminateProcess(info.hProcess, ERROR_TIMEOUT);
        WaitForSingleObject(info.hProcess, kNetshEndMs);
    }
    CloseHandle(info.hProcess);
    if (waited != WAIT_OBJECT_0) {
        say("netsh did not end within %lu ms: %s\n", static_cast<unsigned long>(bound), parameters);
        return -1;
    }
    return 0;
}

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

void OSALNet::commandName(const char *label, char *name)
{
    char plain[kConnectionNameSize] = {};
    connectionName(label, plain, kConnectionNameBound);
    memset(name, 0, kCommandNameSize);
    if (strchr(plain, ' '))
        snprintf(name, kCommandNameSize, "\"%s\"", plain);
    else
        memcpy(name, plain, sizeof plain);
}

int OSALNet::startDHCP(const char *label)
{
    // No label names no connection: nothing is started for it.
    if (!label)
        return -1;
    char name[kCommandNameSize];
    commandName(label, name);
    char parameters[kParametersSize];
    formParameters(parameters, "interface ip set address %s dhcp", name);
    say("%s\n", parameters);
    return runNetsh(parameters);
}

int OSALNet::configure(const char *label, uint32_t ip, uint32_t mask, uint32_t gateway, uint32_t dns1,
                       uint32_t dns2)
{
    if (!label)
        return -1;
    char name[kCommandNameSize];
    commandName(label, name);
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
    // In this order, each after the one before has ended: netsh applies
    // them as they run, so a slow address change would otherwise be
    // overtaken by the DNS commands. What follows a failed one is not run.
    if (runNetsh(parameters) != 0)
        return -1;
    if (setDns(label, false, dns1) != 0)
        return -1;
    return addDns(label, dns2);
}

int OSALNet::setDns(const char *label, bool useDhcp, uint32_t dns)
{
    return runDnsCommand(*this, label,
                         useDhcp ? "interface ip set dns %s dhcp %s both" : "interface ip set dns %s static %s both",
                         dns);
}

int OSALNet::addDns(const char *label, uint32_t dns)
{
    return runDnsCommand(*this, label, "interface ip add dns %s %s", dns);
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
