// The module as a component server: class objects, the module lock count, the
// download-library plug-in and the registration file.
#pragma once

#include <string>

#include "asynframe/module.h"
#include "component/com_helpers.h"
#include "component/unknown_base.h"

namespace asynframe {

class CAsynFrame;

// Objects alive plus class-object locks; the module may unload at zero.
long module_lock_count() noexcept;

// Creates the plug-in that loads a frame into a host application.
class CDownloadLibPlugin final : public com_interfaces<CDownloadLibPlugin, IDownloadLibPlugin>,
                                 public CUnknownMultiThread {
public:
    CDownloadLibPlugin();

    using interfaces = single_interface<IID_IDownloadLibPlugin, IDownloadLibPlugin>;

    HRESULT ASYNFRAME_STDCALL GetPluginType(LONG* type) override;
    HRESULT ASYNFRAME_STDCALL Initialize(IPluginHost* host) override;
    HRESULT ASYNFRAME_STDCALL Uninitialize() override;
    HRESULT ASYNFRAME_STDCALL CheckState() override;
    virtual ~CDownloadLibPlugin();

private:
    CAsynFrame* _frame = nullptr;
};

// The registration file, on systems without a class registry of their own
// (platform/registration.h): one INI section per class id ("{...}" in upper
// case) with the keys "name" (the class name) and "path" (the file of the
// library that serves it). It lives in the per-user data folder.
std::string registration_file();

}  // namespace asynframe
