// Asynchronous files.
#pragma once

#include "asynframe/com.h"
#include "asynframe/device.h"
#include "asynframe/operation.h"

namespace asynframe {

// {6B4BA849-DD57-4590-93BD-EF84AE97C193}
inline constexpr IID IID_IAsynFile = {
    0x6B4BA849, 0xDD57, 0x4590, {0x93, 0xBD, 0xEF, 0x84, 0xAE, 0x97, 0xC1, 0x93}};

// Values of IAsynFile::Open, the same on every platform (the Linux backend
// maps them onto open(2) flags).
// Desired access.
#if !defined(_WIN32)  // the system headers give these on Windows
inline constexpr DWORD GENERIC_READ = 0x80000000u;
inline constexpr DWORD GENERIC_WRITE = 0x40000000u;
// Share mode (not enforced on Linux: POSIX files have no share modes).
inline constexpr DWORD FILE_SHARE_READ = 0x00000001u;
inline constexpr DWORD FILE_SHARE_WRITE = 0x00000002u;
inline constexpr DWORD FILE_SHARE_DELETE = 0x00000004u;
// Creation disposition.
inline constexpr DWORD CREATE_NEW = 1;         // fails when the file exists
inline constexpr DWORD CREATE_ALWAYS = 2;      // creates or truncates
inline constexpr DWORD OPEN_EXISTING = 3;      // fails when the file is missing
inline constexpr DWORD OPEN_ALWAYS = 4;        // opens or creates
inline constexpr DWORD TRUNCATE_EXISTING = 5;  // opens and truncates; fails when missing
// Flags and attributes.
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080u;
inline constexpr DWORD FILE_FLAG_WRITE_THROUGH = 0x80000000u;
inline constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000u;  // added by the library itself
inline constexpr DWORD FILE_FLAG_NO_BUFFERING = 0x20000000u;
inline constexpr DWORD FILE_FLAG_RANDOM_ACCESS = 0x10000000u;
inline constexpr DWORD FILE_FLAG_SEQUENTIAL_SCAN = 0x08000000u;
#endif

// A file: the IAsynIoDevice slots read and write at each operation's own
// 64-bit position (IAsynIoOperation::SetPosition); the file keeps none.
// Every slot except ReadFully and WriteFully refuses callers off the dispatch
// thread with E_ACCESSDENIED (those two are checked by the reads and writes
// they issue).
struct IAsynFile : IAsynIoDevice {
    // Opens `name` (exactly `name_length` bytes, not terminated). E_INVALIDARG
    // for an empty or null name; E_UNEXPECTED when already open; E_FAIL when
    // the file cannot be opened.
    virtual HRESULT ASYNFRAME_STDCALL Open(DWORD name_length, const char* name, DWORD desired_access,
                                           DWORD share_mode, DWORD creation_disposition,
                                           DWORD flags_and_attributes) = 0;  // slot 8
    // Flushes the file's buffers; completes through the operation.
    // E_UNEXPECTED when not open; E_INVALIDARG for a null or busy operation.
    virtual HRESULT ASYNFRAME_STDCALL Flush(IAsynIoOperation* operation) = 0;  // slot 9
    // Sets the file's size (synchronous). E_INVALIDARG for 0 (open with a
    // truncating disposition to empty a file); E_UNEXPECTED when not open;
    // E_FAIL when the system refuses.
    virtual HRESULT ASYNFRAME_STDCALL SetLength(DWORD low, DWORD high) = 0;  // slot 10
    // The file's size (synchronous). E_INVALIDARG for a null out; E_UNEXPECTED
    // when not open (out untouched); E_FAIL (out 0) when the system refuses.
    virtual HRESULT ASYNFRAME_STDCALL GetLength(ULONGLONG* length) = 0;  // slot 11
    // Reads pages at the operation's position into its segments, from the
    // selected segment to the last, one page each. The operation must be a
    // scatter operation with segments (E_INVALIDARG otherwise); E_UNEXPECTED
    // when not open.
    virtual HRESULT ASYNFRAME_STDCALL ReadScatter(IAsynIoOperation* operation) = 0;  // slot 12
    // Writes the segments' pages at the operation's position; as ReadScatter.
    virtual HRESULT ASYNFRAME_STDCALL WriteGather(IAsynIoOperation* operation) = 0;  // slot 13

protected:
    ~IAsynFile() = default;
};

}  // namespace asynframe
