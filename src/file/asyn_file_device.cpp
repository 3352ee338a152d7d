#include "file/asyn_file_device.h"

#include <utility>

#include "engine/asyn_io_manager.h"
#include "engine/asyn_io_operation.h"
#include "file/file_asyn_io_helper.h"
#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/io_backend.h"
#include "support/assert.h"
#include "support/exceptions.h"

namespace asynframe {
namespace {

constexpr std::uint32_t no_buffering_flag = 0x20000000u;

void check_not_pending(asyn_io_operation* operation, int line) {
    vortan_assert_text(operation->is_pending() == false, "operation_ptr->is_pending() == false", "vortan_assert",
                       "asyn_file_device", line);
}

file_asyn_io_helper& helper_of(singleton_instance* instance) {
    if (instance == nullptr || instance->file_asyn_io_helper_ptr == nullptr)
        throw file_exception("file helper not available", errors::not_supported);
    return *instance->file_asyn_io_helper_ptr;
}

}  // namespace

asyn_file_device::~asyn_file_device() { close(); }

std::unique_ptr<asyn_file_device> asyn_file_device::open_file(singleton_instance* instance, const std::string& name,
                                                              std::uint32_t desired_access, std::uint32_t,
                                                              std::uint32_t creation_disposition,
                                                              std::uint32_t flags_and_attributes,
                                                              std::uint32_t* error) {
    auto device = std::make_unique<asyn_file_device>(instance);
    // The helper thread does plain blocking transfers: no alignment rules there.
    if (!device->use_completion_port()) flags_and_attributes &= ~no_buffering_flag;
    platform::fs::handle handle = platform::fs::invalid_handle;
    const std::uint32_t code =
        platform::fs::open_like_windows(name, desired_access, creation_disposition, flags_and_attributes, handle);
    if (error != nullptr) *error = code;
    if (code != 0) return nullptr;
    device->set_handle(handle);
    return device;
}

void asyn_file_device::set_handle(platform::fs::handle handle) {
    close();
    _handle = handle;
    associate_to_manager();
}

void asyn_file_device::close() {
    if (_handle == platform::fs::invalid_handle) return;
    // The ring takes its own hold of the file only once a request is
    // submitted: what this thread queued must go in before the descriptor
    // does, or it would fail as a bad handle.
    if (use_completion_port() && _singleton->asyn_io_manager_ptr->in_dispatch_thread()) io_port()->submit();
    platform::fs::close(std::exchange(_handle, platform::fs::invalid_handle));
}

void asyn_file_device::associate_to_manager() {
    if (!use_completion_port()) return;
    asyn_io_device::associate_to_manager();
}

void asyn_file_device::start_transfer(asyn_io_operation* operation, std::uint32_t expected_bytes,
                                      std::uint32_t buffer_pos, bool receive) {
    check_not_pending(operation, receive ? 140 : 203);
    operation->set_operate_handle(_handle);
    operation->set_operation_type(receive ? operation_type::file_read : operation_type::file_write);
    operation->mark_pending();
    if (!use_completion_port()) {
        operation->set_preset_result(0, 0);
        helper_of(_singleton).queue_io(operation, expected_bytes, buffer_pos);
        return;
    }
    operation->set_result_preset(false);
    platform::io_backend& port = *io_port();
    std::uint8_t* buffer = operation->buffer() + buffer_pos;
    const std::uint32_t code =
        receive ? port.start_read(_handle, buffer, expected_bytes, operation->get_position(), *operation)
                : port.start_write(_handle, buffer, expected_bytes, operation->get_position(), *operation);
    if (code != 0) {
        operation->clear_pending();
        throw file_exception(receive ? "file read error" : "file write error", code);
    }
}

void asyn_file_device::fast_read(asyn_io_operation* operation, std::uint32_t first_segment) {
    scatter_gather(operation, first_segment, true);
}

void asyn_file_device::fast_write(asyn_io_operation* operation, std::uint32_t first_segment) {
    scatter_gather(operation, first_segment, false);
}

void asyn_file_device::scatter_gather(asyn_io_operation* operation, std::uint32_t first_segment, bool read) {
    check_not_pending(operation, read ? 259 : 313);
    operation->set_operate_handle(_handle);
    operation->set_operation_type(read ? operation_type::file_scatter_read : operation_type::file_gather_write);
    operation->mark_pending();
    const std::uint32_t page = platform::fs::page_size();
    const std::uint32_t count = operation->segments_num() > first_segment ? operation->segments_num() - first_segment : 0;
    const std::uint32_t length = count * page;
    if (!use_completion_port()) {
        operation->set_preset_result(0, 0);
        helper_of(_singleton).queue_io(operation, length, 0);
        return;
    }
    operation->set_result_preset(false);
    platform::buffer_span* pieces = operation->span_storage(count);
    std::uint32_t code = pieces == nullptr ? errors::not_enough_memory : 0;
    if (code == 0) {
        for (std::uint32_t i = 0; i < count; ++i) {
            pieces[i].data = reinterpret_cast<void*>(
                static_cast<std::uintptr_t>(operation->segments()[first_segment + i].address));
            pieces[i].length = page;
        }
        platform::io_backend& port = *io_port();
        code = read ? port.start_read_scatter(_handle, pieces, static_cast<int>(count), operation->get_position(),
                                              *operation)
                    : port.start_write_gather(_handle, pieces, static_cast<int>(count), operation->get_position(),
                                              *operation);
    }
    if (code != 0) {
        operation->clear_pending();
        throw file_exception(read ? "fast read error" : "fast write error", code);
    }
}

void asyn_file_device::flush(asyn_io_operation* operation) {
    check_not_pending(operation, 125);
    operation->set_preset_result(0, 0);
    operation->set_operate_handle(_handle);
    operation->set_operation_type(operation_type::file_flush);
    operation->mark_pending();
    try {
        helper_of(_singleton).queue_flush(operation);
    } catch (...) {
        operation->clear_pending();
        throw;
    }
}

void asyn_file_device::by_path(asyn_io_operation* operation, std::int32_t type, std::uint32_t size_low,
                               std::uint32_t size_high, const std::string& path, int line) {
    check_not_pending(operation, line);
    operation->set_preset_result(0, 0);
    operation->set_operation_type(type);
    operation->mark_pending();
    try {
        helper_of(_singleton).queue_create(operation, size_low, size_high, path);
    } catch (...) {
        operation->clear_pending();
        throw;
    }
}

void asyn_file_device::create_file(asyn_io_operation* operation, std::uint32_t size_low, std::uint32_t size_high,
                                   const std::string& path) {
    by_path(operation, operation_type::file_create, size_low, size_high, path, 50);
}

void asyn_file_device::resize_file(asyn_io_operation* operation, std::uint32_t size_low, std::uint32_t size_high,
                                   const std::string& path) {
    by_path(operation, operation_type::file_resize, size_low, size_high, path, 72);
}

std::uint64_t asyn_file_device::length() {
    std::uint64_t size = 0;
    if (const std::uint32_t code = platform::fs::size(_handle, size)) throw file_exception("get file length error", code);
    return size;
}

void asyn_file_device::set_length(std::uint32_t low, std::uint32_t high) {
    const std::uint64_t size = (static_cast<std::uint64_t>(high) << 32) | low;
    if (_handle == platform::fs::invalid_handle)
        throw file_exception("set file pos error", errors::invalid_handle);
    if (const std::uint32_t code = platform::fs::truncate(_handle, size)) throw file_exception("set file length error", code);
}

}  // namespace asynframe
