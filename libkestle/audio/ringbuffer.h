// The byte ring between the guest's audio writer and the audio pump: 28 MiB
// of storage, a read and a write position, a critical section around the
// copies and position updates, and a semaphore with which a writer wakes the
// pump once a large backlog has built up. Equal positions mean empty, so the
// ring holds at most kSize - 1 bytes.
#pragma once

#include <cstdint>

#include "kestle.h"
#include "audio/usegate.h"

class RingBuffer {
public:
    static constexpr int32_t kSize = 0x1C00000;
    // A write that leaves more than this pending wakes the reader.
    static constexpr int32_t kWakeBacklog = 0x9FFFFF;

    RingBuffer();
    // Releases the storage unless a thread is still copying in or out of it
    // (a guest writer or the pump at shutdown): then the storage stays for
    // the little that is left of the process. Later calls copy nothing.
    ~RingBuffer();
    RingBuffer(const RingBuffer &) = delete;
    RingBuffer &operator=(const RingBuffer &) = delete;

    // False when the storage or the semaphore could not be made; such a ring
    // holds nothing and refuses every write.
    bool isValid() const { return mData && mSemaphore; }

    // Stores all len bytes and returns len, or returns 0 and stores nothing
    // when they do not fit (len >= freeBytes()), and also for a negative
    // len, a null data with len > 0, or a ring without storage: a caller that
    // adds the result to its offset never goes backwards.
    int write(const void *data, int len);
    // Moves min(len, usedBytes()) bytes into buf and returns that count;
    // never waits. 0 for a negative len or a null buf.
    int read(void *buf, int len);
    // Pending bytes, 0 .. kSize - 1.
    int usedBytes() const;
    // Free bytes, 1 .. kSize (0 for a ring without storage).
    int freeBytes() const;

    void lock();
    void unlock();
    // Takes one wake-up or times out: osal_WaitForSingleObject's result.
    int wait(int milliseconds);
    // Adds one wake-up: osal_ReleaseSemaphore's result.
    int signal();

private:
    static int32_t pending(int32_t writePos, int32_t readPos);
    int32_t loadRead() const { return __atomic_load_n(&mReadPos, __ATOMIC_ACQUIRE); }
    int32_t loadWrite() const { return __atomic_load_n(&mWritePos, __ATOMIC_ACQUIRE); }

    unsigned char *mData = nullptr;
    int32_t mReadPos = 0;
    int32_t mWritePos = 0;
    CRITICAL_SECTION mLock;
    HANDLE mSemaphore = nullptr;
    // Around every copy: the destructor frees the storage only when no copy
    // is under way, and no copy starts after it.
    UseGate mCopies;
};
