// Descriptors that are sockets or C-runtime descriptors, tried on real
// loopback sockets and real files, and the file exports beside them. The
// temporary file lives under the root directory, so those cases run in a
// child whose VANTRELL_ROOT names a fresh folder.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "child.h"
#include "files.h"
#include "loopback.h"
#include "os/files.h"
#include "report.h"
#include "roles.h"
#include "tempdir.h"

namespace {

constexpr int kTimeoutMs = 60000;
constexpr long kFionbio = static_cast<long>(0x8004667EUL);
constexpr long kFionread = 0x4004667FL;

// Reads exactly n bytes from a socket (loopback may deliver in pieces).
std::string recvAll(SOCKET s, int n)
{
    std::string out;
    char buf[256];
    while (static_cast<int>(out.size()) < n) {
        int got = recv(s, buf, std::min<int>(sizeof buf, n - static_cast<int>(out.size())), 0);
        if (got <= 0)
            break;
        out.append(buf, static_cast<size_t>(got));
    }
    return out;
}

// The whole file, or "(missing)".
std::string contentsOf(const std::string &path)
{
    bool ok = false;
    std::string bytes = kt::readFile(path, &ok);
    return ok ? bytes : "(missing)";
}

// The names in a folder (without "." and ".."), or "(no-folder)".
std::vector<std::string> listFolder(const std::string &dir)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((dir + "\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return {"(no-folder)"};
    do {
        if (strcmp(found.cFileName, ".") && strcmp(found.cFileName, ".."))
            names.push_back(found.cFileName);
    } while (FindNextFileA(find, &found));
    FindClose(find);
    return names;
}

std::string joined(const std::vector<std::string> &names)
{
    std::string s;
    for (const auto &n : names)
        s += (s.empty() ? "" : ",") + n;
    return s;
}

// ---- telling sockets from C-runtime descriptors ----

TEST(Descriptors, IsSocketTellsTheTwoKindsApart)
{
    ASSERT_TRUE(kt::startWinsock());
    kt::SocketPair pair;
    ASSERT_TRUE(pair.make());
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    SOCKET udp = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    SOCKET closed = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    closesocket(closed);
    kt::TempDir dir("kestle_files_kind_");
    ASSERT_TRUE(dir.made());
    int file = _open(dir.file("f").c_str(), _O_CREAT | _O_RDWR | _O_BINARY, _S_IREAD | _S_IWRITE);
    ASSERT_GE(file, 0);

    struct Case {
        const char *what;
        int fd;
        int expected;
    };
    const Case cases[] = {
        {"connected client", static_cast<int>(pair.mClient), 1},
        {"accepted socket", static_cast<int>(pair.mServer), 1},
        {"unbound socket", static_cast<int>(listener), 1},
        {"datagram socket", static_cast<int>(udp), 1},
        {"a socket value with both low bits set", static_cast<int>(pair.mClient | 3), 0},
        {"3", 3, 0},
        {"7", 7, 0},
        {"-1", -1, 0},
        {"standard input", 0, 0},
        {"open file descriptor", file, 0},
        {"closed socket", static_cast<int>(closed), 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(osal_isSocket(c.fd), c.expected) << c.what << " (" << c.fd << ")";
    _close(file);
    closesocket(listener);
    closesocket(udp);
}

// A caller of WSAEventSelect collects the recorded events itself; asking
// whether a value is a socket must not take them away.
TEST(Descriptors, IsSocketLeavesRecordedNetworkEvents)
{
    ASSERT_TRUE(kt::startWinsock());
    kt::SocketPair pair;
    ASSERT_TRUE(pair.make());
    HANDLE ev = WSACreateEvent();
    ASSERT_EQ(WSAEventSelect(pair.mServer, ev, FD_READ | FD_CLOSE), 0);
    ASSERT_EQ(send(pair.mClient, "x", 1, 0), 1);
    ASSERT_EQ(WaitForSingleObject(ev, kTimeoutMs), WAIT_OBJECT_0);
    EXPECT_EQ(osal_isSocket(static_cast<int>(pair.mServer)), 1);
    EXPECT_EQ(osal_isSocket(static_cast<int>(pair.mServer)), 1);
    WSANETWORKEVENTS events = {};
    ASSERT_EQ(WSAEnumNetworkEvents(pair.mServer, ev, &events), 0);
    EXPECT_TRUE(events.lNetworkEvents & FD_READ) << "recorded events after the test: " << events.lNetworkEvents;
    WSAEventSelect(pair.mServer, nullptr, 0);
    WSACloseEvent(ev);
}

// ---- read, write, close ----

TEST(Descriptors, ReadAndWriteOnSocketsAreRecvAndSend)
{
    ASSERT_TRUE(kt::startWinsock());
    kt::SocketPair pair;
    ASSERT_TRUE(pair.make());
    EXPECT_EQ(osal_write(static_cast<int>(pair.mClient), "hello", 5), 5);
    EXPECT_EQ(recvAll(pair.mServer, 5), "hello");
    ASSERT_EQ(send(pair.mServer, "back", 4, 0), 4);
    std::string got;
    char buf[16];
    while (got.size() < 4) {
        int n = osal_read(static_cast<int>(pair.mClient), buf, sizeof buf);
        ASSERT_GT(n, 0);
        got.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(got, "back");

    // Nothing waiting on a non-blocking socket: Winsock's code in errno.
    u_long on = 1;
    ASSERT_EQ(ioctlsocket(pair.mClient, FIONBIO, &on), 0);
    errno = 0;
    EXPECT_EQ(osal_read(static_cast<int>(pair.mClient), buf, sizeof buf), -1);
    EXPECT_EQ(errno, WSAEWOULDBLOCK);

    // The peer gone: end of stream.
    closesocket(pair.mServer);
    pair.mServer = INVALID_SOCKET;
    on = 0;
    ASSERT_EQ(ioctlsocket(pair.mClient, FIONBIO, &on), 0);
    EXPECT_EQ(osal_read(static_cast<int>(pair.mClient), buf, sizeof buf), 0);
}

TEST(Descriptors, ReadAndWriteOnFilesAreTheRuntimeCalls)
{
    kt::TempDir dir("kestle_files_rw_");
    ASSERT_TRUE(dir.made());
    int fd = _open(dir.file("data").c_str(), _O_CREAT | _O_RDWR | _O_BINARY, _S_IREAD | _S_IWRITE);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(osal_write(fd, "line\nmore", 9), 9);
    ASSERT_EQ(_lseek(fd, 0, SEEK_SET), 0);
    char buf[32] = {};
    EXPECT_EQ(osal_read(fd, buf, sizeof buf), 9);
    EXPECT_EQ(std::string(buf, 9), "line\nmore");
    EXPECT_EQ(osal_read(fd, buf, sizeof buf), 0) << "end of file";

    // A negative count is refused, not taken for a huge one.
    ASSERT_EQ(_lseek(fd, 0, SEEK_SET), 0);
    char small[4] = {'a', 'b', 'c', 'd'};
    errno = 0;
    EXPECT_EQ(osal_read(fd, small, -1), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(std::string(small, 4), "abcd") << "the buffer was written";
    errno = 0;
    EXPECT_EQ(osal_write(fd, "x", -5), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(osal_close(fd), 0);
    EXPECT_EQ(contentsOf(dir.file("data")), "line\nmore") << "the refused write changed the file";

    errno = 0;
    EXPECT_EQ(osal_read(fd, buf, sizeof buf), -1) << "closed descriptor";
    EXPECT_EQ(errno, EBADF);
}

TEST(Descriptors, CloseClosesEitherKindOnce)
{
    ASSERT_TRUE(kt::startWinsock());
    kt::SocketPair pair;
    ASSERT_TRUE(pair.make());
    int s = static_cast<int>(pair.mServer);
    EXPECT_EQ(osal_close(s), 0);
    pair.mServer = INVALID_SOCKET;
    EXPECT_EQ(recvAll(pair.mClient, 1), "") << "the peer sees the end of stream";
    EXPECT_EQ(osal_close(s), -1) << "already closed";

    kt::TempDir dir("kestle_files_close_");
    ASSERT_TRUE(dir.made());
    int fd = _open(dir.file("f").c_str(), _O_CREAT | _O_RDWR, _S_IREAD | _S_IWRITE);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(osal_close(fd), 0);
    errno = 0;
    EXPECT_EQ(osal_close(fd), -1);
    EXPECT_EQ(errno, EBADF);
}

// ---- duplicates ----

TEST(Descriptors, DupOfASocketIsASocketForTheSameConnection)
{
    ASSERT_TRUE(kt::startWinsock());
    kt::SocketPair pair;
    ASSERT_TRUE(pair.make());
    int copy = osal_dup(static_cast<int>(pair.mServer));
    ASSERT_NE(copy, -1);
    EXPECT_NE(copy, static_cast<int>(pair.mServer));
    EXPECT_EQ(osal_isSocket(copy), 1) << "the duplicate must pass for a socket";
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(reinterpret_cast<HANDLE>(static_cast<intptr_t>(copy)), &flags));
    EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u) << "not inheritable";

    ASSERT_EQ(send(pair.mClient, "ab", 2, 0), 2);
    char buf[8] = {};
    std::string got;
    while (got.size() < 2) {
        int n = osal_read(copy, buf, sizeof buf);
        ASSERT_GT(n, 0);
        got.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(got, "ab");

    // The duplicate outlives the original.
    EXPECT_EQ(osal_close(static_cast<int>(pair.mServer)), 0);
    pair.mServer = INVALID_SOCKET;
    EXPECT_EQ(osal_write(copy, "cd", 2), 2);
    EXPECT_EQ(recvAll(pair.mClient, 2), "cd");
    EXPECT_EQ(osal_close(copy), 0);
    EXPECT_EQ(recvAll(pair.mClient, 1), "") << "the last close ends the connection";
}

TEST(Descriptors, DupOfAFileSharesItsPosition)
{
    kt::TempDir dir("kestle_files_dup_");
    ASSERT_TRUE(dir.made());
    int fd = _open(dir.file("f").c_str(), _O_CREAT | _O_RDWR | _O_BINARY, _S_IREAD | _S_IWRITE);
    ASSERT_GE(fd, 0);
    int copy = osal_dup(fd);
    ASSERT_GE(copy, 0);
    EXPECT_NE(copy, fd);
    EXPECT_EQ(osal_isSocket(copy), 0);
    EXPECT_EQ(osal_write(fd, "12345", 5), 5);
    EXPECT_EQ(_tell(copy), 5);
    EXPECT_EQ(osal_write(copy, "67", 2), 2);
    EXPECT_EQ(osal_close(fd), 0);
    EXPECT_EQ(osal_close(copy), 0);
    EXPECT_EQ(contentsOf(dir.file("f")), "1234567");

    errno = 0;
    EXPECT_EQ(osal_dup(fd), -1) << "closed descriptor";
    EXPECT_EQ(errno, EBADF);
}

// ---- Win32 handles ----

TEST(Descriptors, HandleConversionsDispatchOnTheKind)
{
    ASSERT_TRUE(kt::startWinsock());
    kt::SocketPair pair;
    ASSERT_TRUE(pair.make());
    int s = static_cast<int>(pair.mServer);
    EXPECT_EQ(osal_getOsHandle(s), static_cast<intptr_t>(s)) << "a socket is its own handle";
    EXPECT_EQ(osal_openOsHandle(static_cast<intptr_t>(s), 0), s);
    EXPECT_EQ(osal_get_osfhandle(s), -1) << "no socket test: not a runtime descriptor";

    kt::TempDir dir("kestle_files_handles_");
    ASSERT_TRUE(dir.made());
    int fd = _open(dir.file("f").c_str(), _O_CREAT | _O_RDWR | _O_BINARY, _S_IREAD | _S_IWRITE);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(osal_getOsHandle(fd), _get_osfhandle(fd));
    EXPECT_EQ(osal_get_osfhandle(fd), _get_osfhandle(fd));
    EXPECT_NE(osal_getOsHandle(fd), -1);
    _close(fd);
    EXPECT_EQ(osal_getOsHandle(fd), -1) << "not open";
    EXPECT_EQ(osal_getOsHandle(1999), -1) << "never opened";

    // osal_openOsHandle adds binary mode; osal_open_osfhandle passes the
    // flags as they are, so text mode turns "\n" into "\r\n".
    struct Case {
        const char *what;
        int (*open)(intptr_t, int);
        int flags;
        const char *onDisk;
    };
    const Case cases[] = {
        {"openOsHandle, text asked", osal_openOsHandle, 0, "a\nb"},
        {"open_osfhandle, text", osal_open_osfhandle, _O_TEXT, "a\r\nb"},
        {"open_osfhandle, binary", osal_open_osfhandle, _O_BINARY, "a\nb"},
    };
    int n = 0;
    for (const Case &c : cases) {
        std::string path = dir.file("h" + std::to_string(n++));
        HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        int d = c.open(reinterpret_cast<intptr_t>(h), c.flags);
        ASSERT_GE(d, 0) << c.what;
        EXPECT_EQ(osal_isSocket(d), 0);
        EXPECT_EQ(_get_osfhandle(d), reinterpret_cast<intptr_t>(h)) << c.what;
        EXPECT_EQ(_write(d, "a\nb", 3), 3) << c.what;
        EXPECT_EQ(osal_close(d), 0) << c.what << ": the descriptor owns the handle";
        EXPECT_EQ(contentsOf(path), c.onDisk) << c.what;
    }
}

// ---- ioctl ----

TEST(Descriptors, IoctlCarriesOutOnlyNonBlockingMode)
{
    ASSERT_TRUE(kt::startWinsock());
    kt::SocketPair pair;
    ASSERT_TRUE(pair.make());
    int s = static_cast<int>(pair.mServer);
    unsigned long on = 1;
    errno = 4321;
    EXPECT_EQ(osal_ioctl(s, kFionbio, &on), 0);
    EXPECT_EQ(errno, 4321) << "errno is left alone";
    char buf[4];
    EXPECT_EQ(recv(pair.mServer, buf, sizeof buf, 0), -1);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK) << "the socket did not become non-blocking";

    // Other requests, a missing value, and a descriptor that is no socket.
    ASSERT_EQ(send(pair.mClient, "z", 1, 0), 1);
    struct Case {
        const char *what;
        int fd;
        long request;
        bool withArg;
    };
    const Case cases[] = {
        {"FIONREAD", s, kFionread, true},
        {"unknown request", s, 0x1234, true},
        {"FIONBIO without a value", s, kFionbio, false},
        {"FIONBIO on standard input", 0, kFionbio, true},
    };
    for (const Case &c : cases) {
        unsigned long value = 0;
        errno = 4321;
        EXPECT_EQ(osal_ioctl(c.fd, c.request, c.withArg ? &value : nullptr), -1) << c.what;
        EXPECT_EQ(value, 0u) << c.what << ": the value was written";
        EXPECT_EQ(errno, 4321) << c.what << ": errno changed";
    }
    // Still non-blocking, and the waiting byte untouched.
    DWORD start = GetTickCount();
    std::string got;
    while (got.empty() && GetTickCount() - start < static_cast<DWORD>(kTimeoutMs)) {
        int n = recv(pair.mServer, buf, sizeof buf, 0);
        if (n > 0) {
            got.assign(buf, static_cast<size_t>(n));
        } else {
            ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
        }
    }
    EXPECT_EQ(got, "z");

    unsigned long off = 0;
    EXPECT_EQ(osal_ioctl(s, kFionbio, &off), 0);
}

// ---- rename and stat ----

TEST(Files, RenameReplacesTheTargetOrChangesNothing)
{
    struct Case {
        const char *what;
        const char *from; // file names in a fresh folder, "" for NULL
        const char *to;
        bool makeFrom, makeTo;
        int result;
        int error;              // errno after a failure
        const char *fromAfter;  // content, or "(missing)"
        const char *toAfter;
    };
    const Case cases[] = {
        {"onto an existing file", "a", "b", true, true, 0, 0, "(missing)", "from a"},
        {"to a new name", "a", "b", true, false, 0, 0, "(missing)", "from a"},
        {"missing source keeps the target", "a", "b", false, true, -1, ENOENT, "(missing)", "in b"},
        {"onto itself keeps the file", "a", "a", true, false, 0, 0, "from a", "from a"},
        {"into a missing folder", "a", "nofolder\\b", true, false, -1, ENOENT, "from a", "(missing)"},
    };
    for (const Case &c : cases) {
        kt::TempDir dir("kestle_files_rename_");
        ASSERT_TRUE(dir.made());
        std::string from = dir.file(c.from), to = dir.file(c.to);
        if (c.makeFrom) {
            ASSERT_TRUE(kt::writeFile(from, "from a"));
        }
        if (c.makeTo) {
            ASSERT_TRUE(kt::writeFile(to, "in b"));
        }
        errno = 0;
        int r = osal_rename(from.c_str(), to.c_str());
        if (c.result == 0 && strcmp(c.from, c.to) == 0) {
            // Renaming a file onto itself may succeed or fail; it must not lose it.
            EXPECT_EQ(contentsOf(from), "from a") << c.what << " (result " << r << ")";
            continue;
        }
        EXPECT_EQ(r, c.result) << c.what;
        if (c.result != 0) {
            EXPECT_EQ(errno, c.error) << c.what;
        }
        EXPECT_EQ(contentsOf(from), c.fromAfter) << c.what;
        EXPECT_EQ(contentsOf(to), c.toAfter) << c.what;
    }
    errno = 0;
    EXPECT_EQ(osal_rename(nullptr, "x"), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(osal_rename("x", nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
}

// Where no target stands in the way, a failed rename reports what the
// runtime's own rename reports for the same call.
TEST(Files, RenameFailuresCarryTheRuntimesErrno)
{
    struct Case {
        const char *what;
        const char *to;
        bool makeFrom;
    };
    const Case cases[] = {
        {"missing source", "b", false},
        {"into a missing folder", "nofolder\\b", true},
        {"a name the file system refuses", "b<>|", true},
    };
    for (const Case &c : cases) {
        int expected[2] = {};
        for (int which = 0; which < 2; ++which) {
            kt::TempDir dir("kestle_files_renameerr_");
            ASSERT_TRUE(dir.made());
            std::string from = dir.file("a"), to = dir.file(c.to);
            if (c.makeFrom) {
                ASSERT_TRUE(kt::writeFile(from, "from a"));
            }
            errno = 0;
            int r = which == 0 ? rename(from.c_str(), to.c_str()) : osal_rename(from.c_str(), to.c_str());
            EXPECT_EQ(r, -1) << c.what << (which ? " (osal_rename)" : " (rename)");
            expected[which] = errno;
            EXPECT_EQ(contentsOf(from), c.makeFrom ? "from a" : "(missing)") << c.what;
        }
        EXPECT_EQ(expected[1], expected[0]) << c.what << ": osal_rename's errno, then the runtime's";
    }
}

// A target the runtime's rename could not remove (a read-only file, a
// folder) stays, and the failure says the target exists; without a source
// the failure says that instead.
TEST(Files, RenameKeepsATargetItCannotRemove)
{
    struct Case {
        const char *what;
        bool folder;
        bool makeFrom;
        int error;
    };
    const Case cases[] = {
        {"read-only file", false, true, EEXIST},
        {"folder", true, true, EEXIST},
        {"read-only file, no source", false, false, ENOENT},
    };
    for (const Case &c : cases) {
        kt::TempDir dir("kestle_files_renamekeep_");
        ASSERT_TRUE(dir.made());
        std::string from = dir.file("a"), to = dir.file("b");
        if (c.makeFrom) {
            ASSERT_TRUE(kt::writeFile(from, "from a"));
        }
        if (c.folder) {
            ASSERT_TRUE(CreateDirectoryA(to.c_str(), nullptr));
        } else {
            ASSERT_TRUE(kt::writeFile(to, "in b"));
            ASSERT_TRUE(SetFileAttributesA(to.c_str(), FILE_ATTRIBUTE_READONLY));
        }
        errno = 0;
        EXPECT_EQ(osal_rename(from.c_str(), to.c_str()), -1) << c.what;
        EXPECT_EQ(errno, c.error) << c.what;
        EXPECT_EQ(contentsOf(from), c.makeFrom ? "from a" : "(missing)") << c.what;
        DWORD attributes = GetFileAttributesA(to.c_str());
        if (c.folder) {
            EXPECT_NE(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u) << c.what;
            RemoveDirectoryA(to.c_str());
        } else {
            EXPECT_EQ(contentsOf(to), "in b") << c.what;
            SetFileAttributesA(to.c_str(), FILE_ATTRIBUTE_NORMAL);
        }
    }
}

// The runtime's rename moves a file to another volume; so does this one.
TEST(Files, RenameMovesAFileToAnotherVolume)
{
    // The host's memory file system lies on a device of its own.
    const std::string other = "Z:\\dev\\shm";
    DWORD attributes = GetFileAttributesA(other.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        GTEST_SKIP() << "no second volume at " << other;
    kt::TempDir dir("kestle_files_renamevol_");
    ASSERT_TRUE(dir.made());
    std::string from = dir.file("a");
    std::string to = other + "\\kestle_rename_" + std::to_string(GetCurrentProcessId());
    ASSERT_TRUE(kt::writeFile(from, "from a"));
    if (MoveFileExA(from.c_str(), to.c_str(), 0) || GetLastError() != ERROR_NOT_SAME_DEVICE) {
        DeleteFileA(to.c_str());
        GTEST_SKIP() << other << " is on the same volume here";
    }
    for (bool targetThere : {false, true}) {
        ASSERT_TRUE(kt::writeFile(from, "from a"));
        if (targetThere) {
            ASSERT_TRUE(kt::writeFile(to, "old"));
        }
        errno = 0;
        EXPECT_EQ(osal_rename(from.c_str(), to.c_str()), 0) << "errno " << errno;
        EXPECT_EQ(contentsOf(from), "(missing)");
        EXPECT_EQ(contentsOf(to), "from a");
        DeleteFileA(to.c_str());
    }
}

// Owner and group as a fresh process reports them, then after the guest set
// them (cut to the runtime's 16-bit fields).
KT_ROLE(stat_owner)
{
    const std::string &path = args.at(0);
    struct _stat64 st;
    memset(&st, 0x5a, sizeof st);
    int r = osal_stat(path.c_str(), &st);
    printf("fresh=%d uid=%d gid=%d size=%lld\n", r, st.st_uid, st.st_gid, static_cast<long long>(st.st_size));
    osal_setuid(1000);
    osal_setgid(70000);
    memset(&st, 0x5a, sizeof st);
    r = osal_stat(path.c_str(), &st);
    printf("set=%d uid=%d gid=%d\n", r, st.st_uid, st.st_gid);
    printf("end\n");
    return 0;
}

TEST(Files, StatReportsTheGuestOwner)
{
    kt::TempDir dir("kestle_files_stat_");
    ASSERT_TRUE(dir.made());
    ASSERT_TRUE(kt::writeFile(dir.file("f"), "twelve bytes"));
    std::string out;
    ASSERT_TRUE(kt::runReport("stat_owner", {dir.file("f")}, nullptr, &out));
    EXPECT_EQ(out, "fresh=0 uid=0 gid=0 size=12\nset=0 uid=1000 gid=4464\nend\n");
}

TEST(Files, StatFailuresAreTheRuntimes)
{
    kt::TempDir dir("kestle_files_statfail_");
    ASSERT_TRUE(dir.made());
    struct _stat64 st;
    errno = 0;
    EXPECT_EQ(osal_stat(dir.file("missing").c_str(), &st), -1);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(osal_stat(nullptr, &st), -1);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(osal_stat(dir.path().c_str(), nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
}


// ---- the temporary file under the root ----

// The access a handle was granted, from the object manager.
ACCESS_MASK grantedAccess(HANDLE h)
{
    struct BasicInformation {
        ULONG attributes;
        ACCESS_MASK grantedAccess;
        ULONG handleCount;
        ULONG pointerCount;
        ULONG reserved[10];
    } info = {};
    using QueryObject = LONG(NTAPI *)(HANDLE, int, void *, ULONG, ULONG *);
    auto query = reinterpret_cast<QueryObject>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryObject")));
    if (!query || query(h, 0, &info, sizeof info, nullptr) != 0)
        return 0;
    return info.grantedAccess;
}

HANDLE WINAPI refusingCreateFile(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
}

// Opens the file for reading only, so it cannot be given its length.
HANDLE WINAPI readOnlyCreateFile(LPCSTR name, DWORD, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                                 DWORD flags, HANDLE templateFile)
{
    return CreateFileA(name, GENERIC_READ | DELETE, share, sa, disposition, flags, templateFile);
}

// args: scenario, the Windows path of the tmp folder. Prints what it saw.
KT_ROLE(tempfile)
{
    const std::string &scenario = args.at(0);
    const std::string &tmp = args.at(1);
    const char *prefix = "abcdef";
    unsigned size = 4096;
    int exec = 0;
    std::vector<int> dups;
    if (scenario == "exec")
        exec = 1;
    else if (scenario == "size0")
        size = 0;
    else if (scenario == "nullprefix")
        prefix = nullptr;
    else if (scenario == "createfail")
        kestle::files::setCreateFile(refusingCreateFile);
    else if (scenario == "readonly")
        kestle::files::setCreateFile(readOnlyCreateFile);
    else if (scenario == "fdfull") {
        // Fill the runtime's descriptor table so the last step cannot succeed.
        for (int i = 0; i < 10000; ++i) {
            int d = _dup(0);
            if (d < 0)
                break;
            dups.push_back(d);
        }
        printf("filled=%d\n", static_cast<int>(dups.size()));
    }
    int fd = osal_openTempFile(prefix, size, exec);
    for (int d : dups)
        _close(d);
    printf("fd_ok=%d\n", fd >= 0);
    if (fd >= 0) {
        std::vector<std::string> names = listFolder(tmp);
        printf("while_open=%s\n", joined(names).c_str());
        if (names.size() == 1) {
            HANDLE other = CreateFileA((tmp + "\\" + names[0]).c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                       OPEN_EXISTING, 0, nullptr);
            printf("shared=%d\n", other != INVALID_HANDLE_VALUE);
            if (other != INVALID_HANDLE_VALUE)
                CloseHandle(other);
        }
        HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
        printf("execute_access=%d\n", (grantedAccess(h) & FILE_EXECUTE) != 0);
        printf("size=%lld position=%lld\n", static_cast<long long>(_filelengthi64(fd)),
               static_cast<long long>(_telli64(fd)));
        std::vector<char> buf(size + 100, 'x');
        int got = osal_read(fd, buf.data(), static_cast<int>(buf.size()));
        int zeros = 0;
        for (int i = 0; i < got; ++i)
            zeros += buf[static_cast<size_t>(i)] == 0;
        printf("read=%d zeros=%d\n", got, zeros);
        // Every write goes to the end, wherever the read position is.
        _lseek(fd, 0, SEEK_SET);
        int wrote = osal_write(fd, "xyz", 3);
        char first = 'x';
        _lseek(fd, 0, SEEK_SET);
        _read(fd, &first, 1);
        char tail[4] = {};
        _lseeki64(fd, size, SEEK_SET);
        _read(fd, tail, 3);
        printf("wrote=%d length=%lld first=%d tail=%s\n", wrote, static_cast<long long>(_filelengthi64(fd)), first,
               tail);
        printf("close=%d\n", osal_close(fd));
    }
    printf("after=%s\n", joined(listFolder(tmp)).c_str());
    printf("end\n");
    return 0;
}

kt::Report runTempFile(const std::string &scenario, const std::string &rootValue, const std::string &tmp)
{
    kt::EnvChanges env;
    env.set.emplace_back("VANTRELL_ROOT", rootValue);
    env.unset.push_back("ROOT_VANTRELL_ROOT");
    std::string out;
    EXPECT_TRUE(kt::runReport("tempfile", {scenario, tmp}, &env, &out)) << scenario;
    return kt::parseReport(out, kt::Pairs::PerWord);
}

TEST(TempFile, IsAnUnsharedFileOfTheSizeAskedThatGoesAwayOnClose)
{
    struct Case {
        const char *scenario;
        const char *execute;
        const char *length; // before the write
        const char *read;
        const char *lengthAfterWrite;
        const char *first; // the byte at offset 0 after the write
    };
    const Case cases[] = {
        {"basic", "0", "4096", "4096", "4099", "0"},
        {"exec", "1", "4096", "4096", "4099", "0"},
        {"size0", "0", "0", "0", "3", "120"},
    };
    for (const Case &c : cases) {
        kt::TestRoot root("tmproot");
        ASSERT_TRUE(root.made() && root.makeDir("/tmp"));
        auto r = runTempFile(c.scenario, root.envValue(), root.path("/tmp"));
        std::string name = r["while_open"];
        EXPECT_EQ(r["fd_ok"], "1") << c.scenario;
        EXPECT_TRUE(name.size() > 7 && name.compare(0, 3, "abc") == 0 && name.find(',') == std::string::npos &&
                    name.compare(name.size() - 4, 4, ".tmp") == 0)
            << c.scenario << ": one file named from the prefix, got " << name;
        EXPECT_EQ(r["shared"], "0") << c.scenario << ": nobody else may open it";
        EXPECT_EQ(r["execute_access"], c.execute) << c.scenario;
        EXPECT_EQ(r["size"], c.length) << c.scenario;
        EXPECT_EQ(r["position"], "0") << c.scenario;
        EXPECT_EQ(r["read"], c.read) << c.scenario;
        EXPECT_EQ(r["zeros"], c.read) << c.scenario << ": the file holds zeros";
        EXPECT_EQ(r["wrote"], "3") << c.scenario;
        EXPECT_EQ(r["length"], c.lengthAfterWrite) << c.scenario << ": the write goes to the end";
        EXPECT_EQ(r["first"], c.first) << c.scenario;
        EXPECT_EQ(r["tail"], "xyz") << c.scenario;
        EXPECT_EQ(r["close"], "0") << c.scenario;
        EXPECT_EQ(r["after"], "") << c.scenario << ": left in tmp after close";
        EXPECT_EQ(joined(listFolder(root.path("/tmp"))), "") << c.scenario;
    }
}

// Every failure gives -1 and leaves nothing in the tmp folder.
TEST(TempFile, FailuresLeaveNothingBehind)
{
    struct Case {
        const char *scenario;
        bool withTmp;
    };
    const Case cases[] = {
        {"basic", false},     // the tmp folder does not exist
        {"createfail", true}, // the open after naming fails: the empty file goes too
        {"readonly", true},   // the file cannot be given its length
        {"fdfull", true},     // no runtime descriptor is free
    };
    for (const Case &c : cases) {
        kt::TestRoot root("tmproot");
        ASSERT_TRUE(root.made() && (!c.withTmp || root.makeDir("/tmp")));
        auto r = runTempFile(c.scenario, root.envValue(), root.path("/tmp"));
        EXPECT_EQ(r["fd_ok"], "0") << c.scenario;
        EXPECT_EQ(r["after"], c.withTmp ? "" : "(no-folder)") << c.scenario;
        EXPECT_EQ(joined(listFolder(root.path("/tmp"))), c.withTmp ? "" : "(no-folder)") << c.scenario;
        if (std::string(c.scenario) == "fdfull") {
            EXPECT_GT(std::stoi(r["filled"]), 100) << "the descriptor table was not filled";
        }
    }
}

// No prefix is no error: the system names the file without one.
TEST(TempFile, ANullPrefixNamesTheFileWithoutOne)
{
    kt::TestRoot root("tmproot");
    ASSERT_TRUE(root.made() && root.makeDir("/tmp"));
    auto r = runTempFile("nullprefix", root.envValue(), root.path("/tmp"));
    EXPECT_EQ(r["fd_ok"], "1");
    std::string name = r["while_open"];
    EXPECT_TRUE(name.size() > 4 && name.find(',') == std::string::npos &&
                name.compare(name.size() - 4, 4, ".tmp") == 0)
        << "one file, got " << name;
    EXPECT_EQ(r["size"], "4096");
    EXPECT_EQ(r["close"], "0");
    EXPECT_EQ(r["after"], "");
}

// A root too long for "%s/tmp" gives -1. (Its cut form could not be used
// either: the system's own path limit refuses it.)
TEST(TempFile, OverlongRootIsRefused)
{
    std::string longRoot = "Z:/" + std::string(300, 'r');
    auto r = runTempFile("basic", longRoot, "Z:\\nonexistent_kestle_folder");
    EXPECT_EQ(r["fd_ok"], "0");
}

} // namespace
