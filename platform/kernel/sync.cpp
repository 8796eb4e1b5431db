#include "platform/kernel/sync.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/com/hresult.h"
#include "platform/kernel/last_error.h"

namespace {

// One lock guards every object's signal state and waiter list: a multi-object wait must see and
// consume the states of all its objects at one instant.
std::mutex g_waitLock;

struct Waiter {
    std::condition_variable wake;
};

struct KernelObject {
    bool manualReset = true;
    bool signalled = false;
    std::vector<Waiter*> waiters;  // guarded by g_waitLock

    void Signal() {
        signalled = true;
        for (Waiter* w : waiters) w->wake.notify_one();
    }
};

using ObjectRef = std::shared_ptr<KernelObject>;

class HandleTable {
public:
    HANDLE Insert(ObjectRef object) {
        std::lock_guard lock(mutex_);
        std::uintptr_t value = next_;
        next_ += 4;
        objects_.emplace(value, std::move(object));
        return reinterpret_cast<HANDLE>(value);
    }
    ObjectRef Find(HANDLE handle) {
        std::lock_guard lock(mutex_);
        auto it = objects_.find(reinterpret_cast<std::uintptr_t>(handle));
        return it == objects_.end() ? nullptr : it->second;
    }
    bool Remove(HANDLE handle) {
        std::lock_guard lock(mutex_);
        return objects_.erase(reinterpret_cast<std::uintptr_t>(handle)) == 1;
    }

private:
    std::mutex mutex_;
    std::uintptr_t next_ = 0x1000;
    std::unordered_map<std::uintptr_t, ObjectRef> objects_;
};

HandleTable& Handles() {
    static HandleTable* table = new HandleTable;  // lives as long as the process
    return *table;
}

ObjectRef FindOrFail(HANDLE handle) {
    ObjectRef object = Handles().Find(handle);
    if (!object) SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

HANDLE NewEvent(BOOL manualReset, BOOL initialState) {
    auto object = std::make_shared<KernelObject>();
    object->manualReset = manualReset != FALSE;
    object->signalled = initialState != FALSE;
    return Handles().Insert(std::move(object));
}

// Under g_waitLock: whether the wait is satisfied, consuming auto-reset states if so.
bool TrySatisfy(const std::vector<ObjectRef>& objects, bool waitAll, DWORD& result) {
    auto consume = [](KernelObject& o) {
        if (!o.manualReset) o.signalled = false;
    };
    if (waitAll) {
        if (!std::all_of(objects.begin(), objects.end(), [](auto& o) { return o->signalled; }))
            return false;
        for (auto& o : objects) consume(*o);
        result = WAIT_OBJECT_0;
        return true;
    }
    for (std::size_t i = 0; i < objects.size(); ++i) {
        if (objects[i]->signalled) {
            consume(*objects[i]);
            result = WAIT_OBJECT_0 + static_cast<DWORD>(i);
            return true;
        }
    }
    return false;
}

DWORD Wait(const std::vector<ObjectRef>& objects, bool waitAll, DWORD milliseconds) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    std::unique_lock lock(g_waitLock);
    DWORD result = WAIT_TIMEOUT;
    if (TrySatisfy(objects, waitAll, result) || milliseconds == 0) return result;

    Waiter self;
    for (auto& o : objects) o->waiters.push_back(&self);
    bool satisfied = false;
    while (!(satisfied = TrySatisfy(objects, waitAll, result))) {
        if (milliseconds == INFINITE) {
            self.wake.wait(lock);
        } else if (self.wake.wait_until(lock, deadline) == std::cv_status::timeout) {
            satisfied = TrySatisfy(objects, waitAll, result);
            break;
        }
    }
    for (auto& o : objects) std::erase(o->waiters, &self);
    return satisfied ? result : WAIT_TIMEOUT;
}

}  // namespace

HANDLE CreateEventW(SECURITY_ATTRIBUTES*, BOOL manualReset, BOOL initialState, LPCWSTR name) {
    if (name && *name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return NewEvent(manualReset, initialState);
}

HANDLE CreateEventA(SECURITY_ATTRIBUTES*, BOOL manualReset, BOOL initialState, LPCSTR name) {
    if (name && *name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return NewEvent(manualReset, initialState);
}

BOOL SetEvent(HANDLE event) {
    ObjectRef object = FindOrFail(event);
    if (!object) return FALSE;
    std::lock_guard lock(g_waitLock);
    object->Signal();
    return TRUE;
}

BOOL ResetEvent(HANDLE event) {
    ObjectRef object = FindOrFail(event);
    if (!object) return FALSE;
    std::lock_guard lock(g_waitLock);
    object->signalled = false;
    return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
    if (Handles().Remove(handle)) return TRUE;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

BOOL DuplicateHandle(HANDLE source, HANDLE* target) {
    ObjectRef object = FindOrFail(source);
    if (!object || !target) return FALSE;
    *target = Handles().Insert(std::move(object));
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                             DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<ObjectRef> objects;
    for (DWORD i = 0; i < count; ++i) {
        ObjectRef object = FindOrFail(handles[i]);
        if (!object) return WAIT_FAILED;
        if (waitAll && std::find(objects.begin(), objects.end(), object) != objects.end()) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return WAIT_FAILED;
        }
        objects.push_back(std::move(object));
    }
    return Wait(objects, waitAll != FALSE, milliseconds);
}

void Sleep(DWORD milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DWORD GetCurrentThreadId() {
    static std::atomic<DWORD> next{1};
    thread_local DWORD id = next.fetch_add(1);
    return id;
}

DWORD GetTickCount() {
    using namespace std::chrono;
    return static_cast<DWORD>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void InitializeCriticalSection(CRITICAL_SECTION*) {}
void DeleteCriticalSection(CRITICAL_SECTION*) {}
void EnterCriticalSection(CRITICAL_SECTION* section) { section->mutex.lock(); }
void LeaveCriticalSection(CRITICAL_SECTION* section) { section->mutex.unlock(); }
BOOL TryEnterCriticalSection(CRITICAL_SECTION* section) {
    return section->mutex.try_lock() ? TRUE : FALSE;
}

namespace platform {

Event::Event(bool manualReset, bool initialState)
    : handle_(CreateEventW(nullptr, manualReset, initialState, nullptr)) {}

Event::~Event() { CloseHandle(handle_); }

bool Event::Wait(DWORD milliseconds) const {
    return WaitForSingleObject(handle_, milliseconds) == WAIT_OBJECT_0;
}

}  // namespace platform
