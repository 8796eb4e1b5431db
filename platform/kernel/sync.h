#pragma once
// Kernel objects: events and waits on them, with the platform's handle semantics. A handle is a
// number from a process-wide table, so a stale or bogus handle is refused, never dereferenced.

#include <mutex>

#include "platform/com/hresult.h"
#include "platform/kernel/last_error.h"

using HANDLE = void*;
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

inline constexpr DWORD INFINITE = 0xFFFFFFFF;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_ABANDONED_0 = 0x80;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
inline constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

struct SECURITY_ATTRIBUTES;

// Events carry no name here: a non-empty name is refused (ERROR_INVALID_PARAMETER).
HANDLE CreateEventW(SECURITY_ATTRIBUTES* attributes, BOOL manualReset, BOOL initialState,
                    LPCWSTR name);
HANDLE CreateEventA(SECURITY_ATTRIBUTES* attributes, BOOL manualReset, BOOL initialState,
                    LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
BOOL CloseHandle(HANDLE handle);
// Answers a new handle to the same object.
BOOL DuplicateHandle(HANDLE source, HANDLE* target);

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                             DWORD milliseconds);

void Sleep(DWORD milliseconds);
DWORD GetCurrentThreadId();
DWORD GetTickCount();

// Critical sections are recursive, as on the original platform.
struct CRITICAL_SECTION {
    std::recursive_mutex mutex;
};
void InitializeCriticalSection(CRITICAL_SECTION* section);
void DeleteCriticalSection(CRITICAL_SECTION* section);
void EnterCriticalSection(CRITICAL_SECTION* section);
void LeaveCriticalSection(CRITICAL_SECTION* section);
BOOL TryEnterCriticalSection(CRITICAL_SECTION* section);

namespace platform {

// Owns one event handle and closes it.
class Event {
public:
    explicit Event(bool manualReset, bool initialState = false);
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    HANDLE Handle() const { return handle_; }
    void Set() const { SetEvent(handle_); }
    void Reset() const { ResetEvent(handle_); }
    // True when the event was signalled within the time.
    bool Wait(DWORD milliseconds = INFINITE) const;

private:
    HANDLE handle_;
};

}  // namespace platform
