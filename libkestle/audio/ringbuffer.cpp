#include "audio/ringbuffer.h"

#include <cstring>
#include <new>

namespace {

// The semaphore only wakes the pump: it may count any number of writes.
constexpr LONG kSignalCountMax = 0x7FFFFFFF;

} // namespace

RingBuffer::RingBuffer()
{
    // No exception may leave the library: a ring without storage says so
    // through isValid() and refuses writes.
    mData = new (std::nothrow) unsigned char[kSize];
    InitializeCriticalSection(&mLock);
    mSemaphore = osal_CreateSemaphore(nullptr, 0, kSignalCountMax, nullptr);
}

RingBuffer::~RingBuffer()
{
    // The critical section and the semaphore stay: the pump thread, which may
    // outlive the ring at shutdown, can still be waiting on them until the
    // process ends. So does the storage while a copy is using it.
    if (mCopies.close()) {
        delete[] mData;
        mData = nullptr;
    }
}

int32_t RingBuffer::pending(int32_t writePos, int32_t readPos)
{
    int32_t used = writePos - readPos;
    return used < 0 ? used + kSize : used;
}

int RingBuffer::usedBytes() const
{
    return pending(loadWrite(), loadRead());
}

int RingBuffer::freeBytes() const
{
    if (!mData)
        return 0;
    return kSize - usedBytes();
}

int RingBuffer::write(const void *data, int len)
{
    if (len < 0 || (len > 0 && !data) || !mData)
        return 0;
    // The lock-free test: a write that cannot fit takes no lock at all.
    if (len >= freeBytes())
        return 0;
    if (!mCopies.enter())
        return 0;
    const auto *from = static_cast<const unsigned char *>(data);
    EnterCriticalSection(&mLock);
    int32_t w = mWritePos;
    // Again under the lock: a second writer that slipped past the first test
    // must not overwrite bytes still unread.
    if (len >= kSize - pending(w, loadRead())) {
        LeaveCriticalSection(&mLock);
        mCopies.leave();
        return 0;
    }
    int32_t tail = kSize - w;
    if (len < tail) {
        memcpy(mData + w, from, len);
        w += len;
    } else {
        memcpy(mData + w, from, tail);
        memcpy(mData, from + tail, len - tail);
        w = len - tail;
    }
    __atomic_store_n(&mWritePos, w, __ATOMIC_RELEASE);
    LeaveCriticalSection(&mLock);
    mCopies.leave();
    // Woken after the lock is free, so the reader never waits on it.
    if (usedBytes() > kWakeBacklog)
        signal();
    return len;
}

int RingBuffer::read(void *buf, int len)
{
    if (len <= 0 || !buf)
        return 0;
    int32_t n = usedBytes();
    if (n > len)
        n = len;
    if (n == 0 || !mCopies.enter())
        return 0;
    auto *to = static_cast<unsigned char *>(buf);
    EnterCriticalSection(&mLock);
    int32_t r = mReadPos;
    // A second reader may have taken some of what was counted.
    int32_t now = pending(loadWrite(), r);
    if (n > now)
        n = now;
    int32_t tail = kSize - r;
    if (n < tail) {
        memcpy(to, mData + r, n);
        r += n;
    } else {
        memcpy(to, mData + r, tail);
        memcpy(to + tail, mData, n - tail);
        r = n - tail;
    }
    __atomic_store_n(&mReadPos, r, __ATOMIC_RELEASE);
    LeaveCriticalSection(&mLock);
    mCopies.leave();
    return n;
}

void RingBuffer::lock()
{
    EnterCriticalSection(&mLock);
}

void RingBuffer::unlock()
{
    LeaveCriticalSection(&mLock);
}

int RingBuffer::wait(int milliseconds)
{
    return osal_WaitForSingleObject(mSemaphore, static_cast<unsigned>(milliseconds));
}

int RingBuffer::signal()
{
    return osal_ReleaseSemaphore(mSemaphore, 1, nullptr);
}
