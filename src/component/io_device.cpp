#include "component/io_device.h"

#include <new>

#include "engine/asyn_io_manager.h"
#include "engine/asyn_io_operation.h"
#include "platform/error_codes.h"
#include "support/exceptions.h"

namespace asynframe {
namespace {

// Values of a whole-range entry.
enum entry_value : int {
    direction = 0,  // 1 read, 0 write
    initial_start = 1,
    initial_length = 2,
    moved = 3,
    idle_writes = 4,  // zero-byte write steps in a row
    position_low = 5,
    position_high = 6,
};

std::uint64_t entry_position(const layer_entry& entry) {
    return (static_cast<std::uint64_t>(entry.values[position_high]) << 32) | entry.values[position_low];
}

void set_position(CAsynIoOperation* operation, std::uint64_t position) {
    operation->SetPosition(static_cast<DWORD>(position), static_cast<DWORD>(position >> 32));
}

}  // namespace

// ---- CAsynIoDevice ---------------------------------------------------------------

bool CAsynIoDevice::in_dispatch_thread() const noexcept {
    return _singleton != nullptr && _singleton->asyn_io_manager_ptr != nullptr &&
           _singleton->asyn_io_manager_ptr->in_dispatch_thread();
}

HRESULT ASYNFRAME_STDCALL CAsynIoDevice::Read(IAsynIoOperation* operation) { return transfer(operation, true); }

HRESULT ASYNFRAME_STDCALL CAsynIoDevice::Write(IAsynIoOperation* operation) { return transfer(operation, false); }

HRESULT CAsynIoDevice::transfer(IAsynIoOperation* operation, bool read) {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    if (!_open || _device == nullptr) return E_UNEXPECTED;
    CAsynIoOperation* object = CAsynIoOperation::resolve(operation);
    if (object == nullptr || object->busy() || !object->range_valid()) return E_INVALIDARG;

    asyn_io_operation* request = object->engine_operation();
    object->AddRef();  // the request's reference; the completion releases it
    std::uint32_t thrown = 0;
    try {
        if (read)
            _device->read(request);
        else
            _device->write(request);
        return S_OK;
    } catch (const socket_exception& failure) {
        thrown = failure.code();
    } catch (const file_exception& failure) {
        thrown = failure.code();
    } catch (...) {
        // Anything else cannot be reported as a completion: refuse the request.
        request->clear_pending();
        object->Release();
        return E_FAIL;
    }
    request->set_preset_result(thrown, 0);
    if (!request->post()) {
        object->Release();
        return E_FAIL;
    }
    return S_OK;
}

CAsynIoDevice::~CAsynIoDevice() { disable_full_transfers(); }

void CAsynIoDevice::disable_full_transfers() noexcept {
    _full_transfers_off = true;
    CAsynCompleteIoDevice* complete = _complete_device.exchange(nullptr, std::memory_order_acq_rel);
    if (complete == nullptr) return;
    complete->set_inner_device(nullptr);
    complete->Release();
}

HRESULT CAsynIoDevice::full_transfer(IAsynIoOperation* operation, bool read) {
    CAsynCompleteIoDevice* complete = _complete_device.load(std::memory_order_acquire);
    if (complete == nullptr) {
        IAsynIoDevice* face = _full_transfers_off ? nullptr : full_transfer_face();
        if (face == nullptr) return E_NOTIMPL;
        CAsynCompleteIoDevice* made = new (std::nothrow) CAsynCompleteIoDevice();
        if (made == nullptr) return E_OUTOFMEMORY;
        made->set_inner_device(face);
        if (_complete_device.compare_exchange_strong(complete, made, std::memory_order_acq_rel,
                                                     std::memory_order_acquire)) {
            complete = made;
        } else {
            made->set_inner_device(nullptr);
            made->Release();
        }
    }
    return read ? complete->ReadFully(operation) : complete->WriteFully(operation);
}

HRESULT CAsynIoDevice::ReadFully(IAsynIoOperation* operation) { return full_transfer(operation, true); }

HRESULT CAsynIoDevice::WriteFully(IAsynIoOperation* operation) { return full_transfer(operation, false); }

HRESULT ASYNFRAME_STDCALL CAsynIoDevice::Close() {
    if (!in_dispatch_thread()) return E_ACCESSDENIED;
    if (CAsynCompleteIoDevice* complete = _complete_device.load(std::memory_order_acquire))
        complete->drop_transfers();
    if (!_open) return E_UNEXPECTED;
    if (_device != nullptr) _device->close();
    _open = false;
    return S_OK;
}

// ---- CAsynCompleteIoDevice ------------------------------------------------------

CAsynCompleteIoDevice::CAsynCompleteIoDevice() : CUnknownMultiThread("CAsynCompleteIoDevice") {}

CAsynCompleteIoDevice::~CAsynCompleteIoDevice() { drop_transfers(); }

void CAsynCompleteIoDevice::drop_transfers() noexcept {
    _current_read = nullptr;
    _current_write = nullptr;
}

void CAsynCompleteIoDevice::on_layer_cut(CAsynIoOperation* operation, const layer_entry& entry) {
    // The caller closed the operation mid-transfer: the transfer is over, and
    // the device takes the next one.
    drop_current(operation, entry.values[direction] == 1);
}

void CAsynCompleteIoDevice::drop_current(CAsynIoOperation* operation, bool read) noexcept {
    CAsynIoOperation*& current = read ? _current_read : _current_write;
    if (current == operation) current = nullptr;
}

HRESULT CAsynCompleteIoDevice::ReadFully(IAsynIoOperation* operation) { return start(operation, true); }

HRESULT CAsynCompleteIoDevice::WriteFully(IAsynIoOperation* operation) { return start(operation, false); }

HRESULT CAsynCompleteIoDevice::start(IAsynIoOperation* operation, bool read) {
    CAsynIoOperation* object = CAsynIoOperation::resolve(operation);
    // Every refusal comes before anything of the operation or of this device changes.
    if (object != nullptr) {
        const singleton_instance* services = object->singleton();
        if (services == nullptr || services->asyn_io_manager_ptr == nullptr ||
            !services->asyn_io_manager_ptr->in_dispatch_thread())
            return E_ACCESSDENIED;
    }
    if (_inner == nullptr || (read ? _current_read : _current_write) != nullptr) return E_UNEXPECTED;
    if (object == nullptr || object->busy() || !object->range_valid()) return E_INVALIDARG;

    ULONGLONG position = 0;
    object->GetPosition(&position);
    const std::uint32_t values[7] = {read ? 1u : 0u,
                                     object->range_start(),
                                     object->range_length(),
                                     0u,
                                     0u,
                                     static_cast<std::uint32_t>(position),
                                     static_cast<std::uint32_t>(position >> 32)};
    try {
        object->push_layer(this, values);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = read ? _inner->Read(object->face()) : _inner->Write(object->face());
    if (FAILED(hr)) {
        object->pop_layer();
        return hr;
    }
    (read ? _current_read : _current_write) = object;
    return hr;
}

void CAsynCompleteIoDevice::finish(CAsynIoOperation* operation, const layer_entry& entry, DWORD error, DWORD bytes,
                                   std::uint64_t position) {
    operation->SetRange(entry.values[initial_start], entry.values[initial_length]);
    if (asyn_io_operation* request = operation->engine_operation()) request->set_bytes_moved(bytes);
    operation->SetResult(error, bytes);
    set_position(operation, position);
    operation->deliver();
}

void CAsynCompleteIoDevice::on_layer_complete(CAsynIoOperation* operation, layer_entry entry) {
    const bool read = entry.values[direction] == 1;
    const std::uint64_t initial_position = entry_position(entry);
    DWORD error = 0;
    DWORD bytes = 0;
    operation->GetResult(&error, &bytes);
    // The caller (the operation's delivery) holds this layer's entry, and with
    // it this object, until the call returns.
    if (error != 0) {
        drop_current(operation, read);
        finish(operation, entry, error, entry.values[moved], initial_position + entry.values[moved]);
        return;
    }
    entry.values[moved] += bytes;
    if (entry.values[moved] >= entry.values[initial_length]) {
        drop_current(operation, read);
        finish(operation, entry, 0, entry.values[moved], initial_position);
        return;
    }
    if (read && bytes == 0) {
        // End of data: what earlier steps moved is not reported.
        drop_current(operation, read);
        finish(operation, entry, 0, 0, initial_position);
        return;
    }
    if (!read) {
        entry.values[idle_writes] = bytes == 0 ? entry.values[idle_writes] + 1 : 0;
        if (entry.values[idle_writes] >= complete_io_max_idle_writes) {
            // A device that keeps taking writes without moving anything would
            // otherwise hold the transfer forever.
            drop_current(operation, read);
            finish(operation, entry, complete_io_no_progress_error, entry.values[moved],
                   initial_position + entry.values[moved]);
            return;
        }
    }

    if (_inner == nullptr) {
        // The owning socket is gone: nothing may touch it any more.
        drop_current(operation, read);
        finish(operation, entry, errors::operation_aborted, entry.values[moved], initial_position + entry.values[moved]);
        return;
    }
    HRESULT hr = E_OUTOFMEMORY;
    bool pushed = false;
    try {
        operation->push_layer(this, entry.values);
        pushed = true;
    } catch (const std::bad_alloc&) {
    }
    if (pushed) {
        operation->SetRange(entry.values[initial_start] + entry.values[moved],
                            entry.values[initial_length] - entry.values[moved]);
        set_position(operation, initial_position + entry.values[moved]);
        if (asyn_io_operation* request = operation->engine_operation()) request->set_bytes_moved(entry.values[moved]);
        hr = read ? _inner->Read(operation->face()) : _inner->Write(operation->face());
    }
    if (SUCCEEDED(hr)) return;
    drop_current(operation, read);
    if (pushed) operation->pop_layer();
    // A device closed between two pieces ends the transfer as a close does.
    finish(operation, entry, hr == E_UNEXPECTED ? errors::operation_aborted : 0xFFFFFFFFu, entry.values[moved],
           initial_position);
}

}  // namespace asynframe
