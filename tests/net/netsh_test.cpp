// Connection names by locale and the netsh commands. The commands are seen
// twice: through the shell seam (exact arguments and their order, a shell that
// cannot start netsh) and through the netsh stand-in beside this program,
// which the shell's own search finds and which records the bytes it received.
//
// The NetshByLocale cases hold for whatever locale the system has; CTest runs
// them once more under each locale of the connection-name table, naming the
// identifier the run must see in KT_EXPECT_LCID.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "net/net.h"
#include "net/netconfig.h"
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

// The connection names, written out here on their own.
const std::string kZhWireless = "\xCE\xDE\xCF\xDF\xCD\xF8\xC2\xE7\xC1\xAC\xBD\xD3";
const std::string kZhLocal = "\xB1\xBE\xB5\xD8\xC1\xAC\xBD\xD3\x20";
// The same in UTF-8: U+65E0 U+7EBF U+7F51 U+7EDC U+8FDE U+63A5 and
// U+672C U+5730 U+8FDE U+63A5 with the blank.
const std::string kZhWirelessUtf8 = "\xE6\x97\xA0\xE7\xBA\xBF\xE7\xBD\x91\xE7\xBB\x9C\xE8\xBF\x9E\xE6\x8E\xA5";
const std::string kZhLocalUtf8 = "\xE6\x9C\xAC\xE5\x9C\xB0\xE8\xBF\x9E\xE6\x8E\xA5\x20";

bool chinese(LCID lcid)
{
    return lcid == 1028 || lcid == 2052 || lcid == 3076;
}

std::string expectedName(LCID lcid, const std::string &label, bool utf8 = false)
{
    if (chinese(lcid)) {
        if (label == "wifi")
            return utf8 ? kZhWirelessUtf8 : kZhWireless;
        if (label == "bluetooth")
            return "Bluetooth Network";
        return utf8 ? kZhLocalUtf8 : kZhLocal;
    }
    if (lcid == 1033) {
        if (label == "wifi")
            return "Wireless Lan connection";
        if (label == "bluetooth")
            return "Bluetooth Network";
    }
    return "Local Area connection";
}

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
    bool ownerNull;
    std::string verb;
    std::string file;
    std::string parameters;
    bool directoryNull;
    int show;
};

std::vector<ShellCall> gShellCalls;
INT_PTR gShellResult = 42;

HINSTANCE WINAPI recordingShell(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory, INT show)
{
    gShellCalls.push_back({owner == nullptr, verb ? verb : "(null)", file ? file : "(null)",
                           parameters ? parameters : "(null)", directory == nullptr, show});
    return reinterpret_cast<HINSTANCE>(gShellResult);
}

class ShellSeam {
public:
    explicit ShellSeam(INT_PTR result = 42)
    {
        gShellCalls.clear();
        gShellResult = result;
        setShellExecute(recordingShell);
    }
    ~ShellSeam() { setShellExecute(nullptr); }
    std::vector<std::string> parameters() const
    {
        std::vector<std::string> out;
        for (const ShellCall &call : gShellCalls)
            out.push_back(call.parameters);
        return out;
    }
};

// An object whose diagnostics are kept, on the host's IP Helper calls.
std::vector<std::string> gPrinted;
void keepPrinted(const char *text)
{
    gPrinted.push_back(text);
}

struct LoggedNet {
    LoggedNet() : platform(*hostNetPlatform()), net((platform.print = keepPrinted, &platform)) { gPrinted.clear(); }
    NetPlatform platform;
    OSALNet net;
};

const char *const kLabels[] = {"wifi", "bluetooth", "", "eth0", "wifi0", "WIFI", " wifi", "wifi ", "Wi-Fi",
                               "bluetooth0", "Bluetooth", "wlan0"};

} // namespace

TEST(NetshByLocale, ConnectionNameOfEveryLabel)
{
    LCID lcid = systemLocale();
    for (const char *label : kLabels) {
        char name[kConnectionNameSize];
        memset(name, 0xCC, sizeof name);
        OSALNet::connectionName(label, name, kConnectionNameBound);
        std::string expected = expectedName(lcid, label);
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
        std::string expected = "interface ip set address " + expectedName(lcid, label) + " dhcp";
        ASSERT_EQ(1u, gShellCalls.size()) << label;
        const ShellCall &call = gShellCalls[0];
        EXPECT_EQ(hex(expected), hex(call.parameters)) << "label \"" << label << "\"";
        EXPECT_TRUE(call.ownerNull);
        EXPECT_EQ("open", call.verb);
        EXPECT_EQ("netsh", call.file);
        EXPECT_TRUE(call.directoryNull);
        EXPECT_EQ(SW_HIDE, call.show);
        EXPECT_EQ(std::vector<std::string>{expected + "\n"}, gPrinted) << "the command line is logged";
    }
}

TEST(NetshByLocale, ConfigureStartsThreeCommandsInOrder)
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
        std::string name = expectedName(lcid, c.label);
        std::vector<std::string> expected = {
            "interface ip set address " + name + " static " + c.address + " 1",
            "interface ip set dns " + name + " static " + c.dns1Text + " both",
            "interface ip add dns " + name + " " + c.dns2Text,
        };
        EXPECT_EQ(expected, seam.parameters()) << "label \"" << c.label << "\"";
        for (const ShellCall &call : gShellCalls) {
            EXPECT_TRUE(call.ownerNull && call.directoryNull);
            EXPECT_EQ("open", call.verb);
            EXPECT_EQ("netsh", call.file);
            EXPECT_EQ(SW_HIDE, call.show);
        }
        EXPECT_EQ(std::vector<std::string>{expected[0] + "\n"}, gPrinted) << "only the first command is logged";
    }
}

// The real thing: the shell finds the stand-in beside this program, which
// tells what bytes, and what text, netsh is given.
TEST(NetshByLocale, NetshReceivesTheseBytes)
{
    LCID lcid = systemLocale();
    kt::NetshRecorder recorder;
    ASSERT_TRUE(recorder.ok());

    ASSERT_EQ(0, osal_net_startDHCP("eth0"));
    std::vector<kt::NetshStart> starts = recorder.waitFor(1);
    ASSERT_EQ(1u, starts.size()) << "netsh was not started (or more than once)";
    EXPECT_EQ(hex("interface ip set address " + expectedName(lcid, "eth0") + " dhcp"), hex(starts[0].bytes));
    // What the bytes mean to netsh: the GBK names read as meant only where
    // the ANSI code page is GBK's (the Taiwan and Hong Kong locales have
    // Big5's, 950, and get the same bytes all the same).
    bool gbk = GetACP() == 936;
    if (!chinese(lcid) || gbk) {
        EXPECT_EQ("interface ip set address " + expectedName(lcid, "eth0", true) + " dhcp", starts[0].utf8);
    }
    if (chinese(lcid) && starts[0].bytes.size() >= 8) {
        EXPECT_EQ("BD D3 20 20 64 68 63 70", hex(starts[0].bytes.substr(starts[0].bytes.size() - 8)));
    } else if (lcid == 1033) {
        EXPECT_EQ(51u, starts[0].bytes.size());
    }

    kt::NetshRecorder configured;
    ASSERT_TRUE(configured.ok());
    ASSERT_EQ(0, osal_net_configure("wifi", 0xC0A8010A, 0xFFFFFF00, 0, 0x08080808, 0));
    starts = configured.waitFor(3);
    std::string name = expectedName(lcid, "wifi");
    std::string nameUtf8 = expectedName(lcid, "wifi", true);
    // netsh runs on its own: the records come in any order.
    std::vector<std::string> expectedBytes = {
        "interface ip add dns " + name + " none",
        "interface ip set address " + name + " static 192.168.1.10 255.255.255.0 none 1",
        "interface ip set dns " + name + " static 8.8.8.8 both",
    };
    std::sort(expectedBytes.begin(), expectedBytes.end());
    ASSERT_EQ(3u, starts.size());
    for (size_t i = 0; i < starts.size(); ++i)
        EXPECT_EQ(hex(expectedBytes[i]), hex(starts[i].bytes)) << "record " << i;
    if (chinese(lcid) && gbk) {
        EXPECT_NE(std::string::npos, starts[0].utf8.find(nameUtf8)) << starts[0].utf8;
    }
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

// A shell that cannot start netsh: nothing was requested, and the caller is
// told so, though every command was still tried.
TEST(Netsh, UnstartedNetshIsReported)
{
    LoggedNet logged;
    for (INT_PTR failure : {INT_PTR{0}, INT_PTR{2}, INT_PTR{32}}) {
        ShellSeam seam(failure);
        EXPECT_EQ(-1, logged.net.startDHCP("eth0")) << "shell result " << failure;
        EXPECT_EQ(1u, gShellCalls.size());
        gShellCalls.clear();
        EXPECT_EQ(-1, logged.net.configure("eth0", 0x0A000001, 0xFFFFFF00, 0, 0, 0)) << "shell result " << failure;
        EXPECT_EQ(3u, gShellCalls.size());
    }
    ShellSeam started(33);
    EXPECT_EQ(0, logged.net.startDHCP("eth0"));
    EXPECT_EQ(0, logged.net.configure("eth0", 0x0A000001, 0xFFFFFF00, 0, 0, 0));
}

TEST(Netsh, NoLabelStartsNothing)
{
    ShellSeam seam;
    EXPECT_EQ(-1, osal_net_startDHCP(nullptr));
    EXPECT_EQ(-1, osal_net_configure(nullptr, 0x0A000001, 0xFFFFFF00, 0, 0, 0));
    EXPECT_TRUE(gShellCalls.empty()) << gShellCalls.size() << " shell calls, the first: " << gShellCalls[0].parameters;
}

TEST(Netsh, SetDnsAndAddDnsReturnTheShellsResult)
{
    LCID lcid = GetSystemDefaultLCID();
    LoggedNet logged;
    ShellSeam seam(77);
    EXPECT_EQ(77, logged.net.setDns("eth0", true, 0x08080808));
    EXPECT_EQ(77, logged.net.setDns("eth0", false, 0));
    EXPECT_EQ(77, logged.net.addDns("eth0", 0x01020304));
    std::string name = expectedName(lcid, "eth0");
    std::vector<std::string> expected = {
        "interface ip set dns " + name + " dhcp 8.8.8.8 both",
        "interface ip set dns " + name + " static none both",
        "interface ip add dns " + name + " 1.2.3.4",
    };
    EXPECT_EQ(expected, seam.parameters());
    EXPECT_TRUE(gPrinted.empty()) << "the DNS commands are not logged: " << gPrinted[0];
}
