// UTF-8 text of the library to and from the UTF-16 of the system's calls.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace asynframe::platform::win32 {

// False for text that is not valid UTF-8 (nothing is guessed).
inline bool to_wide(std::string_view text, std::wstring& out) {
    out.clear();
    if (text.empty()) return true;
    if (text.size() > 0x7FFFFFFF) return false;
    const int length = static_cast<int>(text.size());
    const int needed = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
    if (needed <= 0) return false;
    out.resize(static_cast<std::size_t>(needed));
    return ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, out.data(), needed) == needed;
}

// Unpaired surrogates become U+FFFD.
inline std::string to_utf8(std::wstring_view text) {
    std::string out;
    if (text.empty() || text.size() > 0x7FFFFFFF) return out;
    const int length = static_cast<int>(text.size());
    const int needed = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return out;
    out.resize(static_cast<std::size_t>(needed));
    if (::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, out.data(), needed, nullptr, nullptr) != needed)
        out.clear();
    return out;
}

}  // namespace asynframe::platform::win32
