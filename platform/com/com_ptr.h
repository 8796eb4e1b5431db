#pragma once
// One owned reference to an interface.

#include <utility>

#include "platform/com/unknown.h"

namespace platform {

template <typename T>
class ComPtr {
  public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    // Takes a new reference of its own.
    explicit ComPtr(T* object) : object_(object) {
        if (object_) object_->AddRef();
    }
    ComPtr(const ComPtr& other) : ComPtr(other.object_) {}
    ComPtr(ComPtr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    ~ComPtr() { Reset(); }

    ComPtr& operator=(const ComPtr& other) {
        ComPtr(other).Swap(*this);
        return *this;
    }
    ComPtr& operator=(ComPtr&& other) noexcept {
        ComPtr(std::move(other)).Swap(*this);
        return *this;
    }

    // Adopts a reference the caller already owns.
    static ComPtr Adopt(T* object) {
        ComPtr p;
        p.object_ = object;
        return p;
    }

    T* Get() const { return object_; }
    T* operator->() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

    void Reset() {
        if (T* old = std::exchange(object_, nullptr)) old->Release();
    }
    // Gives up the reference to the caller.
    [[nodiscard]] T* Detach() { return std::exchange(object_, nullptr); }
    // Releases the current reference and answers the slot for an out-parameter.
    T** Put() {
        Reset();
        return &object_;
    }
    void** PutVoid() { return reinterpret_cast<void**>(Put()); }

    template <typename U>
    HRESULT As(ComPtr<U>* out) const {
        if (!object_) return E_POINTER;
        return object_->QueryInterface(IidOf<U>(), out->PutVoid());
    }
    template <typename U>
    ComPtr<U> As() const {
        ComPtr<U> out;
        As(&out);
        return out;
    }

    void Swap(ComPtr& other) noexcept { std::swap(object_, other.object_); }

    friend bool operator==(const ComPtr& a, const ComPtr& b) { return a.object_ == b.object_; }

  private:
    T* object_ = nullptr;
};

// Asks `object` (which may be null: E_POINTER) for interface T.
template <typename T>
HRESULT QueryFrom(IUnknown* object, ComPtr<T>* out) {
    if (!object) return E_POINTER;
    return object->QueryInterface(IidOf<T>(), out->PutVoid());
}

// Interface T of `object`; empty when it has none or there is no object.
template <typename T>
ComPtr<T> QueryFrom(IUnknown* object) {
    ComPtr<T> out;
    QueryFrom(object, &out);
    return out;
}

}  // namespace platform
