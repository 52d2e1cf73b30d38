// Connection names by locale and the netsh commands. The commands are seen
// twice: through the shell seam (exact arguments and their order, a shell that
// cannot start netsh, a netsh that never ends) and through the netsh
// stand-in beside this program, which the shell's own search finds and which
// records the wide command line it got and when it ran.
//
// The NetshByLocale cases hold for whatever locale the system has; CTest runs
// them once more under each locale of the connection-name table, naming the
// identifier the run must see in KT_EXPECT_LCID.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "net/net.h"
#include "net/netconfig.h"
#include "loggednet.h"
#include "netsh_record.h"

using namespace kestle::netconfig;

namespace {

std::string hex(const std::string &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        if (!out.empty())
            out += ' ';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string hex(const std::wstring &text)
{
    std::string out;
    char unit[8];
    for (wchar_t c : text) {
        snprintf(unit, sizeof unit, "%s%04X", out.empty() ? "" : " ", static_cast<unsigned>(c));
        out += unit;
    }
    return out;
}

std::wstring ascii(const std::string &text)
{
    return std::wstring(text.begin(), text.end());
}

// A connection name written out here on its own: the GBK bytes the library
// keeps, and the characters they stand for.
struct Name {
    std::string bytes;
    std::wstring text;
};

// "wireless network connection" (U+65E0 U+7EBF U+7F51 U+7EDC U+8FDE U+63A5)
// and "local connection" (U+672C U+5730 U+8FDE U+63A5) with its blank.
const Name kZhWireless = {"\xCE\xDE\xCF\xDF\xCD\xF8\xC2\xE7\xC1\xAC\xBD\xD3",
                          L"\x65E0\x7EBF\x7F51\x7EDC\x8FDE\x63A5"};
const Name kZhLocal = {"\xB1\xBE\xB5\xD8\xC1\xAC\xBD\xD3\x20", L"\x672C\x5730\x8FDE\x63A5\x20"};

Name plain(const char *text)
{
    return {text, ascii(text)};
}

bool chinese(LCID lcid)
{
    return lcid == 1028 || lcid == 2052 || lcid == 3076;
}

Name expectedName(LCID lcid, const std::string &label)
{
    if (chinese(lcid)) {
        if (label == "wifi")
            return kZhWireless;
        if (label == "bluetooth")
            return plain("Bluetooth Network");
        return kZhLocal;
    }
    if (lcid == 1033) {
        if (label == "wifi")
            return plain("Wireless Lan connection");
        if (label == "bluetooth")
            return plain("Bluetooth Network");
    }
    return plain("Local Area connection");
}

// The name as a command carries it: quoted when it holds a blank.
Name inCommand(const Name &name)
{
    if (name.bytes.find(' ') == std::string::npos)
        return name;
    return {"\"" + name.bytes + "\"", L"\"" + name.text + L"\""};
}

// A command of bytes and text pieces: "interface ip set address ", a name...
struct Command {
    std::string bytes;
    std::wstring text;
    Command &operator<<(const char *piece)
    {
        bytes += piece;
        text += ascii(piece);
        return *this;
    }
    Command &operator<<(const Name &name)
    {
        Name quoted = inCommand(name);
        bytes += quoted.bytes;
        text += quoted.text;
        return *this;
    }
};

// The locale this run must have, when CTest named one.
LCID systemLocale()
{
    LCID lcid = GetSystemDefaultLCID();
    if (const char *expected = getenv("KT_EXPECT_LCID")) {
        EXPECT_EQ(static_cast<LCID>(strtoul(expected, nullptr, 10)), lcid)
            << "the system locale of this run is not the one asked for (LANG and LOCPATH of the wine command)";
    }
    return lcid;
}

// ---- the shell seam ----

struct ShellCall {
    ULONG mask;
    bool ownerNull;
    std::wstring verb;
    std::wstring file;
    std::wstring parameters;
    bool directoryNull;
    int show;
};

std::vector<ShellCall> gShellCalls;
// What the seam's netsh does: ends at once, cannot be started, never ends,
// or is started without a handle to wait on.
enum class Netsh { Ends, NotStarted, NeverEnds, NoHandle };
Netsh gNetsh = Netsh::Ends;

BOOL WINAPI recordingShell(SHELLEXECUTEINFOW *info)
{
    gShellCalls.push_back({info->fMask, info->hwnd == nullptr, info->lpVerb ? info->lpVerb : L"(null)",
                           info->lpFile ? info->lpFile : L"(null)",
                           info->lpParameters ? info->lpParameters : L"(null)", info->lpDirectory == nullptr,
                           info->nShow});
    info->hProcess = nullptr;
    switch (gNetsh) {
    case Netsh::NotStarted:
        info->hInstApp = reinterpret_cast<HINSTANCE>(SE_ERR_FNF);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    case Netsh::NoHandle:
        break;
    case Netsh::Ends:
    case Netsh::NeverEnds:
        // An event stands for the process: set, it has ended.
        info->hProcess = CreateEventA(nullptr, TRUE, gNetsh == Netsh::Ends, nullptr);
        break;
    }
    info->hInstApp = reinterpret_cast<HINSTANCE>(42);
    return TRUE;
}

class ShellSeam {
public:
    explicit ShellSeam(Netsh netsh = Netsh::Ends)
    {
        gShellCalls.clear();
        gNetsh = netsh;
        setShellExecuteEx(recordingShell);
    }
    ~ShellSeam()
    {
        setShellExecuteEx(nullptr);
        setNetshWait(0);
    }
    std::vector<std::wstring> parameters() const
    {
        std::vector<std::wstring> out;
        for (const ShellCall &call : gShellCalls)
            out.push_back(call.parameters);
        return out;
    }
};

using kt::LoggedNet;
std::vector<std::string> &gPrinted = kt::loggedTexts();

const char *const kLabels[] = {"wifi", "bluetooth", "", "eth0", "wifi0", "WIFI", " wifi", "wifi ", "Wi-Fi",
                               "bluetooth0", "Bluetooth", "wlan0"};

void expectShellCall(const ShellCall &call, const std::string &what)
{
    EXPECT_TRUE(call.ownerNull) << what;
    EXPECT_EQ(L"open", call.verb) << what;
    EXPECT_EQ(L"netsh", call.file) << what;
    EXPECT_TRUE(call.directoryNull) << what;
    EXPECT_EQ(SW_HIDE, call.show) << what;
    EXPECT_TRUE(call.mask & SEE_MASK_NOCLOSEPROCESS) << what << ": without the process there is nothing to wait for";
}

} // namespace

TEST(NetshByLocale, ConnectionNameOfEveryLabel)
{
    LCID lcid = systemLocale();
    for (const char *label : kLabels) {
        char name[kConnectionNameSize];
        memset(name, 0xCC, sizeof name);
        OSALNet::connectionName(label, name, kConnectionNameBound);
        std::string expected = expectedName(lcid, label).bytes;
        std::string padded = expected + std::string(kConnectionNameBound - expected.size(), '\0');
        EXPECT_EQ(hex(padded), hex(std::string(name, kConnectionNameBound)))
            << "locale " << lcid << ", label \"" << label << "\": expected \"" << expected << "\" and NULs";
        EXPECT_EQ(0xCC, static_cast<unsigned char>(name[kConnectionNameBound]))
            << "label \"" << label << "\": the byte past the bound was written";
    }
}

TEST(NetshByLocale, DhcpCommandLine)
{
    LCID lcid = systemLocale();
    LoggedNet logged;
    for (const char *label : kLabels) {
        ShellSeam seam;
        gPrinted.clear();
        EXPECT_EQ(0, logged.net.startDHCP(label)) << label;
        Command expected;
        expected << "interface ip set address " << expectedName(lcid, label) << " dhcp";
        ASSERT_EQ(1u, gShellCalls.size()) << label;
        EXPECT_EQ(hex(expected.text), hex(gShellCalls[0].parameters)) << "label \"" << label << "\"";
        expectShellCall(gShellCalls[0], label);
        EXPECT_EQ(std::vector<std::string>{expected.bytes + "\n"}, gPrinted) << "the command line is logged";
    }
}

TEST(NetshByLocale, ConfigureRunsThreeCommandsInOrder)
{
    LCID lcid = systemLocale();
    struct Case {
        const char *label;
        uint32_t ip, mask, gateway, dns1, dns2;
        const char *address; // what follows "static " in the first command
        const char *dns1Text;
        const char *dns2Text;
    };
    const Case cases[] = {
        {"eth0", 0xC0A8010A, 0xFFFFFF00, 0xC0A80101, 0x08080808, 0x08080404, "192.168.1.10 255.255.255.0 192.168.1.1",
         "8.8.8.8", "8.8.4.4"},
        {"wifi", 0x0A000001, 0xFF000000, 0, 0x01010101, 0, "10.0.0.1 255.0.0.0 none", "1.1.1.1", "none"},
        {"bluetooth", 0xFFFFFFFF, 0x80000000, 0x00000001, 0, 0xFFFFFFFE,
         "255.255.255.255 128.0.0.0 0.0.0.1", "none", "255.255.255.254"},
    };
    LoggedNet logged;
    for (const Case &c : cases) {
        ShellSeam seam;
        gPrinted.clear();
        EXPECT_EQ(0, logged.net.configure(c.label, c.ip, c.mask, c.gateway, c.dns1, c.dns2)) << c.label;
        Name name = expectedName(lcid, c.label);
        Command address, setDns, addDns;
        address << "interface ip set address " << name << " static " << c.address << " 1";
        setDns << "interface ip set dns " << name << " static " << c.dns1Text << " both";
        addDns << "interface ip add dns " << name << " " << c.dns2Text;
        std::vector<std::wstring> expected = {address.text, setDns.text, addDns.text};
        ASSERT_EQ(expected.size(), gShellCalls.size()) << "label \"" << c.label << "\"";
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(hex(expected[i]), hex(gShellCalls[i].parameters))
                << "label \"" << c.label << "\", command " << i;
            expectShellCall(gShellCalls[i], c.label);
        }
        EXPECT_EQ(std::vector<std::string>{address.bytes + "\n"}, gPrinted) << "only the first command is logged";
    }
}

// The real thing: the shell finds the stand-in beside this program, which
// tells what command line netsh got and when each run started and ended.
TEST(NetshByLocale, NetshGetsTheseParametersOneRunAfterAnother)
{
    LCID lcid = systemLocale();
    kt::NetshRecorder recorder;
    ASSERT_TRUE(recorder.ok());

    ASSERT_EQ(0, osal_net_startDHCP("eth0"));
    std::vector<kt::NetshRun> runs = recorder.waitFor(1);
    ASSERT_EQ(1u, runs.size()) << "netsh was not run (or more than once)";
    Command dhcp;
    dhcp << "interface ip set address " << expectedName(lcid, "eth0") << " dhcp";
    EXPECT_EQ(hex(dhcp.text), hex(runs[0].parameters));

    // A slow address change: the DNS commands must wait for it to end.
    kt::NetshRecorder configured;
    ASSERT_TRUE(configured.ok());
    configured.hold(L"interface ip set address", 1500);
    ASSERT_EQ(0, osal_net_configure("wifi", 0xC0A8010A, 0xFFFFFF80, 0, 0x08080808, 0));
    long long returned = kt::netshClockUs();
    runs = configured.waitFor(3);
    Name name = expectedName(lcid, "wifi");
    Command address, setDns, addDns;
    address << "interface ip set address " << name << " static 192.168.1.10 255.255.255.128 none 1";
    setDns << "interface ip set dns " << name << " static 8.8.8.8 both";
    addDns << "interface ip add dns " << name << " none";
    const std::wstring expected[] = {address.text, setDns.text, addDns.text};
    ASSERT_EQ(3u, runs.size());
    for (size_t i = 0; i < runs.size(); ++i) {
        EXPECT_EQ(hex(expected[i]), hex(runs[i].parameters)) << "run " << i << " in the order the runs started";
        if (i > 0) {
            EXPECT_GE(runs[i].startUs, runs[i - 1].endUs)
                << "run " << i << " started " << (runs[i - 1].endUs - runs[i].startUs) / 1000
                << " ms before run " << i - 1 << " ended";
        }
    }
    EXPECT_GE(returned, runs[2].endUs) << "osal_net_configure returned before its last netsh ended";
}

TEST(Netsh, AddressText)
{
    struct Case {
        uint32_t value;
        const char *text;
    };
    const Case cases[] = {
        {0, "none"},
        {0xFFFFFF00, "255.255.255.0"},
        {0x0A000001, "10.0.0.1"},
        {0x00000001, "0.0.0.1"},
        {0x80000000, "128.0.0.0"},
        {0xFFFFFFFF, "255.255.255.255"},
        {0xC0A8010A, "192.168.1.10"},
    };
    for (const Case &c : cases) {
        char text[kAddressTextSize];
        memset(text, 'x', sizeof text);
        OSALNet::formatAddress(c.value, text, kAddressTextBound);
        EXPECT_STREQ(c.text, text) << std::hex << c.value;
    }
}

// A netsh that cannot be started, cannot be waited for, or does not end in
// time: the caller is told, with a message naming the command, and no later
// command of the configuration runs (it would overtake the one before).
TEST(Netsh, ACommandThatDoesNotRunToItsEndStopsTheConfiguration)
{
    struct Case {
        Netsh netsh;
        const char *message; // how the message begins
    };
    const Case cases[] = {
        {Netsh::NotStarted, "netsh could not be started (2): interface ip set address "},
        {Netsh::NoHandle, "netsh was started but cannot be waited for: interface ip set address "},
        {Netsh::NeverEnds, "netsh did not end within 300 ms: interface ip set address "},
    };
    LoggedNet logged;
    for (const Case &c : cases) {
        ShellSeam seam(c.netsh);
        setNetshWait(300);
        gPrinted.clear();
        EXPECT_EQ(-1, logged.net.startDHCP("eth0")) << c.message;
        ASSERT_EQ(2u, gPrinted.size()) << c.message;
        EXPECT_EQ(0u, gPrinted[1].rfind(c.message, 0)) << gPrinted[1];
        EXPECT_EQ(1u, gShellCalls.size());

        gShellCalls.clear();
        gPrinted.clear();
        EXPECT_EQ(-1, logged.net.configure("eth0", 0x0A000001, 0xFFFFFF00, 0, 0, 0)) << c.message;
        EXPECT_EQ(1u, gShellCalls.size()) << c.message << ": commands run after the one that failed";
        ASSERT_EQ(2u, gPrinted.size()) << c.message;
        EXPECT_EQ(0u, gPrinted[1].rfind(c.message, 0)) << gPrinted[1];
    }
}

// The same with the real stand-in: a netsh that is still running when the
// bound ends. It was started by the library, which ends it before the call
// returns: left running, it could overlap the next configuration.
TEST(Netsh, ANetshStillRunningAtTheBoundIsAnErrorAndIsEnded)
{
    kt::NetshRecorder recorder;
    ASSERT_TRUE(recorder.ok());
    recorder.hold(L"interface ip set address", 120000);
    LoggedNet logged;
    setNetshWait(5000);
    EXPECT_EQ(-1, logged.net.configure("eth0", 0x0A000001, 0xFFFFFF00, 0, 0, 0));
    setNetshWait(0);
    std::vector<DWORD> held = recorder.held();
    ASSERT_EQ(1u, held.size()) << "the held netsh left no mark";
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, held[0]);
    bool running = process && WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    if (process)
        CloseHandle(process);
    recorder.release();
    EXPECT_FALSE(running) << "netsh " << held[0] << " still runs after the call returned";
    ASSERT_EQ(2u, gPrinted.size());
    EXPECT_EQ(0u, gPrinted[1].rfind("netsh did not end within 5000 ms: interface ip set address ", 0)) << gPrinted[1];
    EXPECT_TRUE(recorder.waitFor(1, 2000).empty()) << "the ended netsh ran on to its end";
}

TEST(Netsh, NoLabelStartsNothing)
{
    ShellSeam seam;
    EXPECT_EQ(-1, osal_net_startDHCP(nullptr));
    EXPECT_EQ(-1, osal_net_configure(nullptr, 0x0A000001, 0xFFFFFF00, 0, 0, 0));
    EXPECT_TRUE(gShellCalls.empty()) << gShellCalls.size() << " shell calls";
}

TEST(Netsh, SetDnsAndAddDnsRunTheirCommandUnlogged)
{
    LCID lcid = GetSystemDefaultLCID();
    LoggedNet logged;
    ShellSeam seam;
    EXPECT_EQ(0, logged.net.setDns("eth0", true, 0x08080808));
    EXPECT_EQ(0, logged.net.setDns("eth0", false, 0));
    EXPECT_EQ(0, logged.net.addDns("eth0", 0x01020304));
    Name name = expectedName(lcid, "eth0");
    Command dhcpDns, staticDns, addDns;
    dhcpDns << "interface ip set dns " << name << " dhcp 8.8.8.8 both";
    staticDns << "interface ip set dns " << name << " static none both";
    addDns << "interface ip add dns " << name << " 1.2.3.4";
    EXPECT_EQ((std::vector<std::wstring>{dhcpDns.text, staticDns.text, addDns.text}), seam.parameters());
    EXPECT_TRUE(gPrinted.empty()) << "the DNS commands are not logged: " << gPrinted[0];
    ShellSeam failing(Netsh::NotStarted);
    EXPECT_EQ(-1, logged.net.setDns("eth0", false, 0));
    EXPECT_EQ(-1, logged.net.addDns("eth0", 0));
}
