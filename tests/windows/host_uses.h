// What a Windows host does with the public headers, included after
// <windows.h> and asynframe/asynframe.h in either order: the system's types,
// result codes and IUnknown serve both, and no slot name is rewritten by a
// system macro.
#pragma once

#include <cstdint>

#include "asynframe/com_helpers.h"

namespace {

[[maybe_unused]] HRESULT use_the_interfaces(asynframe::IAsynIoOperationObject* operation, IUnknown* any) {
    void* object = nullptr;
    const HRESULT hr = operation->GetImplementation(&object);
    if (FAILED(hr) || any == nullptr) return E_FAIL;
    return any->QueryInterface(asynframe::IID_IAsynFrame, &object) == S_OK ? S_OK : E_NOINTERFACE;
}

// The host helpers over the system's IUnknown: a pointer, a table-driven
// sink and the settings provider.
class host_timer_sink final : public asynframe::com_interfaces<host_timer_sink, asynframe::IAsynTimerEvents>,
                              public asynframe::atomic_ref_count {
public:
    using interfaces = asynframe::single_interface<asynframe::IID_IAsynTimerEvents, asynframe::IAsynTimerEvents>;
    HRESULT ASYNFRAME_STDCALL OnTimer(DWORD) override { return S_OK; }
};

[[maybe_unused]] HRESULT use_the_helpers(asynframe::IAsynFrame* frame) {
    asynframe::ref_ptr<host_timer_sink> sink(new host_timer_sink);
    asynframe::ref_ptr<asynframe::completion_sink> completions(new asynframe::completion_sink);
    asynframe::map_settings settings;
    settings.set("system", "force_win98", std::uint32_t{1});
    asynframe::ref_ptr<asynframe::IAsynIoOperation> operation;
    if (frame->CreateOperation(completions.get(), operation.put()) != S_OK) return E_FAIL;
    return frame->SetTimer(sink.get(), 1, 100, 0);
}

// The file flags of IAsynFile::Open are the system's own.
[[maybe_unused]] constexpr DWORD open_flags = GENERIC_READ | FILE_SHARE_READ | FILE_FLAG_OVERLAPPED;

}  // namespace
