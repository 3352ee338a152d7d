#include "component/string_setter.h"

#include <cstring>
#include <new>

namespace asynframe {

STRING_ARRAY_EX::STRING_ARRAY_EX(const std::vector<std::string>& strings, bool owns)
    : tagSTRING_ARRAY{0, nullptr}, owns_copies(owns) {
    if (strings.empty()) return;
    items = new tagSTRING_ITEM[strings.size()]();
    count = static_cast<UINT>(strings.size());
    for (std::size_t i = 0; i < strings.size(); ++i) {
        const std::string& text = strings[i];
        if (text.empty()) continue;  // length 0, null pointer
        items[i].length = static_cast<UINT>(text.size());
        if (owns_copies) {
            char* copy = new char[text.size() + 1];
            std::memcpy(copy, text.data(), text.size());
            copy[text.size()] = '\0';
            items[i].text = copy;
        } else {
            items[i].text = text.data();
        }
    }
}

STRING_ARRAY_EX::~STRING_ARRAY_EX() {
    if (owns_copies && items != nullptr)
        for (UINT i = 0; i < count; ++i) delete[] items[i].text;
    delete[] items;
    items = nullptr;
    count = 0;
}

CStringSetter::CStringSetter(std::string& target) : CUnknownSingleThread("CStringSetter"), _target(target) {}

HRESULT CStringSetter::SetString(UINT length, const char* bytes) {
    if (length == 0) {
        _target.clear();
        return S_OK;
    }
    if (bytes == nullptr) return E_POINTER;
    try {
        _target.assign(bytes, length);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

CStringArraySetter::CStringArraySetter(std::vector<std::string>& target)
    : CUnknownSingleThread("CStringArraySetter"), _target(target) {}

HRESULT CStringArraySetter::SetArray(tagSTRING_ARRAY array) {
    if (array.count != 0 && array.items == nullptr) return E_POINTER;
    for (UINT i = 0; i < array.count; ++i)
        if (array.items[i].length != 0 && array.items[i].text == nullptr) return E_POINTER;
    // Build first so a failed allocation leaves the receiver's list as it was.
    try {
        std::vector<std::string> list;
        list.reserve(array.count);
        for (UINT i = 0; i < array.count; ++i)
            list.emplace_back(array.items[i].length != 0 ? array.items[i].text : "", array.items[i].length);
        _target.swap(list);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

}  // namespace asynframe
