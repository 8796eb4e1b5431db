#pragma once
// A critical section owned by an object, to make a few of its operations indivisible. The
// owning thread may take it again while holding it; each Lock is paired with one Unlock.

#include "platform/kernel/sync.h"

class CLock {
public:
    CLock() { InitializeCriticalSection(&section_); }
    ~CLock() { DeleteCriticalSection(&section_); }
    CLock(const CLock&) = delete;
    CLock& operator=(const CLock&) = delete;

    int Lock() {
        EnterCriticalSection(&section_);
        return 1;
    }
    int Unlock() {
        LeaveCriticalSection(&section_);
        return 1;
    }

private:
    CRITICAL_SECTION section_;
};

// Holds a CLock for the rest of a scope.
class CLockHolder {
public:
    explicit CLockHolder(CLock& lock) : lock_(lock) { lock_.Lock(); }
    ~CLockHolder() { lock_.Unlock(); }
    CLockHolder(const CLockHolder&) = delete;
    CLockHolder& operator=(const CLockHolder&) = delete;

private:
    CLock& lock_;
};
