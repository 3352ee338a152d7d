// The component object through which a host works with one file: plain and
// whole-range reads and writes at each operation's position, scatter reads
// and gather writes of pages, flushes, and the file's length. Every method
// but ReadFully and WriteFully refuses callers off the dispatch thread.
#pragma once

#include <memory>

#include "asynframe/file.h"
#include "component/io_device.h"
#include "component/com_helpers.h"
#include "component/unknown_base.h"
#include "file/asyn_file_device.h"

namespace asynframe {

class CAsynFile final : public com_interfaces<CAsynFile, IAsynFile>, public CAsynIoDevice, public CUnknownMultiThread {
public:
    explicit CAsynFile(singleton_instance* services);

    using interfaces = interface_table<interface_entry<IID_IUnknown, IAsynFile>,
                                       interface_entry<IID_IAsynIoDevice, IAsynFile>,
                                       interface_entry<IID_IAsynFile, IAsynFile>>;

    HRESULT ASYNFRAME_STDCALL Read(IAsynIoOperation* operation) override;
    HRESULT ASYNFRAME_STDCALL Write(IAsynIoOperation* operation) override;
    HRESULT ASYNFRAME_STDCALL ReadFully(IAsynIoOperation* operation) override {
        return CAsynIoDevice::ReadFully(operation);
    }
    HRESULT ASYNFRAME_STDCALL WriteFully(IAsynIoOperation* operation) override {
        return CAsynIoDevice::WriteFully(operation);
    }
    HRESULT ASYNFRAME_STDCALL Close() override;

    HRESULT ASYNFRAME_STDCALL Open(DWORD name_length, const char* name, DWORD desired_access, DWORD share_mode,
                                   DWORD creation_disposition, DWORD flags_and_attributes) override;
    HRESULT ASYNFRAME_STDCALL Flush(IAsynIoOperation* operation) override;
    HRESULT ASYNFRAME_STDCALL SetLength(DWORD low, DWORD high) override;
    HRESULT ASYNFRAME_STDCALL GetLength(ULONGLONG* length) override;
    HRESULT ASYNFRAME_STDCALL ReadScatter(IAsynIoOperation* operation) override;
    HRESULT ASYNFRAME_STDCALL WriteGather(IAsynIoOperation* operation) override;

    asyn_file_device* file_device() const noexcept { return _file_device.get(); }

private:
    // A file still open when the last reference goes is closed: its
    // descriptor would otherwise leak.
    ~CAsynFile() override;
    IAsynIoDevice* full_transfer_face() noexcept override { return static_cast<IAsynFile*>(this); }
    HRESULT page_request(IAsynIoOperation* operation, bool read);
    // Closes the descriptor once the file helper holds nothing for it.
    void close_device() noexcept;

    std::unique_ptr<asyn_file_device> _file_device;
};

}  // namespace asynframe
