// Device layering shared by every device object: the common Read/Write/Close
// (CAsynIoDevice) and the layer that turns short transfers into whole-range
// ones (CAsynCompleteIoDevice).
#pragma once

#include <atomic>
#include <cstdint>

#include "asynframe/device.h"
#include "engine/asyn_io_device.h"
#include "engine/singleton.h"
#include "component/asyn_io_operation_object.h"
#include "component/com_helpers.h"
#include "component/unknown_base.h"

namespace asynframe {

class CAsynCompleteIoDevice;

// Embedded as a base in each object that owns a low-level device (files, TCP,
// UDP and ICMP sockets); their IAsynIoDevice Read, Write, ReadFully, WriteFully
// and Close forward here.
class CAsynIoDevice : public with_singleton {
public:
    explicit CAsynIoDevice(singleton_instance* services) noexcept : with_singleton(services) {}
    virtual ~CAsynIoDevice();
    CAsynIoDevice(const CAsynIoDevice&) = delete;
    CAsynIoDevice& operator=(const CAsynIoDevice&) = delete;

    // Dispatch thread. E_ACCESSDENIED elsewhere, E_UNEXPECTED when not open,
    // E_INVALIDARG for a foreign or busy operation or a range outside its
    // buffer. A device that throws while starting completes the operation with
    // the exception's code instead; the call still answers S_OK.
    // Of the interfaces' calling convention, since the owners' IAsyn* slots
    // of the same names override them.
    virtual HRESULT ASYNFRAME_STDCALL Read(IAsynIoOperation* operation);
    virtual HRESULT ASYNFRAME_STDCALL Write(IAsynIoOperation* operation);
    // Also ends the whole-range transfers in progress.
    virtual HRESULT ASYNFRAME_STDCALL Close();
    // Whole-range transfers over the object's own Read and Write.
    HRESULT ReadFully(IAsynIoOperation* operation);
    HRESULT WriteFully(IAsynIoOperation* operation);

    bool is_open() const noexcept { return _open; }
    void set_open(bool open) noexcept { _open = open; }
    asyn_io_device* device() const noexcept { return _device; }
    void set_device(asyn_io_device* device) noexcept { _device = device; }

protected:
    bool in_dispatch_thread() const noexcept;
    // The owner's own IAsynIoDevice, which whole-range transfers use; null
    // when the owner offers none.
    virtual IAsynIoDevice* full_transfer_face() noexcept { return nullptr; }
    // The owner's destructor, first: later pieces of a transfer find no device.
    void disable_full_transfers() noexcept;

    bool _open = false;
    // Set by disable_full_transfers: no whole-range device is made afterwards.
    bool _full_transfers_off = false;
    asyn_io_device* _device = nullptr;

private:
    HRESULT transfer(IAsynIoOperation* operation, bool read);
    HRESULT full_transfer(IAsynIoOperation* operation, bool read);

    // Made by the first whole-range transfer: most devices never ask for one.
    // Atomic because the call that makes it may come from any thread (it
    // refuses there, but only once it exists).
    std::atomic<CAsynCompleteIoDevice*> _complete_device{nullptr};
};

// Error reported by a whole-range write whose device keeps accepting requests
// but moves nothing (ERROR_WRITE_FAULT), after this many such steps in a row.
inline constexpr DWORD complete_io_no_progress_error = 29;
inline constexpr std::uint32_t complete_io_max_idle_writes = 8;

// Re-issues reads or writes on the inner device until the whole range moved,
// an error occurred or a read found the end of the data. One transfer per
// direction at a time. Used on the dispatch thread, but the owner's last
// reference may go on any thread while a completion still holds one, so the
// count is interlocked.
class CAsynCompleteIoDevice final : public com_interfaces<CAsynCompleteIoDevice, CAsynIoOperationLayer>,
                                    public CUnknownMultiThread {
public:
    CAsynCompleteIoDevice();

    using interfaces = interface_table<interface_entry<IID_IUnknown, CAsynIoOperationLayer>>;

    void on_layer_complete(CAsynIoOperation* operation, layer_entry entry) override;
    void on_layer_cut(CAsynIoOperation* operation, const layer_entry& entry) override;

    // Dispatch thread (E_ACCESSDENIED elsewhere); a refused call leaves the
    // operation and the device as they were. E_UNEXPECTED without an inner device or while a transfer of the same
    // direction runs; E_INVALIDARG for a foreign or busy operation or a range
    // outside its buffer; else the inner device's answer. A piece that cannot be
    // re-issued because the owner closed or released the device ends the
    // transfer with 995.
    HRESULT ReadFully(IAsynIoOperation* operation);
    HRESULT WriteFully(IAsynIoOperation* operation);

    // Set by the owner right after creation; not owned.
    void set_inner_device(IAsynIoDevice* device) noexcept { _inner = device; }
    // The owner's close: forget the transfers in progress (their completions
    // still finish them).
    void drop_transfers() noexcept;

    bool reading() const noexcept { return _current_read != nullptr; }
    bool writing() const noexcept { return _current_write != nullptr; }

private:
    ~CAsynCompleteIoDevice() override;

    HRESULT start(IAsynIoOperation* operation, bool read);
    void drop_current(CAsynIoOperation* operation, bool read) noexcept;
    static void finish(CAsynIoOperation* operation, const layer_entry& entry, DWORD error, DWORD bytes,
                       std::uint64_t position);

    IAsynIoDevice* _inner = nullptr;
    // The transfer of each direction, not referenced: its layer entry holds
    // the operation until the transfer ends, which clears these first.
    CAsynIoOperation* _current_read = nullptr;
    CAsynIoOperation* _current_write = nullptr;
};

}  // namespace asynframe
