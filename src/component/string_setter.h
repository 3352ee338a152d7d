// The module's string out-parameters: a list record that owns or borrows its
// texts, and setter objects bound to a caller's string or list.
#pragma once

#include <string>
#include <vector>

#include "asynframe/strings.h"
#include "component/com_helpers.h"
#include "component/unknown_base.h"

namespace asynframe {

// A tagSTRING_ARRAY built from a list of strings. With owns_copies each non-empty
// text is copied (zero-terminated); without, items point into the source
// strings, which must outlive the record. Empty texts are length 0, null pointer.
struct STRING_ARRAY_EX : tagSTRING_ARRAY {
    STRING_ARRAY_EX(const std::vector<std::string>& strings, bool owns_copies);
    virtual ~STRING_ARRAY_EX();
    STRING_ARRAY_EX(const STRING_ARRAY_EX&) = delete;
    STRING_ARRAY_EX& operator=(const STRING_ARRAY_EX&) = delete;

    bool owns_copies;
};

class CStringSetter final : public com_interfaces<CStringSetter, IStringSetter>, public CUnknownSingleThread {
public:
    // The bound string receives every SetString; it must outlive the object.
    explicit CStringSetter(std::string& target);

    using interfaces = single_interface<IID_IStringSetter, IStringSetter>;
    HRESULT ASYNFRAME_STDCALL SetString(UINT length, const char* bytes) override;

private:
    std::string& _target;
};

class CStringArraySetter final : public com_interfaces<CStringArraySetter, IStringArraySetter>,
                                 public CUnknownSingleThread {
public:
    // The bound list receives every SetArray; it must outlive the object.
    explicit CStringArraySetter(std::vector<std::string>& target);

    using interfaces = single_interface<IID_IStringArraySetter, IStringArraySetter>;
    HRESULT ASYNFRAME_STDCALL SetArray(tagSTRING_ARRAY array) override;

private:
    std::vector<std::string>& _target;
};

}  // namespace asynframe
