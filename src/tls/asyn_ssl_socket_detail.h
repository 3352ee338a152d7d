// What the files of the TLS socket share: its invariant checks and the small
// helpers every path of it uses.
#pragma once

#include <exception>
#include <string>
#include <utility>

#include "component/asyn_io_operation_object.h"
#include "support/assert.h"

// The object's invariants, reported with their own expression texts.
#define ssl_assert(condition, text)                                                                      \
    vortan_assert_text(condition, text, "vortan_assert", ::asynframe::assertion_file_name(__FILE__), __LINE__)

namespace asynframe::ssl_detail {

// A failure raised as a plain (not runtime) exception.
class tls_exception : public std::exception {
public:
    explicit tls_exception(std::string text) : _text(std::move(text)) {}
    const char* what() const noexcept override { return _text.c_str(); }

private:
    std::string _text;
};

std::string result_text(HRESULT hr);

template <class T>
void keep(T*& field, T* value) {
    if (value != nullptr) value->AddRef();
    if (field != nullptr) field->Release();
    field = value;
}

inline CAsynIoOperation* usable(IAsynIoOperation* operation) noexcept {
    CAsynIoOperation* object = CAsynIoOperation::resolve(operation);
    return object != nullptr && !object->busy() && object->engine_operation() != nullptr ? object : nullptr;
}

}  // namespace asynframe::ssl_detail
