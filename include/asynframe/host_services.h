// Services the host application implements and hands to the frame: the settings
// provider that every tunable value is read from, and the statistics sink.
//
// Texts cross these interfaces as counted byte strings: a 32-bit length, then a
// pointer to that many bytes (an empty text is length 0 with a pointer to an
// empty text); they need not be zero-terminated.
#pragma once

#include "asynframe/com.h"
#include "asynframe/strings.h"

namespace asynframe {

// {30A29138-545F-4CFA-BC75-94352DA5A566}: also the host service id of the provider.
inline constexpr IID IID_ISettingsProvider = {
    0x30A29138, 0x545F, 0x4CFA, {0xBC, 0x75, 0x94, 0x35, 0x2D, 0xA5, 0xA5, 0x66}};
// {2C0AB158-B601-46DD-B00A-CE3A3040EB67}: also the host service id of the sink.
inline constexpr IID IID_IStatisticsSink = {
    0x2C0AB158, 0xB601, 0x46DD, {0xB0, 0x0A, 0xCE, 0x3A, 0x30, 0x40, 0xEB, 0x67}};

// Settings by section and key. A value is valid only when the result is not
// negative; the library treats any failure as "not set" and uses its default.
// The library reads integers and booleans only; the other slots exist so a host
// can offer one provider for all its components.
struct ISettingsProvider : IUnknown {
    // slot 3: the text value, delivered through the setter.
    virtual HRESULT ASYNFRAME_STDCALL GetString(UINT section_length, const char* section, UINT key_length,
                                                const char* key, IStringSetter* value) = 0;
    // slot 4
    virtual HRESULT ASYNFRAME_STDCALL GetInteger(UINT section_length, const char* section, UINT key_length,
                                                 const char* key, UINT* value) = 0;
    // slot 5
    virtual HRESULT ASYNFRAME_STDCALL SetInteger(UINT section_length, const char* section, UINT key_length,
                                                 const char* key, UINT value) = 0;
    // slot 6: 1 means true, any other value false.
    virtual HRESULT ASYNFRAME_STDCALL GetBoolean(UINT section_length, const char* section, UINT key_length,
                                                 const char* key, UINT* value) = 0;
    // slot 7
    virtual HRESULT ASYNFRAME_STDCALL SetBoolean(UINT section_length, const char* section, UINT key_length,
                                                 const char* key, UINT value) = 0;
    // slot 8
    virtual HRESULT ASYNFRAME_STDCALL SetString(UINT section_length, const char* section, UINT key_length,
                                                const char* key, UINT value_length, const char* value) = 0;

protected:
    ~ISettingsProvider() = default;
};

// Running statistics by section and key, as unsigned 64-bit values.
struct IStatisticsSink : IUnknown {
    // slot 3: the value as its low 32-bit word, then its high word. The result is ignored.
    virtual HRESULT ASYNFRAME_STDCALL SetValue(UINT section_length, const char* section, UINT key_length,
                                               const char* key, DWORD value_low, DWORD value_high) = 0;
    // slot 4: the value is valid only when the result is not negative.
    virtual HRESULT ASYNFRAME_STDCALL GetValue(UINT section_length, const char* section, UINT key_length,
                                               const char* key, ULONGLONG* value) = 0;

protected:
    ~IStatisticsSink() = default;
};

}  // namespace asynframe
