#include "engine/asyn_io_operation.h"

#include <cstring>
#include <limits>
#include <new>

#include "engine/asyn_io_device.h"
#include "engine/asyn_io_handler.h"
#include "engine/asyn_io_manager.h"
#include "platform/error_codes.h"
#include "platform/errors.h"
#include "support/assert.h"

namespace asynframe {

operation_iface_resolver_fn operation_iface_resolver = nullptr;

namespace {

IAsynIoOperation* operation_face_of(asyn_io_handler_base* handler) noexcept;

}  // namespace

asyn_io_operation::asyn_io_operation(singleton_instance* instance, asyn_io_handler_base* handler,
                                     std::uint32_t buffer_size)
    : with_singleton(instance), _handler(handler) {
    if (buffer_size != 0) {
        _buffer = new std::uint8_t[buffer_size];
        _buffer_capacity = _buffer_len = buffer_size;
    }
}

asyn_io_operation::asyn_io_operation(singleton_instance* instance, asyn_io_handler* handler,
                                     std::uint32_t buffer_size)
    : with_singleton(instance), _handler(handler) {
    if (buffer_size != 0) {
        _buffer = new std::uint8_t[buffer_size];
        _buffer_capacity = _buffer_len = buffer_size;
    }
    if (handler != nullptr) {
        try {
            handler->add_operation(this);
        } catch (...) {
            delete[] _buffer;
            throw;
        }
    }
}

asyn_io_operation::~asyn_io_operation() {
    vortan_assert_text(!is_pending(), "_is_pending == false", "vortan_assert", "asyn_io_operation", 101);
    delete[] _buffer;
    close_device();
}

std::uint8_t* asyn_io_operation::resize_buffer(std::uint32_t size) noexcept {
    if (size == 0) {
        free_buffer();
        return nullptr;
    }
    if (size > _buffer_capacity) {
        delete[] _buffer;
        _buffer = new (std::nothrow) std::uint8_t[size];
        if (_buffer == nullptr) {
            _buffer_capacity = _buffer_len = 0;
            return nullptr;
        }
        _buffer_capacity = size;
    }
    _buffer_len = size;
    return _buffer;
}

void asyn_io_operation::free_buffer() noexcept {
    delete[] _buffer;
    _buffer = nullptr;
    _buffer_capacity = _buffer_len = 0;
}

segment_element* asyn_io_operation::set_segments_num(std::uint32_t segments_num) {
    vortan_assert_text(segments_num != 0, "segments_num != 0", "vortan_assert", "asyn_io_operation", 286);
    if (!_scatter) _scatter = std::make_unique<scatter_state>();
    scatter_state& scatter = *_scatter;
    if (segments_num > scatter.segments_capacity) {
        delete[] scatter.segments;
        scatter.segments = nullptr;
        scatter.segments_capacity = 0;
        scatter.segments_num = 0;
        // n + 1 overflowing 32 bits asks for the largest size, which the allocator refuses.
        const std::size_t elements = segments_num == std::numeric_limits<std::uint32_t>::max()
                                         ? std::numeric_limits<std::size_t>::max() / sizeof(segment_element)
                                         : static_cast<std::size_t>(segments_num) + 1;
        scatter.segments = new segment_element[elements]();
        scatter.segments_capacity = segments_num;
    }
    scatter.segments_num = segments_num;
    return scatter.segments;
}

void asyn_io_operation::free_segments() noexcept {
    if (!_scatter) return;
    delete[] _scatter->segments;
    _scatter->segments = nullptr;
    _scatter->segments_capacity = _scatter->segments_num = 0;
}

void asyn_io_operation::close_device() noexcept {
    if (_device == nullptr) return;
    asyn_io_device* device = _device;
    _device = nullptr;
    try {
        device->close();
    } catch (...) {
        // A device that fails to close is still deleted.
    }
    delete device;
}

void asyn_io_operation::attach_device(asyn_io_device* device) {
    close_device();
    _device = device;
}

asyn_io_device* asyn_io_operation::take_device() noexcept {
    asyn_io_device* device = _device;
    _device = nullptr;
    return device;
}

void asyn_io_operation::cancel_timeout() noexcept {
    if (_singleton != nullptr && _singleton->asyn_io_manager_ptr != nullptr)
        _singleton->asyn_io_manager_ptr->cancel_operation_timeout(this);
}

void asyn_io_operation::detach_handler() noexcept {
    // The engine's time-outs belong to the dispatch thread; an operation
    // orphaned elsewhere loses its time-out when it completes.
    if (_singleton != nullptr && _singleton->asyn_io_manager_ptr != nullptr &&
        _singleton->asyn_io_manager_ptr->in_dispatch_thread())
        cancel_timeout();
    // Last: from here on the engine may delete this operation on another thread.
    _handler.store(nullptr, std::memory_order_release);
}

void asyn_io_operation::reset(asyn_io_handler_base* handler_ptr) {
    vortan_assert_text(dynamic_cast<asyn_io_handler*>(handler_ptr) == NULL,
                       "dynamic_cast<asyn_io_handler*>(handler_ptr) == NULL", "vortan_assert", "asyn_io_operation",
                       328);
    _buffer_len = 0;
    _operate_handle = platform::invalid_handle;
    close_device();
    clear_pending();
    _operation_type = 0;
    _address = platform::endpoint{};
    clear_request();
    _position = 0;
    _range_start = _range_length = _bytes_moved = 0;
    _result_preset = false;
    _preset_error = 0;
    _preset_bytes = 0;
    if (_scatter) _scatter->segments_num = 0;
    _handler.store(handler_ptr, std::memory_order_release);
}

IAsynIoOperation* asyn_io_operation::operation_iface() const noexcept {
    // Asked for only by the connection scheduler, so worked out rather than kept.
    return operation_face_of(handdler_ptr());
}

bool asyn_io_operation::post() {
    if (_singleton == nullptr || _singleton->asyn_io_manager_ptr == nullptr) return false;
    return _singleton->asyn_io_manager_ptr->post(this);
}

platform::buffer_span* asyn_io_operation::span_storage(std::uint32_t count) noexcept {
    if (!_scatter) {
        _scatter.reset(new (std::nothrow) scatter_state);
        if (!_scatter) return nullptr;
    }
    scatter_state& scatter = *_scatter;
    if (count > scatter.span_capacity) {
        scatter.spans.reset(new (std::nothrow) platform::buffer_span[count]);
        scatter.span_capacity = scatter.spans ? count : 0;
    }
    return scatter.spans.get();
}

bool asyn_io_operation::get_result(std::uint32_t& bytes, std::uint32_t& error) const noexcept {
    if (_result_preset) {
        bytes = _preset_bytes;
        error = _preset_error;
        return error == 0;
    }
    // The backend gave the outcome in the library's code space already.
    bytes = this->bytes;
    error = this->error;
    if (error != 0) return false;
    // A stream send that moved nothing means the peer is gone; an empty
    // datagram is a legitimate message and stays a success.
    if (bytes == 0 && _operation_type == operation_type::send && kind != platform::io_kind::send_to) {
        error = errors::peer_closed;
        return false;
    }
    return true;
}

void asyn_io_operation::complete() {
    cancel_timeout();
    if (asyn_io_handler_base* handler = handdler_ptr()) {
        clear_pending();
        handler->on_io_complete(this);
        return;
    }
    clear_pending();
    delete this;
}

namespace {

IAsynIoOperation* operation_face_of(asyn_io_handler_base* handler) noexcept {
    return operation_iface_resolver != nullptr ? operation_iface_resolver(handler) : nullptr;
}

}  // namespace

}  // namespace asynframe
