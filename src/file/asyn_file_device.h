// The engine-level file: one descriptor on which positional reads, writes,
// scatter reads and gather writes run asynchronously. On the ring they are
// ring requests at the operation's position; on the readiness loop, and always
// for flushes, creates and resizes, the file helper thread carries them out.
// Either way the operation completes once, on the dispatch thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/ranged_device.h"
#include "platform/fs.h"

namespace asynframe {

class asyn_file_device : public ranged_device<asyn_io_device> {
public:
    explicit asyn_file_device(singleton_instance* instance) noexcept : ranged_device(instance) {}
    ~asyn_file_device() override;

    // A device on a newly opened file, or null when it cannot be opened (the
    // code in `error`). On the readiness loop FILE_FLAG_NO_BUFFERING is dropped.
    static std::unique_ptr<asyn_file_device> open_file(singleton_instance* instance, const std::string& name,
                                                       std::uint32_t desired_access, std::uint32_t share_mode,
                                                       std::uint32_t creation_disposition,
                                                       std::uint32_t flags_and_attributes, std::uint32_t* error = nullptr);

    void set_handle(platform::fs::handle handle);
    platform::native_handle handle() const override { return _handle; }
    void close() override;
    // Only the ring needs it; a descriptor it refuses throws io_exception.
    void associate_to_manager() override;

    // Pages from `first_segment` to the last segment of the operation.
    void fast_read(asyn_io_operation* operation, std::uint32_t first_segment);
    void fast_write(asyn_io_operation* operation, std::uint32_t first_segment);
    void flush(asyn_io_operation* operation);
    // By path, on the helper thread (no descriptor is needed).
    void create_file(asyn_io_operation* operation, std::uint32_t size_low, std::uint32_t size_high,
                     const std::string& path);
    void resize_file(asyn_io_operation* operation, std::uint32_t size_low, std::uint32_t size_high,
                     const std::string& path);

    std::uint64_t length();
    void set_length(std::uint32_t low, std::uint32_t high);

protected:
    void start_transfer(asyn_io_operation* operation, std::uint32_t expected_bytes, std::uint32_t buffer_pos,
                        bool receive) override;

private:
    void scatter_gather(asyn_io_operation* operation, std::uint32_t first_segment, bool read);
    void by_path(asyn_io_operation* operation, std::int32_t type, std::uint32_t size_low, std::uint32_t size_high,
                 const std::string& path, int line);

    platform::fs::handle _handle = platform::fs::invalid_handle;
};

}  // namespace asynframe
