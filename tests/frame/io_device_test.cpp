// Whole-range transfers over a device that moves part of a range per request.
#include "component/io_device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>

#include "common/frame_fixture.h"
#include "engine/asyn_io_operation.h"
#include "support/exceptions.h"

namespace asynframe {
namespace {

using harness::FrameTest;

// A stream device that completes each request through the engine with at
// most `chunk` bytes, or with the next scripted count.
class chunk_device final : public asyn_io_device {
public:
    explicit chunk_device(singleton_instance* services) : asyn_io_device(services) {}

    void read(asyn_io_operation* operation) override {
        ++reads;
        const std::uint32_t n = next_count(operation->range_length(), source.size() - read_position);
        std::memcpy(operation->buffer() + operation->range_start(), source.data() + read_position, n);
        read_position += n;
        finish(operation, n);
    }
    void write(asyn_io_operation* operation) override {
        ++writes;
        if (throw_code != 0) throw socket_exception("send failed", throw_code);
        const std::uint32_t n = next_count(operation->range_length(), operation->range_length());
        written.append(reinterpret_cast<const char*>(operation->buffer() + operation->range_start()), n);
        finish(operation, n);
    }
    platform::native_handle handle() const override { return platform::invalid_handle; }
    void close() override { closed = true; }

    std::uint32_t chunk = 4096;
    std::deque<std::uint32_t> script;
    std::uint32_t throw_code = 0;
    std::string source;
    std::size_t read_position = 0;
    std::string written;
    int reads = 0;
    int writes = 0;
    bool closed = false;

private:
    std::uint32_t next_count(std::uint32_t asked, std::size_t available) {
        std::uint32_t n = std::min(asked, chunk);
        if (!script.empty()) {
            n = std::min(asked, script.front());
            script.pop_front();
        }
        return static_cast<std::uint32_t>(std::min<std::size_t>(n, available));
    }
    static void finish(asyn_io_operation* operation, std::uint32_t bytes) {
        operation->set_preset_result(0, bytes);
        operation->post();
    }
};

// The shape of every device object: IAsynIoDevice over CAsynIoDevice, with a
// CAsynCompleteIoDevice for the whole-range slots.
class device_object final : public com_interfaces<device_object, IAsynIoDevice>,
                            public CAsynIoDevice,
                            public CUnknownSingleThread {
public:
    explicit device_object(singleton_instance* services)
        : CAsynIoDevice(services), CUnknownSingleThread("device_object"), inner(services) {
        set_device(&inner);
        _complete = new CAsynCompleteIoDevice;
        _complete->set_inner_device(this);
    }
    ~device_object() override {
        _complete->drop_transfers();
        _complete->Release();
    }

    using interfaces = single_interface<IID_IAsynIoDevice, IAsynIoDevice>;
    using CUnknownSingleThread::internal_add_ref;
    using CUnknownSingleThread::internal_release;
    HRESULT ASYNFRAME_STDCALL Read(IAsynIoOperation* operation) override { return CAsynIoDevice::Read(operation); }
    HRESULT ASYNFRAME_STDCALL Write(IAsynIoOperation* operation) override { return CAsynIoDevice::Write(operation); }
    HRESULT ASYNFRAME_STDCALL ReadFully(IAsynIoOperation* operation) override { return _complete->ReadFully(operation); }
    HRESULT ASYNFRAME_STDCALL WriteFully(IAsynIoOperation* operation) override {
        return _complete->WriteFully(operation);
    }
    HRESULT ASYNFRAME_STDCALL Close() override {
        _complete->drop_transfers();
        return CAsynIoDevice::Close();
    }

    chunk_device inner;

private:
    CAsynCompleteIoDevice* _complete;
};

class DeviceLayeringTest : public FrameTest {
protected:
    void SetUp() override {
        FrameTest::SetUp();
        device = new device_object(object()->services());
        device->set_open(true);
    }
    void TearDown() override {
        device->Release();
        FrameTest::TearDown();
    }

    // An operation with a buffer of `size` bytes, the whole buffer as its range.
    IAsynIoOperation* buffer_operation(DWORD size, ULONGLONG position = 0) {
        IAsynIoOperation* operation = make_operation(sink);
        operation->SetTag(0);
        operation->AllocBuffer(size);
        operation->SetRange(0, size);
        operation->SetPosition(static_cast<DWORD>(position), static_cast<DWORD>(position >> 32));
        return operation;
    }

    device_object* device = nullptr;
};

TEST_P(DeviceLayeringTest, WriteFullyMovesTheWholeRangeInSteps) {
    IAsynIoOperation* operation = buffer_operation(10000, 0x100000005ull);
    BYTE* buffer = nullptr;
    operation->GetBuffer(&buffer, nullptr);
    for (int i = 0; i < 10000; ++i) buffer[i] = static_cast<BYTE>(i * 7);
    host->on_dispatch([&] { EXPECT_EQ(device->WriteFully(operation), S_OK); });
    ASSERT_TRUE(host->run_until([&] { return sink->count("complete") == 1; }));
    EXPECT_EQ(sink->log().back(), "complete 0 10000");
    EXPECT_EQ(device->inner.writes, 3);
    EXPECT_EQ(device->inner.written, std::string(reinterpret_cast<char*>(buffer), 10000));
    DWORD start = 1, length = 0;
    ULONGLONG position = 0;
    operation->GetRange(&start, &length);
    operation->GetPosition(&position);
    EXPECT_EQ(start, 0u);
    EXPECT_EQ(length, 10000u);
    EXPECT_EQ(position, 0x100000005ull);
    operation->Release();
}

TEST_P(DeviceLayeringTest, ReadFullyThatHitsTheEndReportsNothing) {
    device->inner.source = std::string(40, 'x');
    IAsynIoOperation* operation = buffer_operation(100);
    IAsynIoOperation* second = buffer_operation(10);
    IAsynIoOperation* writer = buffer_operation(10);
    device->inner.chunk = 1;  // the reads below stay in flight one byte at a time
    device->inner.script = {40, 0};
    host->on_dispatch([&] {
        EXPECT_EQ(device->ReadFully(operation), S_OK);
        EXPECT_EQ(device->ReadFully(second), E_UNEXPECTED);
        EXPECT_EQ(device->WriteFully(writer), S_OK);
    });
    ASSERT_TRUE(host->run_until([&] { return sink->count("complete") == 2; }));
    const std::vector<std::string> log = sink->log();
    EXPECT_NE(std::find(log.begin(), log.end(), "complete 0 0"), log.end());
    EXPECT_NE(std::find(log.begin(), log.end(), "complete 0 10"), log.end());
    EXPECT_EQ(device->inner.reads, 2);
    // The read side is free again.
    host->on_dispatch([&] { EXPECT_EQ(device->ReadFully(second), S_OK); });
    ASSERT_TRUE(host->run_until([&] { return sink->count("complete") == 3; }));
    operation->Release();
    second->Release();
    writer->Release();
}

TEST_P(DeviceLayeringTest, RequestsAreCheckedBeforeAnythingStarts) {
    IAsynIoOperation* operation = buffer_operation(100);
    std::thread([&] { EXPECT_EQ(device->Read(operation), E_ACCESSDENIED); }).join();
    host->on_dispatch([&] {
        // The range no longer fits once the buffer shrank.
        operation->SetRange(50, 50);
        operation->AllocBuffer(60);
        const ULONG before = operation->AddRef();
        EXPECT_EQ(device->Read(operation), E_INVALIDARG);
        EXPECT_EQ(operation->Release(), before - 1);
        operation->SetRange(0, 60);
        operation->SetTag(-1);
        EXPECT_EQ(device->Write(operation), E_INVALIDARG);
        operation->SetTag(0);
        EXPECT_EQ(device->Read(nullptr), E_INVALIDARG);
        EXPECT_EQ(device->Close(), S_OK);
        EXPECT_TRUE(device->inner.closed);
        EXPECT_EQ(device->Close(), E_UNEXPECTED);
        EXPECT_EQ(device->Write(operation), E_UNEXPECTED);
    });
    operation->Release();
}

TEST_P(DeviceLayeringTest, FailuresEndTheTransferWithWhatMoved) {
    // A device that throws while starting completes the operation with the code.
    IAsynIoOperation* operation = buffer_operation(100, 1000);
    device->inner.throw_code = 10054;
    host->on_dispatch([&] { EXPECT_EQ(device->WriteFully(operation), S_OK); });
    ASSERT_TRUE(host->run_until([&] { return sink->count("complete") == 1; }));
    EXPECT_EQ(sink->log().back(), "complete 10054 0");

    // A device that keeps moving nothing: the transfer gives up.
    device->inner.throw_code = 0;
    device->inner.script = {30};
    device->inner.chunk = 0;
    host->on_dispatch([&] { EXPECT_EQ(device->WriteFully(operation), S_OK); });
    ASSERT_TRUE(host->run_until([&] { return sink->count("complete") == 2; }));
    EXPECT_EQ(sink->log().back(),
              "complete " + std::to_string(complete_io_no_progress_error) + " 30");
    EXPECT_EQ(device->inner.writes, 2 + static_cast<int>(complete_io_max_idle_writes));
    ULONGLONG position = 0;
    operation->GetPosition(&position);
    EXPECT_EQ(position, 1030u);  // an error leaves the position after what moved
    operation->Release();
}

INSTANTIATE_TEST_SUITE_P(Modes, DeviceLayeringTest, harness::all_modes(), harness::mode_label);

}  // namespace
}  // namespace asynframe
