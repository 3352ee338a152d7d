// Header-only helpers for hosts that implement or hold the library's
// interfaces: a pointer that owns one reference, an IUnknown written once from
// a table of interfaces, a completion sink that calls a function, and a
// settings provider over a map of texts.
//
//   ref_ptr<IAsynTcpSocket> socket;                        // owns one reference
//   frame->CreateTcpSocket(socket.put());                  // filled as an out parameter
//
//   class my_sink final : public com_interfaces<my_sink, IAsynTimerEvents>, public atomic_ref_count {
//   public:
//       using interfaces = interface_table<interface_entry<IID_IUnknown, IAsynTimerEvents>,
//                                          interface_entry<IID_IAsynTimerEvents, IAsynTimerEvents>>;
//       HRESULT ASYNFRAME_STDCALL OnTimer(DWORD id) override;
//   };
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "asynframe/com.h"
#include "asynframe/host_services.h"
#include "asynframe/operation.h"

namespace asynframe {

// Owns one reference of a component interface (or of any class with AddRef
// and Release). Copies take a reference of their own; moves hand it over.
template <class T>
class ref_ptr {
public:
    ref_ptr() noexcept = default;
    ref_ptr(std::nullptr_t) noexcept {}
    // Adopts a reference the caller already owns (no AddRef).
    explicit ref_ptr(T* adopted) noexcept : _p(adopted) {}
    ref_ptr(const ref_ptr& other) noexcept : _p(other._p) {
        if (_p != nullptr) _p->AddRef();
    }
    ref_ptr(ref_ptr&& other) noexcept : _p(std::exchange(other._p, nullptr)) {}
    ref_ptr& operator=(ref_ptr other) noexcept {
        std::swap(_p, other._p);
        return *this;
    }
    ~ref_ptr() { reset(); }

    // Takes a reference of its own on `shared` (AddRef).
    static ref_ptr share(T* shared) noexcept {
        if (shared != nullptr) shared->AddRef();
        return ref_ptr(shared);
    }

    // Adopts `adopted` in place of the reference held so far.
    void attach(T* adopted) noexcept {
        T* old = std::exchange(_p, adopted);
        if (old != nullptr) old->Release();
    }
    // Gives up the reference without releasing it: the caller owns it now.
    [[nodiscard]] T* detach() noexcept { return std::exchange(_p, nullptr); }
    void reset() noexcept {
        if (T* p = std::exchange(_p, nullptr)) p->Release();
    }
    // For out parameters: drops the held reference first.
    T** put() noexcept {
        reset();
        return &_p;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

    T* get() const noexcept { return _p; }
    T* operator->() const noexcept { return _p; }
    T& operator*() const noexcept { return *_p; }
    explicit operator bool() const noexcept { return _p != nullptr; }

private:
    T* _p = nullptr;
};

template <class T, class U>
bool operator==(const ref_ptr<T>& a, const ref_ptr<U>& b) noexcept {
    return a.get() == b.get();
}
template <class T>
bool operator==(const ref_ptr<T>& a, std::nullptr_t) noexcept {
    return a.get() == nullptr;
}

// One row of an interface table: QueryInterface answers `Iid` with the
// object seen as `Face`.
template <const IID& Iid, class Face>
struct interface_entry {
    using face = Face;
    static const IID& iid() noexcept { return Iid; }
};

// The rows, tried in order.
template <class... Entries>
struct interface_table {};

// An object answering IUnknown and `Iid` with `Face`, the most common table.
template <const IID& Iid, class Face>
using single_interface = interface_table<interface_entry<IID_IUnknown, Face>, interface_entry<Iid, Face>>;

// A table without rows: every query fails (objects the library only calls).
using no_interfaces = interface_table<>;

// QueryInterface over a table: E_POINTER without an out parameter; the face
// with a new reference, or null and E_NOINTERFACE.
template <class Object, class... Entries>
HRESULT query_interface(Object* self, REFIID iid, void** object, interface_table<Entries...>) {
    if (object == nullptr) return E_POINTER;
    void* found = nullptr;
    (void)((iid == Entries::iid() ? (found = static_cast<typename Entries::face*>(self), true) : false) || ...);
    *object = found;
    if (found == nullptr) return E_NOINTERFACE;
    self->AddRef();
    return S_OK;
}

// IUnknown written once: `Derived` derives from this, names its table
// `interfaces` (public), and brings its count as `internal_add_ref` and
// `internal_release` (atomic_ref_count below, or a count of its own).
template <class Derived, class... Faces>
class com_interfaces : public Faces... {
public:
    HRESULT ASYNFRAME_STDCALL QueryInterface(REFIID iid, void** object) override {
        return query_interface(static_cast<Derived*>(this), iid, object, typename Derived::interfaces{});
    }
    ULONG ASYNFRAME_STDCALL AddRef() override { return static_cast<Derived*>(this)->internal_add_ref(); }
    ULONG ASYNFRAME_STDCALL Release() override { return static_cast<Derived*>(this)->internal_release(); }

protected:
    com_interfaces() = default;
    ~com_interfaces() = default;
};

// A count safe on any thread that deletes the object with its last
// reference. An object that lives on the stack or in another one is fine as
// long as its owner never releases the reference it starts with.
class atomic_ref_count {
public:
    atomic_ref_count() noexcept = default;
    atomic_ref_count(const atomic_ref_count&) = delete;
    atomic_ref_count& operator=(const atomic_ref_count&) = delete;

    ULONG internal_add_ref() noexcept { return _references.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG internal_release() noexcept {
        const ULONG left = _references.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) delete this;
        return left;
    }
    ULONG references() const noexcept { return _references.load(std::memory_order_acquire); }

protected:
    virtual ~atomic_ref_count() = default;

private:
    std::atomic<ULONG> _references{1};
};

// No count: for an object whose owner alone decides when it goes (a member
// or a stack object that outlives every use the library makes of it).
class owner_held {
public:
    ULONG internal_add_ref() noexcept { return 2; }
    ULONG internal_release() noexcept { return 1; }
};

// An IAsynIoOperationEvents that calls a function with the operation and its
// result (GetResult) on every completion; with no function set a completion is
// dropped. Created with new; the creator owns the first reference.
class completion_sink final : public com_interfaces<completion_sink, IAsynIoOperationEvents>,
                              public atomic_ref_count {
public:
    using interfaces = single_interface<IID_IAsynIoOperationEvents, IAsynIoOperationEvents>;
    using function = std::function<void(IAsynIoOperation* operation, DWORD error, DWORD bytes)>;

    completion_sink() = default;
    explicit completion_sink(function call) : on_complete(std::move(call)) {}

    HRESULT ASYNFRAME_STDCALL OnIoComplete(IAsynIoOperation* operation) override {
        DWORD error = 0, bytes = 0;
        operation->GetResult(&error, &bytes);
        if (on_complete) on_complete(operation, error, bytes);
        return S_OK;
    }

    // Set and cleared on the thread the completions arrive on.
    function on_complete;

private:
    ~completion_sink() override = default;
};

// Settings kept as texts by section and key, safe to read on any thread while
// the host changes them. Integers are read from decimal texts; booleans too (1
// is true). The Set slots store nothing and answer E_NOTIMPL: the host owns the
// values.
// Keeps the text a getter hands over (an address, a failure text). The
// caller owns it; it counts no references.
class text_receiver final : public com_interfaces<text_receiver, IStringSetter>, public owner_held {
public:
    using interfaces = single_interface<IID_IStringSetter, IStringSetter>;
    HRESULT ASYNFRAME_STDCALL SetString(UINT length, const char* bytes) override {
        if (length != 0 && bytes == nullptr) return E_INVALIDARG;
        text.assign(bytes != nullptr ? bytes : "", length);
        received = true;
        return S_OK;
    }
    std::string text;
    bool received = false;  // SetString was called (an empty text is still an answer)
};

class map_settings : public com_interfaces<map_settings, ISettingsProvider>, public atomic_ref_count {
public:
    using interfaces = single_interface<IID_ISettingsProvider, ISettingsProvider>;

    map_settings() = default;
    ~map_settings() override = default;

    void set(const std::string& section, const std::string& key, const std::string& value) {
        std::lock_guard<std::mutex> guard(_lock);
        _values[{section, key}] = value;
    }
    void set(const std::string& section, const std::string& key, const char* value) {
        set(section, key, std::string(value));
    }
    void set(const std::string& section, const std::string& key, std::uint32_t value) {
        set(section, key, std::to_string(value));
    }
    void set_boolean(const std::string& section, const std::string& key, bool value) {
        set(section, key, std::string(value ? "1" : "0"));
    }
    void erase(const std::string& section, const std::string& key) {
        std::lock_guard<std::mutex> guard(_lock);
        _values.erase({section, key});
    }

    HRESULT ASYNFRAME_STDCALL GetString(UINT section_length, const char* section, UINT key_length, const char* key,
                                        IStringSetter* value) override {
        std::string text;
        if (value == nullptr || !find(section_length, section, key_length, key, text)) return E_FAIL;
        return value->SetString(static_cast<UINT>(text.size()), text.c_str());
    }
    HRESULT ASYNFRAME_STDCALL GetInteger(UINT section_length, const char* section, UINT key_length, const char* key,
                                         UINT* value) override {
        std::string text;
        if (value == nullptr || !find(section_length, section, key_length, key, text)) return E_FAIL;
        char* end = nullptr;
        const unsigned long number = std::strtoul(text.c_str(), &end, 10);
        if (end == text.c_str() || *end != '\0') return E_FAIL;
        *value = static_cast<UINT>(number);
        return S_OK;
    }
    HRESULT ASYNFRAME_STDCALL GetBoolean(UINT section_length, const char* section, UINT key_length, const char* key,
                                         UINT* value) override {
        return GetInteger(section_length, section, key_length, key, value);
    }
    HRESULT ASYNFRAME_STDCALL SetInteger(UINT, const char*, UINT, const char*, UINT) override { return E_NOTIMPL; }
    HRESULT ASYNFRAME_STDCALL SetBoolean(UINT, const char*, UINT, const char*, UINT) override { return E_NOTIMPL; }
    HRESULT ASYNFRAME_STDCALL SetString(UINT, const char*, UINT, const char*, UINT, const char*) override {
        return E_NOTIMPL;
    }

private:
    bool find(UINT section_length, const char* section, UINT key_length, const char* key, std::string& text) {
        if (section == nullptr || key == nullptr) return false;
        std::lock_guard<std::mutex> guard(_lock);
        const auto found = _values.find({std::string(section, section_length), std::string(key, key_length)});
        if (found == _values.end()) return false;
        text = found->second;
        return true;
    }

    std::mutex _lock;
    std::map<std::pair<std::string, std::string>, std::string> _values;
};

}  // namespace asynframe
