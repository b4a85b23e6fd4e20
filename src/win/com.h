#pragma once
// Just enough COM for the WebView2 interfaces without WRL (which MinGW lacks): an owning pointer
// and event handlers made from lambdas.
#include <windows.h>
#include <WebView2.h>

#include <atomic>
#include <functional>
#include <string>
#include <utility>

namespace tw::win {

template <class T>
class TComPtr {
public:
    TComPtr() = default;
    TComPtr(T* p, bool addRef) : p_(p) {
        if (p_ && addRef)
            p_->AddRef();
    }
    TComPtr(const TComPtr& o) : TComPtr(o.p_, true) {}
    TComPtr(TComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    TComPtr& operator=(TComPtr o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~TComPtr() {
        if (p_)
            p_->Release();
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    T** put() {
        *this = TComPtr();
        return &p_;
    }
    // The same object as interface U, or empty.
    template <class U>
    TComPtr<U> As(const IID& iid) const {
        TComPtr<U> u;
        if (p_)
            p_->QueryInterface(iid, reinterpret_cast<void**>(u.put()));
        return u;
    }

private:
    T* p_ = nullptr;
};

// Text the engine hands out (CoTaskMemAlloc'd), taken and freed.
inline std::wstring TakeString(LPWSTR s) {
    std::wstring text = s ? s : L"";
    if (s)
        CoTaskMemFree(s);
    return text;
}

// IUnknown for an object of one interface I, which answers to `iid` and IUnknown. Starts with one
// reference, which the caller owns; the last Release deletes it.
template <class I>
class TUnknown : public I {
public:
    explicit TUnknown(const IID& iid) : iid_(iid) {}
    virtual ~TUnknown() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out)
            return E_POINTER;
        if (IsEqualIID(riid, iid_) || IsEqualIID(riid, IID_IUnknown)) {
            *out = static_cast<I*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }

private:
    const IID iid_;
    std::atomic<ULONG> refs_{1};
};

template <class I, class M = decltype(&I::Invoke)>
class TCallbackBase;
template <class I, class C, class... A>
class TCallbackBase<I, HRESULT (STDMETHODCALLTYPE C::*)(A...)> : public TUnknown<I> {
public:
    using Function = std::function<HRESULT(A...)>;
    TCallbackBase(const IID& iid, Function fn) : TUnknown<I>(iid), fn_(std::move(fn)) {}
    HRESULT STDMETHODCALLTYPE Invoke(A... a) override { return fn_ ? fn_(a...) : S_OK; }

private:
    Function fn_;
};

// An event or completion handler of interface I (any of the SDK's *Handler interfaces) that
// calls `fn` with Invoke's own arguments. Starts with one reference, which the caller owns.
template <class I>
class TCallback final : public TCallbackBase<I> {
public:
    TCallback(const IID& iid, typename TCallbackBase<I>::Function fn) : TCallbackBase<I>(iid, std::move(fn)) {}
};

// A handler as an owning pointer: pass .get() to the engine's add_*/Create* calls.
template <class I>
TComPtr<I> Callback(const IID& iid, typename TCallbackBase<I>::Function fn) {
    return TComPtr<I>(new TCallback<I>(iid, std::move(fn)), false);
}

} // namespace tw::win
