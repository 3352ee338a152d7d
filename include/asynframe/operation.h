// The operation object: the caller's handle on one asynchronous request, and
// the callback through which its completion arrives.
//
// A caller creates an operation through the frame, sets its tag (a new object
// is "busy" until the tag holds a value other than -1), fills in a buffer, a
// range, a file position, a peer address or page segments, and hands it to a
// device. Exactly one OnIoComplete follows per accepted request, on the
// frame's dispatch thread; the operation is then ready for the next request.
#pragma once

#include "asynframe/com.h"

namespace asynframe {

// {1A885E07-1A92-4235-B303-35B837741CAD}
inline constexpr IID IID_IAsynIoOperation = {
    0x1A885E07, 0x1A92, 0x4235, {0xB3, 0x03, 0x35, 0xB8, 0x37, 0x74, 0x1C, 0xAD}};
// {B903C91F-F78D-49C5-830C-CBFE810AD15A}
inline constexpr IID IID_IAsynFileScatterOperation = {
    0xB903C91F, 0xF78D, 0x49C5, {0x83, 0x0C, 0xCB, 0xFE, 0x81, 0x0A, 0xD1, 0x5A}};
// {F98E898C-9A9F-4D7E-AE1D-F767C35BF618}
inline constexpr IID IID_IAsynIoOperationObject = {
    0xF98E898C, 0x9A9F, 0x4D7E, {0xAE, 0x1D, 0xF7, 0x67, 0xC3, 0x5B, 0xF6, 0x18}};
// {ECEC837E-813F-473A-A9BF-D58A3E30903D}; the library never queries a host
// object for it.
inline constexpr IID IID_IAsynIoOperationEvents = {
    0xECEC837E, 0x813F, 0x473A, {0xA9, 0xBF, 0xD5, 0x8A, 0x3E, 0x30, 0x90, 0x3D}};

// One element of a scatter/gather list: the address of one page-aligned buffer
// of exactly one page, widened to 64 bits. The list ends with a zero element.
union FILE_SEGMENT_ELEMENT {
    void* Buffer;
    ULONGLONG Alignment;
};
static_assert(sizeof(FILE_SEGMENT_ELEMENT) == 8);

// No slot checks the calling thread; use an operation from one thread at a
// time (normally the dispatch thread) and never while a request on it is in
// flight.
struct IAsynIoOperation : IUnknown {
    // Stores the caller's tag. -1 marks the object as not ready (every device
    // refuses it with E_INVALIDARG). S_OK.
    virtual HRESULT ASYNFRAME_STDCALL SetTag(LONG tag) = 0;  // slot 3
    // The tag. E_INVALIDARG for a null out.
    virtual HRESULT ASYNFRAME_STDCALL GetTag(LONG* tag) = 0;  // slot 4
    // Presets the result the next completion reports; with the frame's
    // PostOperation this completes the operation without I/O. S_OK; E_FAIL when
    // the object has no engine operation.
    virtual HRESULT ASYNFRAME_STDCALL SetResult(DWORD error, DWORD bytes) = 0;  // slot 5
    // Error code and byte count of the last completion (0 and a count on
    // success; a Windows/Winsock code otherwise). Either out may be null. S_OK;
    // E_UNEXPECTED without an engine operation.
    virtual HRESULT ASYNFRAME_STDCALL GetResult(DWORD* error, DWORD* bytes) = 0;  // slot 6
    // Replaces the object the request produced (new reference taken, old one
    // released); null clears it. S_OK.
    virtual HRESULT ASYNFRAME_STDCALL SetResultObject(IUnknown* object) = 0;  // slot 7
    // The produced object with a new reference (null when none), e.g. the
    // socket of an accepted connection or a resolver result. E_INVALIDARG for a
    // null out.
    virtual HRESULT ASYNFRAME_STDCALL GetResultObject(IUnknown** object) = 0;  // slot 8
    // Gives the operation a buffer of `size` bytes. E_INVALIDARG for 0; E_FAIL
    // when it cannot be allocated (the buffer is then empty).
    virtual HRESULT ASYNFRAME_STDCALL AllocBuffer(DWORD size) = 0;  // slot 9
    // Buffer address and length; either out may be null. S_OK; E_ACCESSDENIED
    // without an engine operation.
    virtual HRESULT ASYNFRAME_STDCALL GetBuffer(BYTE** buffer, DWORD* length) = 0;  // slot 10
    // Frees the buffer. S_OK.
    virtual HRESULT ASYNFRAME_STDCALL FreeBuffer() = 0;  // slot 11
    // Part of the buffer the next read or write uses. E_INVALIDARG for length 0
    // or a range beyond the buffer.
    virtual HRESULT ASYNFRAME_STDCALL SetRange(DWORD start, DWORD length) = 0;  // slot 12
    // The range; either out may be null. S_OK.
    virtual HRESULT ASYNFRAME_STDCALL GetRange(DWORD* start, DWORD* length) = 0;  // slot 13
    // 64-bit file position of the next file request. S_OK.
    virtual HRESULT ASYNFRAME_STDCALL SetPosition(DWORD low, DWORD high) = 0;  // slot 14
    // The file position. E_INVALIDARG for a null out.
    virtual HRESULT ASYNFRAME_STDCALL GetPosition(ULONGLONG* position) = 0;  // slot 15
    // Peer of a datagram request: IPv4 address in network order, port in host
    // order. S_OK.
    virtual HRESULT ASYNFRAME_STDCALL SetAddress(DWORD address, WORD port) = 0;  // slot 16
    // Peer address (network order) and port (host order), e.g. the source of a
    // received datagram. E_INVALIDARG when either out is null.
    virtual HRESULT ASYNFRAME_STDCALL GetAddress(DWORD* address, WORD* port) = 0;  // slot 17
    // Cuts the operation loose from its owner: later completions, including one
    // in flight, are consumed silently. S_OK.
    virtual HRESULT ASYNFRAME_STDCALL Close() = 0;  // slot 18

protected:
    ~IAsynIoOperation() = default;
};

// An operation that also carries a list of page segments for scatter reads
// and gather writes of files.
struct IAsynFileScatterOperation : IAsynIoOperation {
    // Sizes the segment list to `count` pages (plus the zero terminator).
    // E_INVALIDARG for 0.
    virtual HRESULT ASYNFRAME_STDCALL SetSegmentCount(DWORD count) = 0;  // slot 19
    // Segment count and the list itself, whose elements the caller fills with
    // page addresses (e.g. from IAsynFrame::AllocPage). Either out may be null.
    // S_OK.
    virtual HRESULT ASYNFRAME_STDCALL GetSegments(DWORD* count, FILE_SEGMENT_ELEMENT** segments) = 0;  // slot 20
    // First segment the next scatter/gather request uses. E_INVALIDARG when
    // `index` is not below the segment count.
    virtual HRESULT ASYNFRAME_STDCALL SelectSegment(DWORD index) = 0;  // slot 21
    // The selected segment. S_OK.
    virtual HRESULT ASYNFRAME_STDCALL GetSelectedSegment(DWORD* index) = 0;  // slot 22

protected:
    ~IAsynFileScatterOperation() = default;
};

// Framework-internal face through which devices reach the object behind any
// of its interfaces.
struct IAsynIoOperationObject : IUnknown {
    // The implementing object itself (not an interface, no new reference). S_OK.
    // The slot is GetObject; its C++ name differs because <windows.h> makes
    // GetObject a macro.
    virtual HRESULT ASYNFRAME_STDCALL GetImplementation(void** object) = 0;  // slot 3

protected:
    ~IAsynIoOperationObject() = default;
};

// Completion callback; the owner given at CreateOperation implements it.
struct IAsynIoOperationEvents : IUnknown {
    // A request on `operation` finished; GetResult tells how. Called on the
    // dispatch thread; the result is ignored.
    virtual HRESULT ASYNFRAME_STDCALL OnIoComplete(IAsynIoOperation* operation) = 0;  // slot 3

protected:
    ~IAsynIoOperationEvents() = default;
};

}  // namespace asynframe
