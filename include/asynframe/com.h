// Component-model basics shared by every public interface: fixed-width Windows
// type names, GUIDs, result codes, IUnknown and IClassFactory.
//
// The library is a component module: hosts see reference-counted objects whose
// interfaces are tables of virtual slots in a fixed order. On Linux the slots
// use the platform's default calling convention.
#pragma once

#include <cstdint>
#include <cstring>

// A Windows host gets the system's own types, result codes, GUID and IUnknown,
// so that this header may come before or after <windows.h>. The whole of
// <windows.h> is taken, as the host would take it; when the host has not
// included it yet, Winsock 2 comes first, so that its later <winsock2.h>
// still fits.
#if defined(_WIN32)
#if !defined(_WINDOWS_) && !defined(_INC_WINDOWS)
#include <winsock2.h>
#endif
#include <windows.h>
#include <unknwn.h>
#endif

#if defined(_WIN32)
#define ASYNFRAME_STDCALL __stdcall
#else
#define ASYNFRAME_STDCALL
#endif

// Marks the module's exported entry points; everything else is hidden. On
// Windows the DLL's module-definition file names the exports, so that they
// keep their plain names on i686 (a dllexport would add the decorated ones).
#if defined(_WIN32)
#define ASYNFRAME_EXPORT
#else
#define ASYNFRAME_EXPORT __attribute__((visibility("default")))
#endif

namespace asynframe {

#if defined(_WIN32)
using ::BOOL;
using ::BYTE;
using ::CLSID;
using ::DWORD;
using ::GUID;
using ::HRESULT;
using ::IID;
using ::INT;
using ::LONG;
using ::LONGLONG;
using ::UINT;
using ::ULONG;
using ::ULONGLONG;
using ::WORD;
#else
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using UINT = std::uint32_t;
using INT = std::int32_t;
using BOOL = std::int32_t;
using ULONGLONG = std::uint64_t;
using LONGLONG = std::int64_t;
using HRESULT = std::int32_t;

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using REFGUID = const GUID&;
#endif

// An event object a caller hands in to be signalled (or to signal): on Linux an
// eventfd descriptor, set by writing a non-zero count and reset by reading it
// (create it with EFD_NONBLOCK so that a reset never blocks); on Windows an
// event HANDLE. ASYNFRAME_NO_EVENT stands for the null handle.
#if defined(_WIN32)
using ASYNFRAME_EVENT = void*;
inline constexpr ASYNFRAME_EVENT ASYNFRAME_NO_EVENT = nullptr;
#else
using ASYNFRAME_EVENT = int;
inline constexpr ASYNFRAME_EVENT ASYNFRAME_NO_EVENT = -1;
#endif

#if !defined(_WIN32)
constexpr bool operator==(const GUID& a, const GUID& b) noexcept {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}
#endif

// Result codes of the component boundary (on Windows, the system's macros of
// the same names and values).
#if !defined(_WIN32)
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT E_ABORT = static_cast<HRESULT>(0x80004004u);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
inline constexpr HRESULT E_ACCESSDENIED = static_cast<HRESULT>(0x80070005u);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
// Answers of the module entry points.
inline constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110u);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111u);

constexpr bool SUCCEEDED(HRESULT hr) noexcept { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) noexcept { return hr < 0; }
#endif

// Completion error codes that callers test for; the platform layer maps native
// errors into this (Windows and Winsock) code space on every OS.
#if !defined(_WIN32)
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_OPERATION_ABORTED = 995;
inline constexpr DWORD WSAECONNRESET = 10054;
inline constexpr DWORD WSAETIMEDOUT = 10060;
inline constexpr DWORD WSAECONNREFUSED = 10061;
#endif
// A peer that closed while a send was in flight.
inline constexpr DWORD ERROR_PEER_CLOSED = 0xFFFFFFFFu;
// Exceptions caught in a layered device and turned into completions.
inline constexpr DWORD ERROR_LAYER_IO_EXCEPTION = 1928;      // proxy_exception, io_exception
inline constexpr DWORD ERROR_LAYER_SOCKET_EXCEPTION = 1929;  // socket_exception
inline constexpr DWORD ERROR_LAYER_OTHER_EXCEPTION = 1930;   // any other standard exception

#if defined(_WIN32)
using ::IClassFactory;
using ::IID_IClassFactory;
using ::IID_IUnknown;
using ::IUnknown;
#else
// {00000000-0000-0000-C000-000000000046}
inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// {00000001-0000-0000-C000-000000000046}
inline constexpr IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

struct IUnknown {
    virtual HRESULT ASYNFRAME_STDCALL QueryInterface(REFIID iid, void** object) = 0;  // slot 0
    virtual ULONG ASYNFRAME_STDCALL AddRef() = 0;                                     // slot 1
    virtual ULONG ASYNFRAME_STDCALL Release() = 0;                                    // slot 2

protected:
    ~IUnknown() = default;  // released, never deleted through the interface
};

struct IClassFactory : IUnknown {
    virtual HRESULT ASYNFRAME_STDCALL CreateInstance(IUnknown* outer, REFIID iid, void** object) = 0;  // slot 3
    virtual HRESULT ASYNFRAME_STDCALL LockServer(BOOL lock) = 0;                                     // slot 4

protected:
    ~IClassFactory() = default;
};
#endif

}  // namespace asynframe
