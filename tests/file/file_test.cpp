// Files over real files in a temporary folder, in every engine mode: the file
// object, the frame's sized creates and resizes, the helper's order, and
// file errors arriving as completions with their Windows codes.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "common/socket_fixture.h"
#include "engine/asyn_io_handler.h"
#include "file/asyn_file_device.h"
#include "file/file_asyn_io_helper.h"
#include "file/file_object.h"
#include "file/file_services.h"
#include "platform/fs.h"
#include "support/scratch_folder.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using namespace asynframe;
using namespace asynframe::harness;
namespace stdfs = std::filesystem;

constexpr DWORD read_write = GENERIC_READ | GENERIC_WRITE;

// The bytes the file system has set aside for the file's data.
std::uint64_t allocated_size(const std::string& name) {
#if defined(_WIN32)
    const HANDLE file = ::CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    FILE_STANDARD_INFO info{};
    const bool known = ::GetFileInformationByHandleEx(file, FileStandardInfo, &info, sizeof info);
    ::CloseHandle(file);
    return known ? static_cast<std::uint64_t>(info.AllocationSize.QuadPart) : 0;
#else
    struct stat info {};
    if (::stat(name.c_str(), &info) != 0) return 0;
    return static_cast<std::uint64_t>(info.st_blocks) * 512;
#endif
}

class FileTest : public objects_test {
protected:
    void SetUp() override {
        objects_test::SetUp();
        if (!env) return;
        folder = std::make_unique<testing_support::scratch_folder>();
        file_services::create_helper(*env->services());
        file_services::start_helper(*env->services());
        helper = env->services()->file_asyn_io_helper_ptr;
    }
    void after_release() override {
        file_services::stop_helper(*env->services());
        file_services::destroy_helper(*env->services());
        folder.reset();
    }

    std::string path(const char* name) const { return folder->file(name); }

    IAsynFile* open(const std::string& name, DWORD disposition = CREATE_ALWAYS, DWORD flags = 0) {
        IAsynFile* file = nullptr;
        EXPECT_EQ(S_OK, file_services::create_file_object(env->services(), &file));
        keep(file);
        HRESULT hr = E_FAIL;
        env->run([&] {
            hr = file->Open(static_cast<DWORD>(name.size()), name.data(), read_write, FILE_SHARE_READ, disposition,
                            flags);
        });
        EXPECT_EQ(S_OK, hr) << name;
        return hr == S_OK ? file : nullptr;
    }

    // Starts `call` on the dispatch thread and waits for the operation's completion.
    harness::recording_sink::record run_request(IAsynIoOperation* op, const std::function<HRESULT()>& call,
                                                int count = 1) {
        env->run([&] { EXPECT_EQ(S_OK, call()); });
        return sink->wait(op, count);
    }

    harness::recording_sink::record size_request(IAsynIoOperation* op, const std::string& name, std::uint64_t size,
                                                 bool extend, int count = 1) {
        env->run([&] {
            auto* object = CAsynIoOperation::resolve(op);
            object->AddRef();
            file_services::request_file_size(env->services(), object, static_cast<std::uint32_t>(size),
                                             static_cast<std::uint32_t>(size >> 32), name, extend);
        });
        return sink->wait(op, count);
    }

    // An engine operation of 16 bytes for a helper of the test's own, left
    // pending as a device leaves it; `ops` owns it.
    asyn_io_operation* pending_request(std::vector<std::unique_ptr<asyn_io_operation>>& ops,
                                       asyn_io_handler_base& handler, platform::fs::handle handle, std::int32_t type,
                                       std::uint64_t position) {
        ops.push_back(std::make_unique<asyn_io_operation>(env->services(), &handler, 16));
        asyn_io_operation* op = ops.back().get();
        op->set_operate_handle(handle);
        op->set_operation_type(type);
        op->set_position(position);
        op->set_preset_result(0, 0);
        op->mark_pending();
        return op;
    }

    static std::string contents(const std::string& name) {
        std::string text;
        platform::fs::read_file(name, text);
        return text;
    }

    std::unique_ptr<testing_support::scratch_folder> folder;
    file_asyn_io_helper* helper = nullptr;
};

TEST_P(FileTest, PositionalTransfersAndWholeBuffers) {
    IAsynFile* file = open(path("data"));
    ASSERT_NE(nullptr, file);
    IAsynIoOperation* op = operation(16);
    std::memcpy(buffer_of(op), "hello", 5);
    op->SetRange(0, 5);
    op->SetPosition(4096, 0);
    auto result = run_request(op, [&] { return file->Write(op); });
    EXPECT_EQ(0u, result.error);
    EXPECT_EQ(5u, result.bytes);

    // Read across the hole before the text: zeros, then the text, wherever
    // the request completes (at once or later, always through the engine).
    op->SetRange(0, 7);
    op->SetPosition(4094, 0);
    bool completed_inside_call = false;
    env->run([&] {
        EXPECT_EQ(S_OK, file->Read(op));
        completed_inside_call = sink->completed(op) && sink->get(op).count == 2;
    });
    result = sink->wait(op, 2);
    EXPECT_FALSE(completed_inside_call);
    EXPECT_EQ(0u, result.error);
    ASSERT_EQ(7u, result.bytes);
    EXPECT_EQ(0, std::memcmp(buffer_of(op), "\0\0hello", 7));

    ULONGLONG length = 0;
    env->run([&] { EXPECT_EQ(S_OK, file->GetLength(&length)); });
    EXPECT_EQ(4101u, length);

    // 10 MiB whole, both ways.
    constexpr DWORD big = 10u << 20;
    IAsynIoOperation* bulk = operation(big);
    for (DWORD i = 0; i < big; ++i) buffer_of(bulk)[i] = static_cast<BYTE>(i * 7 + i / 4096);
    bulk->SetPosition(0, 0);
    result = run_request(bulk, [&] { return file->WriteFully(bulk); });
    EXPECT_EQ(0u, result.error);
    EXPECT_EQ(big, result.bytes);
    IAsynIoOperation* back = operation(big);
    back->SetPosition(0, 0);
    result = run_request(back, [&] { return file->ReadFully(back); });
    EXPECT_EQ(0u, result.error);
    ASSERT_EQ(big, result.bytes);
    EXPECT_EQ(0, std::memcmp(buffer_of(bulk), buffer_of(back), big));

    // A flush goes through the helper in every mode.
    result = run_request(op, [&] { return file->Flush(op); }, 3);
    EXPECT_EQ(0u, result.error);
}

TEST_P(FileTest, ScatterFromSegmentTwoOfFiveAndGatherBack) {
    const std::uint32_t page = platform::fs::page_size();
    IAsynFile* file = open(path("pages"));
    ASSERT_NE(nullptr, file);
    // Pages 0..4 of the file hold the bytes 'a'..'e'.
    IAsynIoOperation* fill = operation(5 * page);
    for (std::uint32_t i = 0; i < 5 * page; ++i) buffer_of(fill)[i] = static_cast<BYTE>('a' + i / page);
    fill->SetPosition(0, 0);
    ASSERT_EQ(0u, run_request(fill, [&] { return file->WriteFully(fill); }).error);

    IAsynIoOperation* op = operation(0);
    IAsynFileScatterOperation* scatter = nullptr;
    ASSERT_EQ(S_OK, op->QueryInterface(IID_IAsynFileScatterOperation, reinterpret_cast<void**>(&scatter)));
    scatter->Release();
    ASSERT_EQ(S_OK, scatter->SetSegmentCount(5));
    DWORD count = 0;
    asynframe::FILE_SEGMENT_ELEMENT* segments = nullptr;
    ASSERT_EQ(S_OK, scatter->GetSegments(&count, &segments));
    std::vector<void*> pages;
    for (DWORD i = 0; i < 5; ++i) {
        pages.push_back(::operator new(page, std::align_val_t(page)));
        std::memset(pages.back(), '-', page);
        segments[i].Buffer = pages.back();
    }
    ASSERT_EQ(S_OK, scatter->SelectSegment(2));
    op->SetPosition(page, 0);  // file pages 1, 2, 3
    auto result = run_request(op, [&] { return file->ReadScatter(op); });
    EXPECT_EQ(0u, result.error);
    EXPECT_EQ(3 * page, result.bytes);
    EXPECT_EQ('-', static_cast<char*>(pages[1])[0]);
    EXPECT_EQ('b', static_cast<char*>(pages[2])[0]);
    EXPECT_EQ('c', static_cast<char*>(pages[3])[page - 1]);
    EXPECT_EQ('d', static_cast<char*>(pages[4])[0]);

    // The same three pages written back at file page 6.
    op->SetPosition(6 * page, 0);
    result = run_request(op, [&] { return file->WriteGather(op); }, 2);
    EXPECT_EQ(0u, result.error);
    EXPECT_EQ(3 * page, result.bytes);
    const std::string text = contents(path("pages"));
    ASSERT_EQ(9u * page, text.size());
    EXPECT_EQ(std::string(page, 'b') + std::string(page, 'c') + std::string(page, 'd'), text.substr(6 * page));
    for (void* p : pages) ::operator delete(p, std::align_val_t(page));
}

TEST_P(FileTest, SizedCreatesOnTheZeroFillingPathAndWithFallocate) {
    struct recorder {
        std::mutex lock;
        std::vector<std::uint64_t> positions;
        static void note(void* self, std::uint64_t position) {
            auto* me = static_cast<recorder*>(self);
            std::lock_guard<std::mutex> guard(me->lock);
            me->positions.push_back(position);
        }
    } zero_blocks;
    helper->set_fast_create_enabled(false);
    helper->set_zero_block_observer(&recorder::note, &zero_blocks);
    constexpr std::uint64_t mib = 1u << 20;
    IAsynIoOperation* op = operation(0);
    int round = 0;
    auto create = [&](const char* name, std::uint64_t size) {
        zero_blocks.positions.clear();
        const auto result = size_request(op, path(name), size, false, ++round);
        EXPECT_EQ(0u, result.error) << name;
        std::uint64_t actual = 0;
        platform::fs::size_by_name(path(name), actual);
        EXPECT_EQ(size, actual) << name;
        std::lock_guard<std::mutex> guard(zero_blocks.lock);
        return zero_blocks.positions;
    };
    EXPECT_TRUE(create("small", 512 * 1024).empty());
    EXPECT_EQ(create("just_over", 512 * 1024 + 1), (std::vector<std::uint64_t>{512 * 1024 + 1 - 1024}));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(create("three", 3 * mib), (std::vector<std::uint64_t>{mib, 2 * mib, 3 * mib - 1024}));
    // Two pauses of create_delay (5 ms) after the first two blocks.
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(10));

    // With fallocate the blocks are there at once and nothing is written.
    // Windows allocates so only with the right to set a file's valid data
    // length; without it the helper takes the zero-filling path after all.
    bool can_allocate = true;
#if defined(_WIN32)
    {
        platform::fs::handle probe = platform::fs::invalid_handle;
        ASSERT_EQ(0u, platform::fs::open(path("probe"), platform::fs::open_disposition::read_write_truncate, probe));
        can_allocate = platform::fs::allocate(probe, mib) == 0;
        platform::fs::close(probe);
    }
#endif
    helper->set_fast_create_enabled(true);
    if (can_allocate) {
        EXPECT_TRUE(create("fast", 3 * mib).empty());
        EXPECT_GE(allocated_size(path("fast")), 3 * mib);
    } else {
        EXPECT_EQ(create("fast", 3 * mib), (std::vector<std::uint64_t>{mib, 2 * mib, 3 * mib - 1024}));
    }

    // A resize grows (zero block at the end on the slow path) and shrinks.
    helper->set_fast_create_enabled(false);
    zero_blocks.positions.clear();
    auto result = size_request(op, path("small"), 2 * mib, true, ++round);
    EXPECT_EQ(0u, result.error);
    EXPECT_EQ(zero_blocks.positions, (std::vector<std::uint64_t>{2 * mib - 1024}));
    EXPECT_EQ(2 * mib, stdfs::file_size(path("small")));
    result = size_request(op, path("small"), 10, true, ++round);
    EXPECT_EQ(0u, result.error);
    EXPECT_EQ(10u, stdfs::file_size(path("small")));
    helper->set_zero_block_observer(nullptr, nullptr);

    // A missing file cannot be resized: ERROR_FILE_NOT_FOUND through the completion.
    result = size_request(op, path("missing"), 10, true, ++round);
    EXPECT_EQ(2u, result.error);
}

// Records the order in which engine operations complete.
class order_handler : public asyn_io_handler_base {
public:
    std::mutex lock;
    std::vector<int> order;
    void on_io_complete(asyn_io_operation* operation) override {
        std::lock_guard<std::mutex> guard(lock);
        order.push_back(static_cast<int>(operation->preset_bytes() == 0 ? -operation->get_position()
                                                                        : operation->get_position()));
    }
};

TEST_P(FileTest, HelperRunsEachFilesRequestsInPositionOrder) {
    // A helper of its own, started only once everything is queued.
    file_asyn_io_helper queued(env->services());
    platform::fs::handle a = platform::fs::invalid_handle, b = platform::fs::invalid_handle;
    ASSERT_EQ(0u, platform::fs::open(path("a"), platform::fs::open_disposition::read_write_truncate, a));
    ASSERT_EQ(0u, platform::fs::open(path("b"), platform::fs::open_disposition::read_write_truncate, b));
    order_handler handler;
    std::vector<std::unique_ptr<asyn_io_operation>> ops;
    auto request = [&](platform::fs::handle handle, std::int32_t type, std::uint64_t position) {
        return pending_request(ops, handler, handle, type, position);
    };
    // Positions name the requests in the record: writes report their 1 byte,
    // the flush and the create report 0 (recorded negated).
    queued.queue_io(request(a, operation_type::file_write, 1), 1, 0);
    queued.queue_io(request(b, operation_type::file_write, 300), 1, 0);
    queued.queue_io(request(b, operation_type::file_write, 100), 1, 0);
    queued.queue_io(request(b, operation_type::file_write, 200), 1, 0);
    queued.queue_flush(request(b, operation_type::file_flush, 7));
    queued.queue_io(request(b, operation_type::file_write, 50), 1, 0);  // joins the writes ahead of the flush
    queued.queue_create(request(-1, operation_type::file_create, 9), 10, 0, path("c"));
    EXPECT_EQ(7u, queued.queued_count());
    queued.start();
    ASSERT_TRUE(env->wait_until([&] {
        std::lock_guard<std::mutex> guard(handler.lock);
        return handler.order.size() == 7;
    }));
    queued.stop();
    std::lock_guard<std::mutex> guard(handler.lock);
    // Files run beside each other, and creates on their own lane: only each
    // file's order is kept. b's writes in position order, the one queued
    // after the flush among them, and the flush last.
    std::vector<int> of_b;
    for (const int entry : handler.order)
        if (entry != 1 && entry != -9) of_b.push_back(entry);
    EXPECT_EQ(of_b, (std::vector<int>{50, 100, 200, 300, -7}));
    EXPECT_EQ(1, std::count(handler.order.begin(), handler.order.end(), 1));
    EXPECT_EQ(1, std::count(handler.order.begin(), handler.order.end(), -9));
    platform::fs::close(a);
    platform::fs::close(b);
}

TEST_P(FileTest, HelperAnswersCachedReadsAtOnceUnlessTheirFileHasWorkQueued) {
    // A helper of its own whose lanes have not started: what it answers
    // before the start, it answered without them.
    file_asyn_io_helper queued(env->services());
    platform::fs::handle a = platform::fs::invalid_handle, b = platform::fs::invalid_handle;
    ASSERT_EQ(0u, platform::fs::open(path("a"), platform::fs::open_disposition::read_write_truncate, a));
    ASSERT_EQ(0u, platform::fs::open(path("b"), platform::fs::open_disposition::read_write_truncate, b));
    std::uint32_t done = 0;
    ASSERT_EQ(0u, platform::fs::write_at(a, "old!next", 8, 8, done));
    ASSERT_EQ(0u, platform::fs::write_at(b, "bbbb", 4, 16, done));
    order_handler handler;
    std::vector<std::unique_ptr<asyn_io_operation>> ops;
    auto request = [&](platform::fs::handle handle, std::int32_t type, std::uint64_t position) {
        return pending_request(ops, handler, handle, type, position);
    };
    auto bytes = [](asyn_io_operation* op) { return std::string(reinterpret_cast<const char*>(op->buffer()), 4); };
    asyn_io_operation* write = request(a, operation_type::file_write, 8);
    std::memcpy(write->buffer(), "new!", 4);
    queued.queue_io(write, 4, 0);
    // Its file has a write queued: the read joins it, in position order.
    asyn_io_operation* read_a = request(a, operation_type::file_read, 12);
    queued.queue_io(read_a, 4, 0);
    asyn_io_operation* read_b = request(b, operation_type::file_read, 16);
    queued.queue_io(read_b, 4, 0);
    // Past the end: never answered early, and a lane reports it.
    asyn_io_operation* beyond = request(b, operation_type::file_read, 100);
    queued.queue_io(beyond, 4, 0);
#if defined(_WIN32)
    // No read that refuses to wait for the disk here: every read takes a lane.
    EXPECT_EQ(4u, queued.queued_count());
#else
    EXPECT_EQ(3u, queued.queued_count());
    ASSERT_TRUE(env->wait_until([&] {
        std::lock_guard<std::mutex> guard(handler.lock);
        return handler.order.size() == 1;
    }));
    EXPECT_EQ("bbbb", bytes(read_b));
#endif
    queued.start();
    ASSERT_TRUE(env->wait_until([&] {
        std::lock_guard<std::mutex> guard(handler.lock);
        return handler.order.size() == 4;
    }));
    queued.stop();
    EXPECT_EQ("next", bytes(read_a));
    EXPECT_EQ("new!next", contents(path("a")).substr(8));
    EXPECT_EQ("bbbb", bytes(read_b));
    std::uint32_t bytes_moved = 0, error = 0;
    beyond->get_result(bytes_moved, error);
    EXPECT_NE(0u, error);
    platform::fs::close(a);
    platform::fs::close(b);
}

TEST_P(FileTest, HelperLanesKeepUpWithChainedRequestsOnManyFiles) {
    // Each file's next write is queued from the completion of its last, as a
    // loop with one request in flight per file does: now at once, while the
    // lane that carried out the last one is still about, now after a pause,
    // when the lanes sleep. The groups of the files come and go all the time
    // and are reused. A wake-up lost stalls a chain until the time-out.
    constexpr int files = 4;
    constexpr int per_file = 300;
    struct chain_handler : asyn_io_handler_base {
        file_asyn_io_helper* helper = nullptr;
        std::mutex lock;
        int next[files] = {};
        int completed = 0;
        int failures = 0;
        std::vector<std::unique_ptr<asyn_io_operation>> ops;
        std::vector<platform::fs::handle> handles;
        void issue(int file) {
            asyn_io_operation* op = ops[static_cast<std::size_t>(file)].get();
            const int index = next[file]++;
            op->set_operate_handle(handles[static_cast<std::size_t>(file)]);
            op->set_operation_type(operation_type::file_write);
            op->set_position(static_cast<std::uint64_t>(index));
            op->buffer()[0] = static_cast<std::uint8_t>(index * 7 + file);
            op->set_preset_result(0, 0);
            op->mark_pending();
            helper->queue_io(op, 1, 0);
        }
        void on_io_complete(asyn_io_operation* operation) override {
            int file = 0;
            while (ops[static_cast<std::size_t>(file)].get() != operation) ++file;
            {
                std::lock_guard<std::mutex> guard(lock);
                ++completed;
                if (operation->preset_error() != 0 || operation->preset_bytes() != 1) ++failures;
            }
            if (next[file] == per_file) return;
            if (next[file] % 16 == 0) std::this_thread::sleep_for(std::chrono::microseconds(300));
            issue(file);
        }
    } handler;
    file_asyn_io_helper lanes(env->services());
    handler.helper = &lanes;
    for (int i = 0; i < files; ++i) {
        platform::fs::handle handle = platform::fs::invalid_handle;
        ASSERT_EQ(0u, platform::fs::open(path(("chain" + std::to_string(i)).c_str()),
                                         platform::fs::open_disposition::read_write_truncate, handle));
        handler.handles.push_back(handle);
        handler.ops.push_back(std::make_unique<asyn_io_operation>(env->services(), &handler, 16));
    }
    lanes.start();
    env->run([&] {
        for (int i = 0; i < files; ++i) handler.issue(i);
    });
    ASSERT_TRUE(env->wait_until([&] {
        std::lock_guard<std::mutex> guard(handler.lock);
        return handler.completed == files * per_file;
    }));
    lanes.stop();
    EXPECT_EQ(0, handler.failures);
    for (int i = 0; i < files; ++i) {
        platform::fs::close(handler.handles[static_cast<std::size_t>(i)]);
        const std::string written = contents(path(("chain" + std::to_string(i)).c_str()));
        ASSERT_EQ(static_cast<std::size_t>(per_file), written.size());
        for (int at = 0; at < per_file; ++at)
            ASSERT_EQ(static_cast<char>(static_cast<std::uint8_t>(at * 7 + i)), written[static_cast<std::size_t>(at)])
                << "file " << i << " at " << at;
    }
}

TEST_P(FileTest, ALongCreateHoldsUpNoOtherRequest) {
    // A create on the zero-filling path that stays in its first zero block
    // until another file's write, read and flush have all completed (or
    // 10 s have passed).
    struct holder {
        std::mutex lock;
        std::condition_variable released;
        bool go = false;
        bool held = false;
        static void note(void* self, std::uint64_t) {
            auto* me = static_cast<holder*>(self);
            std::unique_lock<std::mutex> guard(me->lock);
            me->held = true;
            me->released.wait_for(guard, std::chrono::seconds(10), [&] { return me->go; });
        }
    } hold;
    helper->set_fast_create_enabled(false);
    helper->set_zero_block_observer(&holder::note, &hold);
    IAsynFile* file = open(path("beside"));
    ASSERT_NE(nullptr, file);
    IAsynIoOperation* create = operation(0);
    env->run([&] {
        auto* object = CAsynIoOperation::resolve(create);
        object->AddRef();
        file_services::request_file_size(env->services(), object, 8u << 20, 0, path("big"), false);
    });
    ASSERT_TRUE(env->wait_until([&] {
        std::lock_guard<std::mutex> guard(hold.lock);
        return hold.held;
    }));
    IAsynIoOperation* op = operation(16);
    std::memcpy(buffer_of(op), "beside", 6);
    op->SetRange(0, 6);
    op->SetPosition(0, 0);
    const auto started = std::chrono::steady_clock::now();
    auto result = run_request(op, [&] { return file->Write(op); });
    EXPECT_EQ(0u, result.error);
    EXPECT_EQ(6u, result.bytes);
    result = run_request(op, [&] { return file->Read(op); }, 2);
    EXPECT_EQ(0u, result.error);
    EXPECT_EQ(6u, result.bytes);
    result = run_request(op, [&] { return file->Flush(op); }, 3);
    EXPECT_EQ(0u, result.error);
    // Well before the create lets go.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_FALSE(sink->completed(create));
    {
        std::lock_guard<std::mutex> guard(hold.lock);
        hold.go = true;
    }
    hold.released.notify_all();
    result = sink->wait(create);
    EXPECT_EQ(0u, result.error);
    helper->set_zero_block_observer(nullptr, nullptr);
}

TEST_P(FileTest, ObjectStatesAndArguments) {
    IAsynFile* file = open(path("one"));
    ASSERT_NE(nullptr, file);
    IAsynIoOperation* op = operation(8);
    env->run([&] {
        const std::string other = path("two");
        EXPECT_EQ(E_UNEXPECTED, file->Open(static_cast<DWORD>(other.size()), other.data(), read_write, 0,
                                           CREATE_ALWAYS, 0));
        EXPECT_EQ(E_INVALIDARG, file->Open(0, "x", read_write, 0, CREATE_ALWAYS, 0));
        EXPECT_EQ(E_INVALIDARG, file->SetLength(0, 0));
        EXPECT_EQ(S_OK, file->SetLength(100, 0));
        EXPECT_EQ(S_OK, file->SetLength(100, 0));  // the same size again changes nothing
        EXPECT_EQ(E_INVALIDARG, file->GetLength(nullptr));
        EXPECT_EQ(E_INVALIDARG, file->ReadScatter(op));  // no segments
        EXPECT_EQ(E_INVALIDARG, file->Flush(nullptr));
        EXPECT_EQ(S_OK, file->Close());
        EXPECT_EQ(E_UNEXPECTED, file->Close());
        ULONGLONG length = 12345;
        EXPECT_EQ(E_UNEXPECTED, file->GetLength(&length));
        EXPECT_EQ(12345u, length);
        EXPECT_EQ(E_UNEXPECTED, file->Read(op));
        // A missing file with OPEN_EXISTING, then the closed object opens again.
        const std::string missing = path("missing");
        EXPECT_EQ(E_FAIL, file->Open(static_cast<DWORD>(missing.size()), missing.data(), read_write, 0,
                                     OPEN_EXISTING, 0));
        const std::string again = path("one");
        EXPECT_EQ(S_OK, file->Open(static_cast<DWORD>(again.size()), again.data(), read_write, 0, OPEN_EXISTING, 0));
    });
    EXPECT_EQ(100u, stdfs::file_size(path("one")));
    std::thread([&] {
        ULONGLONG length = 0;
        EXPECT_EQ(E_ACCESSDENIED, file->GetLength(&length));
        EXPECT_EQ(E_ACCESSDENIED, file->Read(op));
        EXPECT_EQ(E_ACCESSDENIED, file->Close());
    }).join();
}

TEST_P(FileTest, FileErrorsArriveAsCompletionsWithTheirCodes) {
    IAsynIoOperation* op = operation(64);
    harness::recording_sink::record result;
    int writes = 0;
#if !defined(_WIN32)
    // A full device (Linux has one): nothing is reported as written.
    IAsynFile* full = open("/dev/full", OPEN_EXISTING);
    ASSERT_NE(nullptr, full);
    op->SetPosition(0, 0);
    result = run_request(op, [&] { return full->Write(op); }, ++writes);
    EXPECT_EQ(112u, result.error);  // ERROR_DISK_FULL
    EXPECT_EQ(0u, result.bytes);
#endif

    // Past the largest size the file system allows.
    IAsynFile* file = open(path("huge"));
    ASSERT_NE(nullptr, file);
    op->SetPosition(0xFFFFF000u, 0x7FFFFFFFu);
    result = run_request(op, [&] { return file->Write(op); }, ++writes);
    EXPECT_NE(0u, result.error);
    EXPECT_EQ(0u, result.bytes);
    EXPECT_EQ(0u, stdfs::file_size(path("huge")));

    // Unbuffered transfers must be aligned on the ring: a misaligned one fails
    // with 87 and writes nothing. The helper of the readiness loop opens
    // without the flag, so there the same write succeeds.
    IAsynFile* direct = open(path("direct"), CREATE_ALWAYS, FILE_FLAG_NO_BUFFERING);
    if (direct != nullptr) {
        IAsynIoOperation* odd = operation(4097);
        odd->SetRange(1, 4096);
        odd->SetPosition(0, 0);
        result = run_request(odd, [&] { return direct->Write(odd); });
        if (env->alertable()) {
            EXPECT_EQ(0u, result.error);
            EXPECT_EQ(4096u, stdfs::file_size(path("direct")));
        } else if (harness::running_under_wine()) {
            // wine takes misaligned unbuffered transfers as Windows does not.
            EXPECT_EQ(0u, result.error);
        } else {
            EXPECT_EQ(87u, result.error);
            EXPECT_EQ(0u, stdfs::file_size(path("direct")));
        }
    }

#if !defined(_WIN32)
    // A read-only file system, where one can be mounted here.
    const std::string readonly = path("ro");
    stdfs::create_directory(readonly);
    if (::mount("tmpfs", readonly.c_str(), "tmpfs", MS_RDONLY, "size=1m") == 0) {
        IAsynIoOperation* create = operation(0);
        result = size_request(create, readonly + "/new", 4096, false);
        EXPECT_EQ(19u, result.error);  // ERROR_WRITE_PROTECT
        ::umount(readonly.c_str());
    }
#endif
}

TEST_P(FileTest, ReleasedWithRequestsInFlightEachCompletesOnce) {
    // The last reference goes while writes are queued (on the helper in
    // alertable modes, in the ring otherwise): each still completes exactly
    // once, with its bytes or with 995, and nothing runs on the closed file.
    IAsynFile* file = nullptr;
    ASSERT_EQ(S_OK, file_services::create_file_object(env->services(), &file));
    const std::string name = path("released");
    std::vector<IAsynIoOperation*> ops;
    for (int i = 0; i < 8; ++i) {
        ops.push_back(operation(4096));
        ops.back()->SetPosition(static_cast<DWORD>(i) * 4096, 0);
    }
    env->run([&] {
        ASSERT_EQ(S_OK, file->Open(static_cast<DWORD>(name.size()), name.data(), read_write, 0, CREATE_ALWAYS, 0));
        for (IAsynIoOperation* op : ops) EXPECT_EQ(S_OK, file->Write(op));
        file->Release();
    });
    for (IAsynIoOperation* op : ops) {
        const auto result = sink->wait(op);
        EXPECT_EQ(1, result.count);
        EXPECT_TRUE(result.error == 0 || result.error == 995) << result.error;
        EXPECT_EQ(result.error == 0 ? 4096u : 0u, result.bytes);
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, FileTest, all_modes(), mode_label);

}  // namespace
