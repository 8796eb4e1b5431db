#pragma once
// Reference-counted objects that can be aggregated, and the filter locks.

#include <atomic>
#include <mutex>

#include "platform/media/interfaces.h"

// The object's own identity: reference counting and interface lookup that never forward to an
// outer object.
struct INonDelegatingUnknown {
    virtual HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** object) = 0;
    virtual ULONG STDMETHODCALLTYPE NonDelegatingAddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE NonDelegatingRelease() = 0;

protected:
    ~INonDelegatingUnknown() = default;
};

// Base of every object of the runtime. Standalone, its interfaces forward to its own counting;
// aggregated, to the outer object's. The object deletes itself when its count reaches 0.
class CUnknown : public INonDelegatingUnknown {
public:
    CUnknown(const char* name, IUnknown* outer);
    virtual ~CUnknown();
    CUnknown(const CUnknown&) = delete;
    CUnknown& operator=(const CUnknown&) = delete;

    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE NonDelegatingAddRef() override;
    ULONG STDMETHODCALLTYPE NonDelegatingRelease() override;

    // The IUnknown that counts for this object: the outer one when aggregated.
    IUnknown* GetOwner() const { return owner_; }
    // Number of objects alive in the process.
    static long ObjectCount();

protected:
    std::atomic<LONG> m_cRef{0};

private:
    // An IUnknown for an object that is not aggregated: forwards to the non-delegating side.
    class Inner final : public IUnknown {
    public:
        explicit Inner(CUnknown* self) : self_(self) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
            return self_->NonDelegatingQueryInterface(iid, object);
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return self_->NonDelegatingAddRef(); }
        ULONG STDMETHODCALLTYPE Release() override { return self_->NonDelegatingRelease(); }

    private:
        CUnknown* self_;
    };

    Inner inner_{this};
    IUnknown* owner_;
};

// Hands out an interface pointer with one reference added.
HRESULT GetInterface(IUnknown* unknown, void** object);

// The IUnknown methods of a class that derives from CUnknown and from interfaces.
#define DECLARE_IUNKNOWN                                                                \
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {      \
        return GetOwner()->QueryInterface(iid, object);                                 \
    }                                                                                   \
    ULONG STDMETHODCALLTYPE AddRef() override { return GetOwner()->AddRef(); }          \
    ULONG STDMETHODCALLTYPE Release() override { return GetOwner()->Release(); }

// A recursive lock, as the filters' state and streaming locks are.
class CCritSec {
public:
    CCritSec() = default;
    CCritSec(const CCritSec&) = delete;
    CCritSec& operator=(const CCritSec&) = delete;
    void Lock() { mutex_.lock(); }
    void Unlock() { mutex_.unlock(); }

private:
    std::recursive_mutex mutex_;
};

class CAutoLock {
public:
    explicit CAutoLock(CCritSec* lock) : lock_(lock) { lock_->Lock(); }
    ~CAutoLock() { lock_->Unlock(); }
    CAutoLock(const CAutoLock&) = delete;
    CAutoLock& operator=(const CAutoLock&) = delete;

private:
    CCritSec* lock_;
};

// Converts between narrow (system code page) and the platform's wide strings.
std::u16string WideFromNarrow(const char* text);
// Copies a wide string into a fixed array, cutting at capacity - 1; answers false when cut.
bool CopyWide(WCHAR* target, std::size_t capacity, const std::u16string& text);
