// Changing the host's network configuration: netsh commands named by the
// connection names of the system's locale, the DHCP request, and adding and
// deleting an address. The seam below lets tests see every start of netsh
// without running one, and reach the success paths of the address calls,
// which a host may not support (they answer ERROR_NOT_SUPPORTED there).
#pragma once

#include <winsock2.h>
#include <iphlpapi.h>

#include "kestle.h"

namespace kestle::netconfig {

using ShellExecuteFn = HINSTANCE(WINAPI *)(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters,
                                           LPCSTR directory, INT show);
using AddIPAddressFn = DWORD(WINAPI *)(IPAddr address, IPMask mask, DWORD ifIndex, PULONG context,
                                       PULONG instance);
using DeleteIPAddressFn = DWORD(WINAPI *)(ULONG context);

// nullptr restores the platform's own call.
void setShellExecute(ShellExecuteFn fn);
void setAddressCalls(AddIPAddressFn add, DeleteIPAddressFn del);

// Sizes and bounds of the texts the commands are made of.
constexpr int kConnectionNameSize = 32;
constexpr int kConnectionNameBound = 31;
constexpr int kAddressTextSize = 20;
constexpr int kAddressTextBound = 19;
constexpr int kParametersSize = 1024;
constexpr int kParametersBound = 1023;

// Starts netsh with these parameters, hidden, without waiting for it; the
// shell's result (above 32 when netsh was started).
HINSTANCE startNetsh(const char *parameters);
inline bool netshStarted(INT_PTR shellResult)
{
    return shellResult > 32;
}

} // namespace kestle::netconfig
