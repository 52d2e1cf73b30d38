// The guest's side of the input pipe through the reader exports: a host (the
// library's own event service, or a bare pipe server) in one process, the
// reader in another.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "child.h"
#include "input_records.h"
#include "input/eventservice.h"
#include "kestle.h"
#include "roles.h"

namespace {

using kt::keyLParam;
using kt::startEventThread;

std::string describe(const InputEvent &e) { return kt::recordLine(e.type, e.code, e.value, e.device) + "\n"; }

bool untouched(const InputEvent &e)
{
    const unsigned char *raw = reinterpret_cast<const unsigned char *>(&e);
    for (size_t i = 0; i < sizeof e; ++i)
        if (raw[i] != 0xEE)
            return false;
    return true;
}

// The reader exports touch the window system, and under Wine the first
// process to do so starts the desktop process, which keeps that process's
// standard handles open for as long as this test program lives: a reader
// child that started it would never show the end of its output. Making sure
// the desktop is up before any child starts keeps the children out of that.
void ensureDesktop()
{
    ASSERT_NE(GetDesktopWindow(), nullptr);
}

// The usual guest loop: count, then read what is there, until `want` records
// have come; prints each record and what the calls returned.
KT_ROLE(guestLoop)
{
    int want = std::stoi(args.at(0));
    int got = 0;
    bool announced = false;
    DWORD start = GetTickCount();
    while (got < want && GetTickCount() - start < 60000) {
        int n = osal_input_getInputNumberN();
        if (!announced) {
            printf("connected\n");
            fflush(stdout);
            announced = true;
        }
        if (n <= 0) {
            Sleep(5);
            continue;
        }
        InputEvent buf[16];
        if (n > 16)
            n = 16;
        int rc = osal_input_getInputN(buf, n);
        if (rc != 0)
            printf("getInputN(%d) returned %d\n", n, rc);
        for (int i = 0; i < n; ++i)
            printf("%s", describe(buf[i]).c_str());
        fflush(stdout);
        got += n;
    }
    printf("done\n");
    return 0;
}

TEST(InputReader, TheUsualLoopGetsTheSyncRecordThenEveryRecordInOrder)
{
    ensureDesktop();
    OSALEventService *service = OSALEventService::getInstance();
    ASSERT_NE(service, nullptr);
    service->push(WM_KEYDOWN, 0, keyLParam(30));
    ASSERT_TRUE(startEventThread());
    kt::Child reader;
    ASSERT_TRUE(reader.startRole("guestLoop", {"5"}));
    ASSERT_TRUE(reader.waitOut("connected\n")) << reader.out();
    service->push(WM_KEYUP, 0, keyLParam(30));
    service->push(WM_GUEST_KEY, 330, 1);
    service->push(WM_TOUCH_Y, 0, 77);
    DWORD code = 1;
    ASSERT_TRUE(reader.finish(60000, &code)) << reader.out();
    EXPECT_EQ(reader.out(), "connected\nt=0 c=0 v=0 d=1\nt=1 c=30 v=1 d=0\nt=1 c=30 v=0 d=0\n"
                            "t=1 c=330 v=1 d=1\nt=3 c=1 v=77 d=1\ndone\n");
}

// Connects by reading no records, then waits (without blocking calls) for
// the host's first record.
KT_ROLE(readNone)
{
    InputEvent e;
    memset(&e, 0xEE, sizeof e);
    int rc = osal_input_getInputN(&e, 0);
    printf("rc=%d untouched=%d\n", rc, untouched(e) ? 1 : 0);
    fflush(stdout);
    int n = 0;
    DWORD start = GetTickCount();
    while ((n = osal_input_getInputNumberN()) == 0 && GetTickCount() - start < 60000)
        Sleep(5);
    printf("waiting=%d\n", n);
    return 0;
}

TEST(InputReader, ReadingNoRecordsStillConnects)
{
    ensureDesktop();
    OSALEventService *service = OSALEventService::getInstance();
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(startEventThread());
    DWORD code = 1;
    std::string out = kt::runToEnd(kt::selfPath(), {"--role", "readNone"}, &code);
    EXPECT_EQ(out, "rc=0 untouched=1\nwaiting=1\n") << "the sync record is waiting once connected";
}

// With no host at all: calls that are refused must not wait for one first.
KT_ROLE(badArgumentsWithoutHost)
{
    InputEvent e;
    memset(&e, 0xEE, sizeof e);
    const struct {
        InputEvent *buf;
        int n;
    } calls[] = {{nullptr, 1}, {&e, -1}, {nullptr, -1}, {&e, INT_MIN}, {&e, 0x7FFFFFFF}};
    for (const auto &c : calls)
        printf("rc=%d ", osal_input_getInputN(c.buf, c.n));
    OSALEventService *service = OSALEventService::getInstance();
    printf("untouched=%d attempts=%ld\n", untouched(e) ? 1 : 0, service ? service->connectAttempts() : -1L);
    return 0;
}

TEST(InputReader, BadArgumentsAreRefusedAtOnceWhenNoHostIsThere)
{
    ensureDesktop();
    DWORD code = 1;
    std::string out = kt::runToEnd(kt::selfPath(), {"--role", "badArgumentsWithoutHost"}, &code, nullptr, 60000);
    EXPECT_EQ(out, "rc=-1 rc=-1 rc=-1 rc=-1 rc=-1 untouched=1 attempts=0\n");
    EXPECT_EQ(code, 0u);
}

// A bare host: makes the pipe, waits for the reader, then on each line of
// its standard input: "w N" writes N bytes of a record pattern, "q" quits
// once the reader has taken them all.
KT_ROLE(bareHost)
{
    HANDLE server = osal_createPipe(kInputPipeName);
    if (!server)
        return 2;
    printf("listening\n");
    fflush(stdout);
    if (!osal_waitPipeClient(server) && GetLastError() != ERROR_PIPE_CONNECTED)
        return 3;
    printf("connected\n");
    fflush(stdout);
    char line[64];
    unsigned char next = 0;
    std::atomic<int> outstanding{0};
    while (fgets(line, sizeof line, stdin)) {
        int n = 0;
        if (sscanf(line, "w %d", &n) == 1) {
            // Record k carries code k+1 in a byte stream of whole records.
            unsigned char bytes[256] = {};
            for (int i = 0; i < n; ++i) {
                int rec = (next + i) / 24, at = (next + i) % 24;
                bytes[i] = at == 8 ? 1 : at == 10 ? static_cast<unsigned char>(rec + 1) : 0;
            }
            next = static_cast<unsigned char>(next + n);
            // Back in the main thread only once the reader took the bytes
            // (the pipe has no buffer), or at once if it never does.
            outstanding.fetch_add(1);
            std::thread([server, bytes, n, &outstanding]() mutable {
                osal_writePipe(server, bytes, n);
                outstanding.fetch_sub(1);
            }).detach();
            printf("wrote %d\n", n);
            fflush(stdout);
        } else if (line[0] == 'q') {
            // Goes only once the reader has taken everything written.
            DWORD start = GetTickCount();
            while (outstanding.load() != 0 && GetTickCount() - start < 30000)
                Sleep(5);
            break;
        }
    }
    _exit(0);
}

// Counts, waits for something to count, or reads, as told, and reports.
KT_ROLE(stepReader)
{
    // Connects first, so the host is ready for commands.
    osal_input_getInputN(nullptr, 0);
    char line[64];
    while (fgets(line, sizeof line, stdin)) {
        int n = 0;
        if (strncmp(line, "count", 5) == 0) {
            printf("count=%d\n", osal_input_getInputNumberN());
        } else if (strncmp(line, "wait", 4) == 0) {
            int got = 0;
            DWORD start = GetTickCount();
            while ((got = osal_input_getInputNumberN()) == 0 && GetTickCount() - start < 60000)
                Sleep(5);
            printf("count=%d\n", got);
        } else if (sscanf(line, "read %d", &n) == 1) {
            InputEvent buf[4];
            memset(buf, 0xEE, sizeof buf);
            int rc = osal_input_getInputN(buf, n);
            printf("rc=%d", rc);
            for (int i = 0; i < 4; ++i)
                printf(untouched(buf[i]) ? " -" : " t=%u,c=%u", buf[i].type, buf[i].code);
            printf("\n");
        } else if (sscanf(line, "bad %d", &n) == 1) {
            printf("rc=%d\n", osal_input_getInputN(nullptr, n));
        }
        fflush(stdout);
    }
    return 0;
}

struct BareHostReader : ::testing::Test {
    kt::Child host, reader;
    void SetUp() override
    {
        ensureDesktop();
        ASSERT_TRUE(host.startRole("bareHost"));
        ASSERT_TRUE(host.waitOut("listening\n")) << host.out();
        ASSERT_TRUE(reader.startRole("stepReader"));
        ASSERT_TRUE(host.waitOut("connected\n")) << host.out() << reader.out();
    }
    // Sends a command to one side and waits for the answer that follows.
    std::string ask(kt::Child &side, const std::string &command, const std::string &until)
    {
        size_t before = side.out().size();
        side.send(command + "\n");
        DWORD start = GetTickCount();
        std::string fresh;
        while ((fresh = side.out().substr(before)).find(until) == std::string::npos &&
               GetTickCount() - start < 60000)
            Sleep(5);
        EXPECT_NE(fresh.find(until), std::string::npos) << command << ": " << side.out();
        return fresh;
    }
    void TearDown() override
    {
        host.send("q\n");
        host.wait(30000);
        reader.closeStdin();
        reader.wait(30000);
    }
};

TEST_F(BareHostReader, FortySevenBytesCountAsOneRecordAndStayInThePipe)
{
    ask(host, "w 47", "wrote 47\n");
    EXPECT_EQ(ask(reader, "wait", "\n"), "count=1\n");
    EXPECT_EQ(ask(reader, "count", "\n"), "count=1\n") << "counting took nothing";
    ask(host, "w 1", "wrote 1\n");
    EXPECT_EQ(ask(reader, "read 2", "\n"), "rc=0 t=1,c=1 t=1,c=2 - -\n");
    EXPECT_EQ(ask(reader, "count", "\n"), "count=0\n");
}

TEST_F(BareHostReader, BadArgumentsAreRefusedWithoutReading)
{
    ask(host, "w 24", "wrote 24\n");
    EXPECT_EQ(ask(reader, "wait", "\n"), "count=1\n");
    EXPECT_EQ(ask(reader, "bad 1", "\n"), "rc=-1\n") << "NULL buffer for one record";
    EXPECT_EQ(ask(reader, "read -1", "\n"), "rc=-1 - - - -\n") << "negative count";
    EXPECT_EQ(ask(reader, "bad 0", "\n"), "rc=0\n") << "nothing into nowhere";
    EXPECT_EQ(ask(reader, "count", "\n"), "count=1\n") << "the record is still there";
    EXPECT_EQ(ask(reader, "read 1", "\n"), "rc=0 t=1,c=1 - - -\n");
}

TEST_F(BareHostReader, OnceTheHostHasGoneReadsFailAndCountsAreZero)
{
    ask(host, "w 24", "wrote 24\n");
    EXPECT_EQ(ask(reader, "wait", "\n"), "count=1\n");
    // The reader asks for three records; the host sends one more and goes.
    size_t before = reader.out().size();
    reader.send("read 3\n");
    ask(host, "w 24", "wrote 24\n");
    host.send("q\n");
    ASSERT_TRUE(host.wait(30000));
    DWORD start = GetTickCount();
    while (reader.out().substr(before).find('\n') == std::string::npos && GetTickCount() - start < 60000)
        Sleep(5);
    EXPECT_EQ(reader.out().substr(before), "rc=-1 t=1,c=1 t=1,c=2 - -\n")
        << "the two records that came are in buf, the rest is as it was";
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(ask(reader, "count", "\n"), "count=0\n") << "count " << i << " after the host left";
    EXPECT_EQ(ask(reader, "read 1", "\n"), "rc=-1 - - - -\n");
    EXPECT_EQ(ask(reader, "read 0", "\n"), "rc=0 - - - -\n");
}

} // namespace
