// Texts and lists of texts cross the component interfaces only as counted byte
// strings handed to a setter object that the receiver of the text provides.
#pragma once

#include "asynframe/com.h"

namespace asynframe {

// One counted byte string of a list: an empty text is length 0 with a null pointer.
struct tagSTRING_ITEM {
    UINT length;
    const char* text;
};

// A list of counted byte strings, passed by value. With count 0 the items
// pointer is null.
struct tagSTRING_ARRAY {
    UINT count;
    tagSTRING_ITEM* items;
};

// {83A323B1-3B99-496F-91BE-5786FC213443}
inline constexpr IID IID_IStringSetter = {
    0x83A323B1, 0x3B99, 0x496F, {0x91, 0xBE, 0x57, 0x86, 0xFC, 0x21, 0x34, 0x43}};
// {93526DD3-B4DB-4B1B-AAF9-41028E847426}
inline constexpr IID IID_IStringArraySetter = {
    0x93526DD3, 0xB4DB, 0x4B1B, {0xAA, 0xF9, 0x41, 0x02, 0x8E, 0x84, 0x74, 0x26}};

// Receives one text.
struct IStringSetter : IUnknown {
    // Replaces the receiver's text with the given bytes; length 0 empties it. S_OK.
    virtual HRESULT ASYNFRAME_STDCALL SetString(UINT length, const char* bytes) = 0;  // slot 3

protected:
    ~IStringSetter() = default;
};

// Receives a list of texts.
struct IStringArraySetter : IUnknown {
    // Replaces the receiver's list with copies of the items. S_OK.
    virtual HRESULT ASYNFRAME_STDCALL SetArray(tagSTRING_ARRAY array) = 0;  // slot 3

protected:
    ~IStringArraySetter() = default;
};

}  // namespace asynframe
