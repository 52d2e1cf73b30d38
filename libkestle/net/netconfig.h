// Changing the host's network configuration: netsh commands named by the
// connection names of the system's locale, the DHCP request, and adding and
// deleting an address. The seam below lets tests see every start of netsh
// without running one, and reach the success paths of the address calls,
// which a host may not support (they answer ERROR_NOT_SUPPORTED there).
#pragma once

#include <winsock2.h>
#include <iphlpapi.h>
#include <shellapi.h>

#include "kestle.h"

namespace kestle::netconfig {

using ShellExecuteExFn = BOOL(WINAPI *)(SHELLEXECUTEINFOW *info);
using AddIPAddressFn = DWORD(WINAPI *)(IPAddr address, IPMask mask, DWORD ifIndex, PULONG context,
                                       PULONG instance);
using DeleteIPAddressFn = DWORD(WINAPI *)(ULONG context);

// nullptr restores the platform's own call.
void setShellExecuteEx(ShellExecuteExFn fn);
void setAddressCalls(AddIPAddressFn add, DeleteIPAddressFn del);
// How long one netsh run may take before it counts as failed; 0 restores
// kNetshWaitMs.
void setNetshWait(DWORD ms);

// Sizes and bounds of the texts the commands are made of.
constexpr int kConnectionNameSize = 32;
constexpr int kConnectionNameBound = 31;
constexpr int kAddressTextSize = 20;
constexpr int kAddressTextBound = 19;
constexpr int kParametersSize = 1024;
constexpr int kParametersBound = 1023;
// Room for a connection name in quotation marks.
constexpr int kCommandNameSize = kConnectionNameSize + 2;
constexpr DWORD kNetshWaitMs = 60000;
// How long a netsh that overran its bound is given to end once it is told to.
constexpr DWORD kNetshEndMs = 5000;
// The parameter strings are GBK text: the Chinese connection names are GBK,
// and everything else in them is ASCII, which GBK holds unchanged.
constexpr UINT kParametersCodePage = 936;

} // namespace kestle::netconfig
