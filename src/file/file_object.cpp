#include "file/file_object.h"

#include <string>

#include "engine/asyn_io_operation.h"
#include "file/file_asyn_io_helper.h"
#include "support/exceptions.h"

namespace asynframe {
namespace {

// A request that could not be started completes with the code instead; the
// request's reference goes with the completion.
void fail_started_request(CAsynIoOperation* object, std::uint32_t code) {
    asyn_io_operation* request = object->engine_operation();
    request->set_preset_result(code, 0);
    if (!request->post()) object->Release();
}

}  // namespace

CAsynFile::CAsynFile(singleton_instance* services) : CAsynIoDevice(services), CUnknownMultiThread("CAsynFile") {}

CAsynFile::~CAsynFile() {
    disable_full_transfers();
    close_device();
}

void CAsynFile::close_device() noexcept {
    if (!_file_device) return;
    _device = nullptr;
    if (_singleton != nullptr && _singleton->file_asyn_io_helper_ptr != nullptr)
        _singleton->file_asyn_io_helper_ptr->cancel_handle(_file_device->handle());
    _file_device.reset();
}

HRESULT CAsynFile::Read(IAsynIoOperation* operation) { return CAsynIoDevice::Read(operation); }

HRESULT CAsynFile::Write(IAsynIoOperation* operation) { return CAsynIoDevice::Write(operation); }

HRESULT CAsynFile::Close() {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    // Requests the helper still holds for the descriptor end with 995 before
    // it is closed, so none can reach a file that later gets its number.
    if (_open && _file_device && _singleton != nullptr && _singleton->file_asyn_io_helper_ptr != nullptr)
        _singleton->file_asyn_io_helper_ptr->cancel_handle(_file_device->handle());
    const HRESULT hr = CAsynIoDevice::Close();
    if (hr != S_OK) return hr;
    close_device();
    return S_OK;
}

HRESULT CAsynFile::Open(DWORD name_length, const char* name, DWORD desired_access, DWORD share_mode,
                        DWORD creation_disposition, DWORD flags_and_attributes) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    if (name_length == 0 || name == nullptr) return E_INVALIDARG;
    if (_open) return E_UNEXPECTED;
    std::unique_ptr<asyn_file_device> device;
    try {
        device = asyn_file_device::open_file(_singleton, std::string(name, name_length), desired_access, share_mode,
                                             creation_disposition, flags_and_attributes);
    } catch (...) {
        // The ring refused the descriptor (the device closed it): the file
        // cannot be used asynchronously.
        return E_FAIL;
    }
    if (!device) return E_FAIL;
    _file_device = std::move(device);
    _device = _file_device.get();
    _open = true;
    return S_OK;
}

HRESULT CAsynFile::Flush(IAsynIoOperation* operation) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    if (!_open || !_file_device) return E_UNEXPECTED;
    CAsynIoOperation* object = CAsynIoOperation::resolve(operation);
    if (object == nullptr || object->busy() || object->engine_operation() == nullptr) return E_INVALIDARG;
    object->AddRef();  // released when the completion is delivered
    try {
        _file_device->flush(object->engine_operation());
    } catch (const file_exception& failure) {
        fail_started_request(object, failure.code());
    }
    return S_OK;
}

HRESULT CAsynFile::SetLength(DWORD low, DWORD high) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    if (low == 0 && high == 0) return E_INVALIDARG;
    if (!_open || !_file_device) return E_UNEXPECTED;
    try {
        _file_device->set_length(low, high);
    } catch (const file_exception&) {
        return E_FAIL;
    }
    return S_OK;
}

HRESULT CAsynFile::GetLength(ULONGLONG* length) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    if (length == nullptr) return E_INVALIDARG;
    if (!_open || !_file_device) return E_UNEXPECTED;
    try {
        *length = _file_device->length();
    } catch (const file_exception&) {
        *length = 0;
        return E_FAIL;
    }
    return S_OK;
}

HRESULT CAsynFile::ReadScatter(IAsynIoOperation* operation) { return page_request(operation, true); }

HRESULT CAsynFile::WriteGather(IAsynIoOperation* operation) { return page_request(operation, false); }

HRESULT CAsynFile::page_request(IAsynIoOperation* operation, bool read) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    if (!_open || !_file_device) return E_UNEXPECTED;
    CAsynIoOperation* object = CAsynIoOperation::resolve(operation);
    if (object == nullptr || object->busy()) return E_INVALIDARG;
    asyn_io_operation* request = object->engine_operation();
    if (request == nullptr || request->segments_num() == 0 || request->segments() == nullptr) return E_INVALIDARG;
    // A selected segment past the last would move nothing: refused too.
    if (object->selected_segment() >= request->segments_num()) return E_INVALIDARG;
    object->AddRef();
    try {
        if (read)
            _file_device->fast_read(request, object->selected_segment());
        else
            _file_device->fast_write(request, object->selected_segment());
    } catch (const file_exception& failure) {
        fail_started_request(object, failure.code());
    }
    return S_OK;
}

}  // namespace asynframe
