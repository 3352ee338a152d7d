// Host-name resolution to IPv4 and IPv6 addresses: the resolver object for
// callers on the dispatch thread, and plain exported functions for callers
// that wait on an event of their own.
//
// The interfaces and exports that carry addresses as 32-bit numbers or
// dotted texts (IAsynDnsResult, sync_dns_count, sync_dns_address) show the
// IPv4 addresses only, exactly as they did before IPv6 was resolved;
// IAsynDnsResult3 and sync_dns_address_text show both families, the IPv4
// addresses first in the same order, then the IPv6 ones.
#pragma once

#include "asynframe/com.h"
#include "asynframe/operation.h"
#include "asynframe/strings.h"

namespace asynframe {

// {13C32332-EED4-4701-8644-C2F6E3CCBFE6}
inline constexpr IID IID_IAsynDns = {
    0x13C32332, 0xEED4, 0x4701, {0x86, 0x44, 0xC2, 0xF6, 0xE3, 0xCC, 0xBF, 0xE6}};
// {24CEF41C-4C1B-499B-B3A4-85119CB98B3A}
inline constexpr IID IID_IAsynDnsResult = {
    0x24CEF41C, 0x4C1B, 0x499B, {0xB3, 0xA4, 0x85, 0x11, 0x9C, 0xB9, 0x8B, 0x3A}};

// {ACAF677F-B0AA-4076-AD2F-7F45480565CA}
inline constexpr IID IID_IAsynDnsResult2 = {
    0xACAF677F, 0xB0AA, 0x4076, {0xAD, 0x2F, 0x7F, 0x45, 0x48, 0x05, 0x65, 0xCA}};
// {6E83B6CA-DF4D-487E-9122-C31BE5C6BD76}
inline constexpr IID IID_IAsynDnsResult3 = {
    0x6E83B6CA, 0xDF4D, 0x487E, {0x91, 0x22, 0xC3, 0x1B, 0xE5, 0xC6, 0xBD, 0x76}};

// Result codes of a resolution: the error of a resolver object's completion
// and the answer of sync_dns_result.
inline constexpr LONG DNS_RESULT_OK = 0;              // at least one address, of either family
inline constexpr LONG DNS_RESULT_FAILED = 1;          // all tries used up without an address
inline constexpr LONG DNS_RESULT_SHUTDOWN = 2;        // the resolver stopped meanwhile
inline constexpr LONG DNS_RESULT_EMPTY_NAME = 3;      // the name was empty
inline constexpr LONG DNS_RESULT_PENDING = 5;         // still outstanding
inline constexpr LONG DNS_RESULT_RECENT_FAILURE = 7;  // the name failed recently
// sync_dns_result for a handle that is not (or no longer) registered.
inline constexpr LONG DNS_RESULT_INVALID_HANDLE = -1;

// The number sync_dns_request requires as its third argument.
inline constexpr LONG SYNC_DNS_ACCESS = 47361;
// A buffer of sync_dns_address_text this large holds any address with its zero.
inline constexpr LONG SYNC_DNS_TEXT_SIZE = 46;

// Request handle of the sync_dns_* exports (pointer-sized; null: none).
using SYNC_DNS_HANDLE = void*;

// Resolver object (IAsynFrame::CreateDns).
struct IAsynDns : IUnknown {
    // Resolves `name` (exactly `name_length` bytes: a host name, a dotted
    // IPv4 address or an IPv6 address such as "::1"). Both families are asked
    // for; once the IPv4 addresses are in, the IPv6 answer has a quarter of a
    // second to follow before the resolution completes without it. The
    // operation completes on the dispatch thread with error
    // 0 or a DNS_RESULT_* code, and carries an IAsynDnsResult as its result
    // object (IAsynIoOperation::GetResultObject). E_ACCESSDENIED off the
    // dispatch thread; E_INVALIDARG for a foreign or busy operation or an
    // empty name.
    virtual HRESULT ASYNFRAME_STDCALL Resolve(IAsynIoOperation* operation, DWORD name_length, const char* name) = 0;  // slot 3

protected:
    ~IAsynDns() = default;
};

// Outcome of IAsynDns::Resolve. Any thread may read it once the operation has
// completed.
struct IAsynDnsResult : IUnknown {
    // The resolved name through `name`. E_INVALIDARG for a null setter.
    virtual HRESULT ASYNFRAME_STDCALL GetHostName(IStringSetter* name) = 0;  // slot 3
    // Result code (0; the outcome is the operation's error) and the number of
    // IPv4 addresses (0 for a name with IPv6 addresses only). Either out may
    // be null. S_OK.
    virtual HRESULT ASYNFRAME_STDCALL GetResult(LONG* code, DWORD* count) = 0;  // slot 4
    // IPv4 address `index` in network byte order. E_INVALIDARG for a null out
    // or an index not below the count.
    virtual HRESULT ASYNFRAME_STDCALL GetAddress(DWORD index, DWORD* address) = 0;  // slot 5

protected:
    ~IAsynDnsResult() = default;
};

// Where the addresses of a resolution came from (IAsynDnsResult2::GetSource).
inline constexpr DWORD DNS_SOURCE_NONE = 0;        // no addresses: still pending, or failed
inline constexpr DWORD DNS_SOURCE_LITERAL = 1;     // the name was a dotted IPv4 address or an IPv6 address
inline constexpr DWORD DNS_SOURCE_HOSTS_FILE = 2;  // the hosts file
inline constexpr DWORD DNS_SOURCE_CACHE = 3;       // the answer cache, from an earlier reply
inline constexpr DWORD DNS_SOURCE_DNS_SERVER = 4;  // a reply of a DNS server, just now
inline constexpr DWORD DNS_SOURCE_SYSTEM = 5;      // the operating system's own lookup
inline constexpr DWORD DNS_SOURCE_LAST_GOOD = 6;   // the lookup failed; the name's last good addresses stand in

// The result object also says where its answer came from. Every result of
// IAsynDns::Resolve has this face.
struct IAsynDnsResult2 : IAsynDnsResult {
    // A DNS_SOURCE_* value: DNS_SOURCE_NONE until the operation has completed
    // with addresses. Where the IPv4 addresses came from, or the IPv6 ones
    // when there is no IPv4 address. E_INVALIDARG for a null out.
    virtual HRESULT ASYNFRAME_STDCALL GetSource(DWORD* source) = 0;  // slot 6

protected:
    ~IAsynDnsResult2() = default;
};

// Every address of both families, as text. Every result of IAsynDns::Resolve
// has this face; like the others it may be read on any thread once the
// operation has completed (before that it shows no address).
struct IAsynDnsResult3 : IAsynDnsResult2 {
    // The number of addresses of both families: the IPv4 ones (GetResult's
    // count) and then the IPv6 ones. E_INVALIDARG for a null out.
    virtual HRESULT ASYNFRAME_STDCALL GetAddressCount(DWORD* count) = 0;  // slot 7
    // Address `index` (in the order above) as text through `text`: four
    // dotted decimals for IPv4 ("127.0.0.1", the address GetAddress gives,
    // also for a name written "127.1"), RFC 5952 for IPv6 ("::1",
    // "2001:db8::7"); its family, 4 or 6, through `family`
    // (may be null). E_INVALIDARG for a null setter or an index not below
    // the count.
    virtual HRESULT ASYNFRAME_STDCALL GetAddressText(DWORD index, IStringSetter* text, DWORD* family) = 0;  // slot 8

protected:
    ~IAsynDnsResult3() = default;
};

// The exports may be called from any thread.
extern "C" {

// Starts resolving `name` (zero-terminated) and returns its handle, or null
// when `access` is not SYNC_DNS_ACCESS or `name` is null. `event` (may be
// ASYNFRAME_NO_EVENT) is set when the result is known, possibly before this
// returns. Every handle must be given back with sync_dns_cancel.
ASYNFRAME_EXPORT SYNC_DNS_HANDLE ASYNFRAME_STDCALL sync_dns_request(const char* name, ASYNFRAME_EVENT event,
                                                                    LONG access);
// DNS_RESULT_* of the request (DNS_RESULT_PENDING while outstanding), or
// DNS_RESULT_INVALID_HANDLE for an unregistered handle.
ASYNFRAME_EXPORT LONG ASYNFRAME_STDCALL sync_dns_result(SYNC_DNS_HANDLE handle);
// Number of IPv4 addresses found; 0 for an unregistered handle.
ASYNFRAME_EXPORT LONG ASYNFRAME_STDCALL sync_dns_count(SYNC_DNS_HANDLE handle);
// Copies IPv4 address `index` as zero-terminated dotted text into `buffer` of
// `size` bytes and returns 0; returns -1 (with an empty buffer when it has
// room) for an unregistered handle, an index not below the count, or a buffer
// too small for the text.
ASYNFRAME_EXPORT LONG ASYNFRAME_STDCALL sync_dns_address(SYNC_DNS_HANDLE handle, LONG index, char* buffer,
                                                         LONG size);
// Releases the request, pending or not (a pending one never sets its event
// afterwards). 0, or -1 for an unregistered handle.
ASYNFRAME_EXPORT LONG ASYNFRAME_STDCALL sync_dns_cancel(SYNC_DNS_HANDLE handle);
// Address `index` of both families (the IPv4 ones first, numbered as
// sync_dns_address numbers them, then the IPv6 ones) as zero-terminated text:
// four dotted decimals for IPv4 (where sync_dns_address gives "127.1" as it
// was written, this gives "127.0.0.1"), RFC 5952 for IPv6. Returns the
// address's family, 4 or 6;
// -1 (with an empty buffer when it has room) as sync_dns_address does, so a
// caller reads from index 0 up until -1. SYNC_DNS_TEXT_SIZE bytes hold any
// address.
ASYNFRAME_EXPORT LONG ASYNFRAME_STDCALL sync_dns_address_text(SYNC_DNS_HANDLE handle, LONG index, char* buffer,
                                                              LONG size);

}  // extern "C"

}  // namespace asynframe
