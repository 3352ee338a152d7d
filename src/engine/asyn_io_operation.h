// One asynchronous request: the platform block the backend completes, the data
// buffer, the result and the handler told on the dispatch thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/singleton.h"
#include "platform/io_backend.h"

namespace asynframe {

struct IAsynIoOperation;
class asyn_io_handler_base;
class asyn_io_handler;
class asyn_io_device;

// The platform block, first in every operation's own part: the backend hands
// it back and the engine recovers the operation by a fixed displacement.
struct overlapped_ex : platform::io_block {};

// One page of a scatter/gather file request, widened to 64 bits.
struct segment_element {
    std::uint64_t address = 0;
};
static_assert(sizeof(segment_element) == 8);

namespace operation_type {
inline constexpr std::int32_t quit_marker = -1;
inline constexpr std::int32_t connect = 1;
inline constexpr std::int32_t receive = 2;
inline constexpr std::int32_t send = 3;
inline constexpr std::int32_t accept = 4;
inline constexpr std::int32_t file_create = 101;
inline constexpr std::int32_t file_read = 102;
inline constexpr std::int32_t file_write = 103;
inline constexpr std::int32_t file_flush = 104;
inline constexpr std::int32_t file_resize = 105;
inline constexpr std::int32_t file_scatter_read = 106;
inline constexpr std::int32_t file_gather_write = 107;
inline constexpr std::int32_t dns_resolution = 201;
inline constexpr std::int32_t frame_message = 0x33339999;
}  // namespace operation_type

// The run-time cast of a handler to the component operation interface. The
// component layer installs it (the engine does not see component interfaces);
// until then every operation's interface is null.
using operation_iface_resolver_fn = IAsynIoOperation* (*)(asyn_io_handler_base* handler) noexcept;
extern operation_iface_resolver_fn operation_iface_resolver;


class asyn_io_operation : public with_singleton, public overlapped_ex {
public:
    // For a plain handler (the component operation object): not registered anywhere.
    asyn_io_operation(singleton_instance* instance, asyn_io_handler_base* handler, std::uint32_t buffer_size);
    // For an owning handler: appended to its list of operations.
    asyn_io_operation(singleton_instance* instance, asyn_io_handler* handler, std::uint32_t buffer_size);
    virtual ~asyn_io_operation();

    asyn_io_operation(const asyn_io_operation&) = delete;
    asyn_io_operation& operator=(const asyn_io_operation&) = delete;

    static asyn_io_operation* from_overlapped(platform::io_block* block) noexcept {
        return static_cast<asyn_io_operation*>(static_cast<overlapped_ex*>(block));
    }
    platform::io_block& overlapped() noexcept { return *this; }

    // Atomic because a handler destroyed on a host thread reads it there.
    bool is_pending() const noexcept { return _is_pending.load(std::memory_order_acquire); }
    // Devices mark an operation pending before starting a request and clear the
    // flag again when the request is refused.
    void mark_pending() noexcept { _is_pending.store(true, std::memory_order_release); }
    void clear_pending() noexcept { _is_pending.store(false, std::memory_order_release); }

    asyn_io_handler_base* handdler_ptr() const noexcept { return _handler.load(std::memory_order_acquire); }
    // The component face of the handler, when it is an operation object; null otherwise.
    IAsynIoOperation* operation_iface() const noexcept;

    platform::native_handle operate_handle() const noexcept { return _operate_handle; }
    void set_operate_handle(platform::native_handle handle) noexcept { _operate_handle = handle; }

    std::int32_t get_operation_type() const noexcept { return _operation_type; }
    void set_operation_type(std::int32_t type) noexcept { _operation_type = type; }

    bool result_preset() const noexcept { return _result_preset; }
    std::uint32_t preset_error() const noexcept { return _preset_error; }
    std::uint32_t preset_bytes() const noexcept { return _preset_bytes; }
    void set_result_preset(bool preset) noexcept { _result_preset = preset; }
    // Sets the flag together with the framework-decided outcome.
    void set_preset_result(std::uint32_t error, std::uint32_t bytes) noexcept {
        _result_preset = true;
        _preset_error = error;
        _preset_bytes = bytes;
    }

    std::uint8_t* buffer() const noexcept { return _buffer; }
    std::uint32_t buffer_len() const noexcept { return _buffer_len; }
    std::uint32_t buffer_capacity() const noexcept { return _buffer_capacity; }
    std::uint8_t* resize_buffer(std::uint32_t size) noexcept;
    void free_buffer() noexcept;

    // The request's range: the file position and the part of the buffer a
    // device moves. Devices read it here; layered devices re-issue pieces of a
    // request by changing it. The backend's block carries none of it.
    void set_position(std::uint32_t low, std::uint32_t high) noexcept {
        _position = (static_cast<std::uint64_t>(high) << 32) | low;
    }
    void set_position(std::uint64_t position) noexcept { _position = position; }
    std::uint64_t get_position() const noexcept { return _position; }
    void set_range(std::uint32_t start, std::uint32_t length) noexcept {
        _range_start = start;
        _range_length = length;
    }
    std::uint32_t range_start() const noexcept { return _range_start; }
    std::uint32_t range_length() const noexcept { return _range_length; }
    // Bytes a layered device has moved so far for the caller's whole request.
    std::uint32_t bytes_moved() const noexcept { return _bytes_moved; }
    void set_bytes_moved(std::uint32_t bytes) noexcept { _bytes_moved = bytes; }

    segment_element* segments() const noexcept { return _scatter ? _scatter->segments : nullptr; }
    std::uint32_t segments_num() const noexcept { return _scatter ? _scatter->segments_num : 0; }
    std::uint32_t segments_capacity() const noexcept { return _scatter ? _scatter->segments_capacity : 0; }
    segment_element* set_segments_num(std::uint32_t segments_num);
    // Room for the vector of a scatter or gather request, kept by the
    // operation until the request is done. Null when it cannot be made.
    platform::buffer_span* span_storage(std::uint32_t count) noexcept;
    void free_segments() noexcept;

    // The datagram's target or source, or the peer an accept found.
    platform::endpoint& address() noexcept { return _address; }

    asyn_io_device* attached_device() const noexcept { return _device; }
    void attach_device(asyn_io_device* device);
    asyn_io_device* take_device() noexcept;

    void detach_handler() noexcept;
    void reset(asyn_io_handler_base* handler);

    // Hands the operation to the engine without kernel I/O; false when the
    // engine could not take it (the operation is then not pending).
    bool post();
    bool get_result(std::uint32_t& bytes, std::uint32_t& error) const noexcept;
    // The dispatch step for a finished pending operation (dispatch thread).
    void complete();

private:
    void close_device() noexcept;
    void cancel_timeout() noexcept;

    // The pages of a scatter/gather file request and the vector handed to the
    // system for them. Only file operations use them, so they are made on
    // first use rather than carried by every operation.
    struct scatter_state {
        ~scatter_state() { delete[] segments; }
        std::unique_ptr<platform::buffer_span[]> spans;
        segment_element* segments = nullptr;
        std::uint32_t span_capacity = 0;
        std::uint32_t segments_capacity = 0;
        std::uint32_t segments_num = 0;
    };

    // Widest first, so that the fields pack without holes.
    // Cleared by a handler that goes, possibly on a host thread.
    std::atomic<asyn_io_handler_base*> _handler{nullptr};
    platform::native_handle _operate_handle = platform::invalid_handle;
    std::uint8_t* _buffer = nullptr;
    asyn_io_device* _device = nullptr;
    std::unique_ptr<scatter_state> _scatter;
    std::uint64_t _position = 0;
    std::uint32_t _preset_error = 0;
    std::uint32_t _preset_bytes = 0;
    std::int32_t _operation_type = 0;
    std::uint32_t _buffer_capacity = 0;
    std::uint32_t _buffer_len = 0;
    std::uint32_t _range_start = 0;
    std::uint32_t _range_length = 0;
    std::uint32_t _bytes_moved = 0;
    platform::endpoint _address;
    bool _result_preset = false;
    std::atomic<bool> _is_pending{false};
};

}  // namespace asynframe
