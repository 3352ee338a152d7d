// What a Windows host does with the public headers, included after
// <windows.h> and asynframe/asynframe.h in either order: the system's types,
// result codes and IUnknown serve both, and no slot name is rewritten by a
// system macro.
#pragma once

namespace {

[[maybe_unused]] HRESULT use_the_interfaces(asynframe::IAsynIoOperationObject* operation, IUnknown* any) {
    void* object = nullptr;
    const HRESULT hr = operation->GetImplementation(&object);
    if (FAILED(hr) || any == nullptr) return E_FAIL;
    return any->QueryInterface(asynframe::IID_IAsynFrame, &object) == S_OK ? S_OK : E_NOINTERFACE;
}

// The file flags of IAsynFile::Open are the system's own.
[[maybe_unused]] constexpr DWORD open_flags = GENERIC_READ | FILE_SHARE_READ | FILE_FLAG_OVERLAPPED;

}  // namespace
