// The once-step behind every process-wide object of the library (the system
// object, each device object, the input event service, the connections made
// once per process): the first caller makes the object, every other caller -
// also one that arrives while the first is still constructing - gets that
// same object. An object is published only
// after its constructor has returned, and once it exists a lookup costs one
// pointer load.
#pragma once

#include <windows.h>

#include <new>
#include <type_traits>

template <class T>
class OnceSlot {
public:
    constexpr OnceSlot() = default;
    OnceSlot(const OnceSlot &) = delete;
    OnceSlot &operator=(const OnceSlot &) = delete;

    // The object, or null while none has been made.
    T *get() const { return __atomic_load_n(&mObject, __ATOMIC_ACQUIRE); }

    // The object, made by `make` (a callable returning a new T*, or null on
    // failure) if there is none yet. Callers that race here wait for the one
    // that makes it. When `make` fails (or throws), nothing is stored and the
    // next call tries again; null is returned meanwhile. `make` must not ask
    // this slot for its own object (that caller would wait for itself).
    template <class Make>
    T *getOrCreate(Make &&make)
    {
        if (T *object = get())
            return object;
        using Fn = std::remove_reference_t<Make>;
        Attempt<Fn> attempt{this, &make};
        InitOnceExecuteOnce(&mOnce, &OnceSlot::runMake<Fn>, &attempt, nullptr);
        return get();
    }

    // The same with a plain `new T()`.
    T *getOrCreate() { return getOrCreate(&OnceSlot::makeNew); }

    // For callers that have no failure to report and cannot go on without the
    // object: getOrCreate, asked again after every failure (pauseMs after
    // it) until an object is there.
    template <class Make>
    T &getOrCreateWaiting(DWORD pauseMs, Make &&make)
    {
        for (;;) {
            if (T *object = getOrCreate(make))
                return *object;
            Sleep(pauseMs);
        }
    }

    T &getOrCreateWaiting(DWORD pauseMs) { return getOrCreateWaiting(pauseMs, &OnceSlot::makeNew); }

private:
    static T *makeNew() { return new (std::nothrow) T(); }

    template <class Make>
    struct Attempt {
        OnceSlot *slot;
        Make *make;
    };

    template <class Make>
    static BOOL WINAPI runMake(PINIT_ONCE, PVOID param, PVOID *)
    {
        auto *attempt = static_cast<Attempt<Make> *>(param);
        T *object = nullptr;
        // Nothing may unwind through the system's once-step.
        try {
            object = (*attempt->make)();
        } catch (...) {
            object = nullptr;
        }
        if (!object)
            return FALSE;
        __atomic_store_n(&attempt->slot->mObject, object, __ATOMIC_RELEASE);
        return TRUE;
    }

    INIT_ONCE mOnce = INIT_ONCE_STATIC_INIT;
    T *mObject = nullptr;
};
