// UTF-8 and UTF-16 conversions for the Windows calls that take wide strings.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace asynframe::platform::win32 {

// Invalid sequences become U+FFFD; empty on failure.
inline std::wstring to_utf16(std::string_view text) {
    if (text.empty()) return {};
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0) return {};
    std::wstring out(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length);
    return out;
}

inline std::string to_utf8(std::wstring_view text) {
    if (text.empty()) return {};
    const int length =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (length <= 0) return {};
    std::string out(static_cast<std::size_t>(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length, nullptr,
                          nullptr);
    return out;
}

// The module handle DllMain recorded; null when the code is linked into an
// executable (tests) or DllMain has not run.
HMODULE recorded_module() noexcept;
void record_module(HMODULE module) noexcept;

}  // namespace asynframe::platform::win32
