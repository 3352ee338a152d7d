#include "platform/registration.h"

#include <windows.h>

#include "platform/win32/wide.h"

namespace asynframe::platform::registration {
namespace {

constexpr std::uint32_t error_no_unicode_translation = 1113;

// Per user: registering needs no administrator, and classes under
// HKEY_CURRENT_USER\Software\Classes take precedence over the machine's.
const wchar_t* const classes_root = L"Software\\Classes\\CLSID\\";

LSTATUS set_text(HKEY key, const wchar_t* value_name, const std::wstring& text) noexcept {
    return ::RegSetValueExW(key, value_name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                            static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

LSTATUS create_key(HKEY parent, const std::wstring& path, HKEY& out) noexcept {
    return ::RegCreateKeyExW(parent, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &out,
                             nullptr);
}

}  // namespace

bool system_registry() noexcept { return true; }

std::uint32_t register_class(const std::string& class_id, const std::string& name, const std::string& module_path) {
    std::wstring id, wide_name, path;
    if (!win32::to_wide(class_id, id) || id.empty() || !win32::to_wide(name, wide_name) ||
        !win32::to_wide(module_path, path))
        return error_no_unicode_translation;
    const std::wstring class_key = classes_root + id;
    HKEY key = nullptr;
    LSTATUS status = create_key(HKEY_CURRENT_USER, class_key, key);
    if (status != ERROR_SUCCESS) return static_cast<std::uint32_t>(status);
    status = set_text(key, nullptr, wide_name);
    ::RegCloseKey(key);
    if (status != ERROR_SUCCESS) return static_cast<std::uint32_t>(status);
    status = create_key(HKEY_CURRENT_USER, class_key + L"\\InprocServer32", key);
    if (status != ERROR_SUCCESS) return static_cast<std::uint32_t>(status);
    status = set_text(key, nullptr, path);
    if (status == ERROR_SUCCESS) status = set_text(key, L"ThreadingModel", L"Both");
    ::RegCloseKey(key);
    return static_cast<std::uint32_t>(status);
}

std::uint32_t unregister_class(const std::string& class_id) {
    std::wstring id;
    if (!win32::to_wide(class_id, id) || id.empty()) return error_no_unicode_translation;
    const LSTATUS status = ::RegDeleteTreeW(HKEY_CURRENT_USER, (classes_root + id).c_str());
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) return 0;
    return static_cast<std::uint32_t>(status);
}

}  // namespace asynframe::platform::registration
