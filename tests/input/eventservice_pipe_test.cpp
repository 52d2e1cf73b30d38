// The input pipe with real processes on both sides: the host's event service
// and its thread in one, a reader in another.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "gate.h"
#include "input_records.h"
#include "input/eventservice.h"
#include "roles.h"

namespace {

using kt::keyLParam;
using kt::startEventThread;

// One record as a line: its fields, and whether the time and reserved words are 0.
std::string describe(const InputEvent &e) { return kt::receivedLine(e) + "\n"; }

std::string expectLine(unsigned type, unsigned code, int value, int device)
{
    return kt::recordLine(type, code, value, device) + "\n";
}

const std::string kSync = expectLine(0, 0, 0, 1);

// Reads n records one at a time on a thread of its own; what arrived within
// the time limit (a reader still blocked then is left behind).
std::vector<InputEvent> readWithin(OSALEventService *service, int n, DWORD ms)
{
    struct Shared {
        std::mutex lock;
        std::vector<InputEvent> got;
    };
    auto shared = std::make_shared<Shared>();
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread([service, n, shared, done] {
        for (int i = 0; i < n; ++i) {
            InputEvent e;
            memset(&e, 0xEE, sizeof e);
            service->readRecords(&e, 1);
            std::lock_guard<std::mutex> hold(shared->lock);
            shared->got.push_back(e);
        }
        SetEvent(done);
    }).detach();
    WaitForSingleObject(done, ms);
    std::lock_guard<std::mutex> hold(shared->lock);
    return shared->got;
}

// Reads the records one by one and prints each as it comes: "connected"
// once the pipe is open, then one line per record, then "done".
KT_ROLE(reader)
{
    int n = std::stoi(args.at(0));
    OSALEventService *service = OSALEventService::getInstance();
    service->connectClient();
    printf("connected\n");
    fflush(stdout);
    for (int i = 0; i < n; ++i) {
        InputEvent e;
        memset(&e, 0xEE, sizeof e);
        service->readRecords(&e, 1);
        printf("%s", describe(e).c_str());
        fflush(stdout);
    }
    printf("done\n");
    return 0;
}

TEST(InputPipe, ReaderGetsTheSyncRecordThenEverythingQueuedInOrder)
{
    OSALEventService *service = OSALEventService::getInstance();
    ASSERT_NE(service, nullptr);
    // Input made before there is any reader (and before the thread runs).
    service->push(WM_KEYDOWN, 0, keyLParam(30));
    service->push(WM_KEYUP, 0, keyLParam(30));
    service->push(WM_TOUCH_X, 0, 512);
    ASSERT_TRUE(startEventThread());
    service->push(WM_GUEST_KEY, 330, 1);

    kt::Child reader;
    ASSERT_TRUE(reader.startRole("reader", {"7"}));
    ASSERT_TRUE(reader.waitOut("connected\n")) << reader.out();
    // And input made once the reader is there.
    service->push(WM_LBUTTONDOWN, 0, 0);
    service->push(999, 0, 0);
    DWORD code = 1;
    ASSERT_TRUE(reader.finish(30000, &code)) << reader.out();
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(reader.out(), "connected\n" + kSync + expectLine(1, 30, 1, 0) + expectLine(1, 30, 0, 0) +
                                expectLine(3, 0, 512, 1) + expectLine(1, 330, 1, 1) + expectLine(1, 330, 1, 1) +
                                kSync + "done\n");
}

// Tries to connect before the pipe exists, then reports how often it tried.
KT_ROLE(earlyReader)
{
    OSALEventService *service = OSALEventService::getInstance();
    printf("trying\n");
    fflush(stdout);
    DWORD start = GetTickCount();
    service->connectClient();
    DWORD ms = GetTickCount() - start;
    InputEvent e;
    service->readRecords(&e, 1);
    printf("attempts=%ld ms=%lu\n%s", service->connectAttempts(), ms, describe(e).c_str());
    return 0;
}

TEST(InputPipe, AReaderThatStartsFirstWaitsCalmlyUntilThePipeExists)
{
    kt::Child reader;
    ASSERT_TRUE(reader.startRole("earlyReader"));
    ASSERT_TRUE(reader.waitOut("trying\n")) << reader.out();
    // Give the reader time to find no pipe again and again; how long does not
    // matter for what is checked.
    Sleep(600);
    ASSERT_TRUE(startEventThread());
    DWORD code = 1;
    ASSERT_TRUE(reader.finish(30000, &code)) << reader.out();
    EXPECT_EQ(code, 0u);

    long attempts = -1;
    unsigned long ms = 0;
    std::string out = reader.out();
    ASSERT_EQ(sscanf(out.c_str(), "trying\nattempts=%ld ms=%lu", &attempts, &ms), 2) << out;
    EXPECT_GE(attempts, 2) << "the pipe was not there at first";
    // A loop without a pause tries many times per millisecond.
    EXPECT_LE(attempts, static_cast<long>(ms / 2 + 5)) << attempts << " attempts in " << ms << " ms";
    EXPECT_NE(out.find(kSync), std::string::npos) << out;
}

// One attempt to open the pipe, without waiting.
KT_ROLE(tryConnect)
{
    HANDLE h = osal_connectPipe(kInputPipeName);
    printf("failed=%d error=%lu\n", h == INVALID_HANDLE_VALUE || h == nullptr ? 1 : 0, GetLastError());
    return 0;
}

TEST(InputPipe, AfterTheReaderLeavesRecordsAreDroppedAndNoSecondReaderGetsIn)
{
    OSALEventService *service = OSALEventService::getInstance();
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(startEventThread());
    kt::Finished reader = kt::runRoleToEnd("reader", {"1"}, nullptr, 30000);
    ASSERT_TRUE(reader.ended) << reader.out;
    EXPECT_EQ(reader.out, "connected\n" + kSync + "done\n");
    for (int i = 0; i < 5; ++i)
        service->push(WM_GUEST_KEY, 102, 1);
    // The thread goes on taking records although every write now fails.
    DWORD start = GetTickCount();
    while (service->pending() != 0 && GetTickCount() - start < 30000)
        Sleep(10);
    EXPECT_EQ(service->pending(), 0u) << "records left in the queue";

    DWORD code = 1;
    std::string out = kt::runToEnd(kt::selfPath(), {"--role", "tryConnect"}, &code);
    EXPECT_EQ(out, "failed=1 error=231\n") << "ERROR_PIPE_BUSY: the one instance is used up";
}

// Waits until 47 bytes are in the pipe and reports them as records.
KT_ROLE(countWhole)
{
    OSALEventService *service = OSALEventService::getInstance();
    HANDLE h = service->connectClient();
    DWORD start = GetTickCount();
    while (osal_peekPipe(h) < 47 && GetTickCount() - start < 30000)
        Sleep(5);
    printf("bytes=%u records=%u\n", osal_peekPipe(h), service->countRecords());
    return 0;
}

TEST(InputPipe, FortySevenWaitingBytesAreOneRecord)
{
    HANDLE server = osal_createPipe(kInputPipeName);
    ASSERT_NE(server, nullptr);
    kt::Child reader;
    ASSERT_TRUE(reader.startRole("countWhole"));
    BOOL connected = osal_waitPipeClient(server) || GetLastError() == ERROR_PIPE_CONNECTED;
    ASSERT_TRUE(connected);
    // The write waits until the reader takes the bytes, which it never does.
    std::thread writer([server] {
        char bytes[47] = {};
        osal_writePipe(server, bytes, sizeof bytes);
    });
    DWORD code = 1;
    ASSERT_TRUE(reader.finish(30000, &code)) << reader.out();
    EXPECT_EQ(reader.out(), "bytes=47 records=1\n");
    osal_closePipe(server);
    writer.join();
}

TEST(InputPipe, AProcessThatIsHostAndReaderKeepsBothEnds)
{
    OSALEventService *service = OSALEventService::getInstance();
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(startEventThread());
    service->push(WM_GUEST_KEY, 102, 1);

    std::vector<InputEvent> first = readWithin(service, 2, 30000);
    service->push(WM_GUEST_KEY, 103, 0);
    std::vector<InputEvent> second = readWithin(service, 1, 30000);
    std::string got;
    for (const auto &e : first)
        got += describe(e);
    for (const auto &e : second)
        got += describe(e);
    EXPECT_EQ(got, kSync + expectLine(1, 102, 1, 0) + expectLine(1, 103, 0, 0));
}

// A fresh host whose first pushes race the event-service thread's start.
KT_ROLE(racingHost)
{
    constexpr int kThreads = 8, kEach = 10;
    // The event-service thread serves for the rest of the process.
    kt::StartGate gate(kThreads + 1);
    std::thread([&gate] {
        gate.wait();
        eventServiceThread(nullptr);
    }).detach();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            gate.wait();
            for (int i = 0; i < kEach; ++i)
                OSALEventService::getInstance()->push(WM_GUEST_KEY, 1000 + t * kEach + i, 1);
        });
    gate.open();
    for (auto &t : threads)
        t.join();
    printf("pushed\n");
    fflush(stdout);
    // Serve until the test is done.
    char c;
    fread(&c, 1, 1, stdin);
    _exit(0);
}

TEST(InputPipe, FirstPushesRacingTheThreadsStartAllReachTheReader)
{
    kt::Child host;
    ASSERT_TRUE(host.startRole("racingHost"));
    ASSERT_TRUE(host.waitOut("pushed\n")) << host.out();

    constexpr int kTotal = 1 + 80;
    // The pipe holds one record at a time (the writer waits for the reader),
    // so read them one by one.
    std::vector<InputEvent> records = readWithin(OSALEventService::getInstance(), kTotal, 30000);
    ASSERT_EQ(records.size(), static_cast<size_t>(kTotal)) << "records that reached the reader";
    EXPECT_EQ(describe(records[0]), kSync) << "the one initial record comes first";
    std::vector<int> next(8, 0);
    for (int i = 1; i < kTotal; ++i) {
        int key = records[i].code - 1000;
        ASSERT_TRUE(records[i].type == 1 && key >= 0 && key < 80) << "record " << i << ": " << describe(records[i]);
        int t = key / 10;
        EXPECT_EQ(key % 10, next[t]++) << "thread " << t << "'s records out of order";
    }
    host.closeStdin();
    host.wait(30000);
}

} // namespace
