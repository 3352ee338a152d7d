// Files, in one program: sequential 1 MiB writes and reads, random 4 KiB
// reads, scatter reads of 64 pages and sized creates. This library runs on the
// ring ("ours") and on the readiness loop ("ours_epoll", where the file helper
// thread carries out every read and write); libuv runs its requests on its
// thread pool; "sync" makes the plain calls on the benchmark thread. Every
// library keeps one request in flight at a time, so the cases compare the cost
// of a request's round trip, not queue depths. The files live in a temporary
// folder that goes away at the end of the run.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <uv.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <benchmark/benchmark.h>

#include "../bench_main.h"
#include "../common/our_engine.h"
#include "file/file_asyn_io_helper.h"

namespace file_bench {
namespace {

using namespace asynframe;
using namespace asynframe_bench;

constexpr std::uint32_t mebibyte = 1u << 20;
constexpr std::uint32_t chunk_size = mebibyte;
// The file read and the one filled are 1 GiB each: both stay in the page cache,
// and the one dirty GiB stays under the kernel's background writeback
// threshold on a machine of 16 GiB or more, so no case waits for the disk. (On
// a smaller machine, make this 256 MiB.)
constexpr std::uint64_t file_size = 1024ull * mebibyte;
constexpr std::uint32_t small_read = 4096;
constexpr long random_batch = 20000;  // reads per iteration, one in flight at a time
constexpr std::uint64_t random_seed = 0x5eed'f11e;
constexpr std::uint32_t scatter_pages = 64;
constexpr std::uint64_t created_size = 1024ull * mebibyte;
constexpr double min_time = 1.0;

std::uint32_t page_size() {
    static const auto size = static_cast<std::uint32_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

// The folder every file of the run lives in; removed when the program ends.
class work_folder {
public:
    work_folder() {
        char pattern[] = "/tmp/asynframe-bench-file-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            std::perror("bench_file: mkdtemp");
            std::_Exit(2);
        }
        _path = pattern;
    }
    ~work_folder() { remove(); }
    void remove() noexcept {
        std::error_code ignored;
        if (!_path.empty()) std::filesystem::remove_all(_path, ignored);
    }
    std::string file(const char* name) const { return _path + "/" + name; }

private:
    std::string _path;
};

work_folder& folder() {
    static work_folder instance;
    return instance;
}

// A run that gives up leaves no files behind.
[[maybe_unused]] const bool cleans_up = [] {
    on_give_up = [] { folder().remove(); };
    return true;
}();

// Every 4 KiB of the data file holds one byte value, so any read can be checked
// from its position alone.
std::uint8_t tag_at(std::uint64_t position) { return static_cast<std::uint8_t>((position / 4096) * 7 + 1); }

bool holds_tags(const std::uint8_t* bytes, std::uint32_t length, std::uint64_t position) {
    return bytes[0] == tag_at(position) && bytes[length - 1] == tag_at(position + length - 1);
}

// Writes a whole file of tagged bytes with plain calls.
void fill_plainly(const std::string& path, bool sync) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) give_up("creating a file");
    std::vector<std::uint8_t> chunk(chunk_size);
    for (std::uint64_t at = 0; at < file_size; at += chunk_size) {
        for (std::uint32_t i = 0; i < chunk_size; ++i) chunk[i] = tag_at(at + i);
        if (::pwrite(fd, chunk.data(), chunk_size, static_cast<off_t>(at)) != static_cast<ssize_t>(chunk_size))
            give_up("writing a file");
    }
    if (sync) ::fsync(fd);
    ::close(fd);
}

// The file all read cases read: written once and synced, so that it sits
// clean in the page cache and no writeback runs under a case.
const std::string& data_file() {
    static const std::string path = [] {
        std::string name = folder().file("data");
        fill_plainly(name, true);
        return name;
    }();
    return path;
}

// The same random 4 KiB-aligned positions, in the same order, for every library.
const std::vector<std::uint64_t>& random_positions() {
    static const std::vector<std::uint64_t> positions = [] {
        std::mt19937_64 generator(random_seed);
        std::vector<std::uint64_t> list(random_batch);
        for (std::uint64_t& position : list) position = generator() % (file_size / small_read) * small_read;
        return list;
    }();
    return positions;
}

// What one iteration does: `count` requests of `bytes` each, at the listed
// positions or else one after the other from the start of the file.
struct plan {
    long count;
    std::uint32_t bytes;
    const std::vector<std::uint64_t>* positions;
    std::uint64_t at(long index) const {
        return positions != nullptr ? (*positions)[static_cast<std::size_t>(index)]
                                    : static_cast<std::uint64_t>(index) * bytes;
    }
};

enum class request_kind { write_whole, read_whole, read, read_scatter };

plan sequential_plan() { return {static_cast<long>(file_size / chunk_size), chunk_size, nullptr}; }
plan random_plan() { return {random_batch, small_read, &random_positions()}; }
// One sweep of the data file, 64 pages a request.
plan scatter_plan() {
    const std::uint32_t bytes = scatter_pages * page_size();
    return {static_cast<long>(file_size / bytes), bytes, nullptr};
}

// The write cases fill a file of their own from empty every iteration; the
// truncation is not timed. False when it failed (the case is then failed).
bool empty_file(benchmark::State& state, const std::string& path) {
    state.PauseTiming();
    const bool emptied = ::truncate(path.c_str(), 0) == 0;
    state.ResumeTiming();  // never after the error: the timer refuses that
    if (!emptied) state.SkipWithError("emptying the written file");
    return emptied;
}

void check_written(benchmark::State& state, const std::string& path) {
    struct stat info {};
    if (!state.error_occurred() && (::stat(path.c_str(), &info) != 0 || static_cast<std::uint64_t>(info.st_size) != file_size))
        state.SkipWithError("the written file has the wrong size");
}

void count_work(benchmark::State& state, request_kind kind, const plan& p) {
    const auto requests = static_cast<std::int64_t>(state.iterations()) * p.count;
    state.SetBytesProcessed(requests * p.bytes);
    if (kind == request_kind::read || kind == request_kind::read_scatter) state.SetItemsProcessed(requests);
}

// Page-aligned pages, one page each, for the scatter reads.
struct page_set {
    std::vector<void*> pages;
    page_set() {
        for (std::uint32_t i = 0; i < scatter_pages; ++i) pages.push_back(std::aligned_alloc(page_size(), page_size()));
    }
    ~page_set() {
        for (void* page : pages) std::free(page);
    }
    // The last request's pages against the data file at `position`.
    bool hold_tags(std::uint64_t position) const {
        for (std::uint32_t i = 0; i < scatter_pages; ++i)
            if (!holds_tags(static_cast<const std::uint8_t*>(pages[i]), page_size(),
                            position + static_cast<std::uint64_t>(i) * page_size()))
                return false;
        return true;
    }
};

// ---- ours -------------------------------------------------------------------

// The host's settings: none, or the helper's pause between the zero blocks of
// a create set to 0.
bench_settings g_settings;
bench_settings& unpaced_settings() {
    static bench_settings instance = [] {
        bench_settings made;
        made.set("file_asyn_io_helper", "create_delay", 0);
        return made;
    }();
    return instance;
}

void set_position(IAsynIoOperation* operation, std::uint64_t position) {
    operation->SetPosition(static_cast<DWORD>(position), static_cast<DWORD>(position >> 32));
}

// The requests of `p`, one in flight: the batch starts on the dispatch thread
// and each completion starts the next request; the benchmark thread waits once
// for the end of the batch.
void ours_case(benchmark::State& state, bool readiness, request_kind kind, const plan& p, const std::string& path) {
    our_engine engine(readiness, with_file_helper, &g_settings);
    const bool writes = kind == request_kind::write_whole;
    IAsynFile* file = nullptr;
    if (file_services::create_file_object(engine.services(), &file) != S_OK) give_up("making a file object");
    HRESULT opened = E_FAIL;
    on_dispatch(engine, [&] {
        opened = file->Open(static_cast<DWORD>(path.size()), path.data(), writes ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                            FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    });
    auto* sink = new callback_sink;
    const bool scatters = kind == request_kind::read_scatter;
    IAsynIoOperation* operation = our_operation(engine, sink, scatters ? 0 : p.bytes);
    page_set pages;
    if (scatters) {
        IAsynFileScatterOperation* scatter = nullptr;
        operation->QueryInterface(IID_IAsynFileScatterOperation, reinterpret_cast<void**>(&scatter));
        scatter->SetSegmentCount(scatter_pages);
        DWORD count = 0;
        FILE_SEGMENT_ELEMENT* segments = nullptr;
        scatter->GetSegments(&count, &segments);
        for (std::uint32_t i = 0; i < scatter_pages; ++i) segments[i].Buffer = pages.pages[i];
        scatter->SelectSegment(0);
        scatter->Release();
    }
    BYTE* buffer = nullptr;
    operation->GetBuffer(&buffer, nullptr);
    if (writes) std::memset(buffer, 0x5a, p.bytes);

    long done = 0;        // dispatch thread; read by the benchmark thread after the batch
    DWORD failure = 0;    // likewise: a request's error, or ~0 for a short one
    batch_signal batch_done;
    auto issue = [&](long index) {
        set_position(operation, p.at(index));
        HRESULT hr = E_FAIL;
        switch (kind) {
            case request_kind::write_whole: hr = file->WriteFully(operation); break;
            case request_kind::read_whole: hr = file->ReadFully(operation); break;
            case request_kind::read: hr = file->Read(operation); break;
            case request_kind::read_scatter: hr = file->ReadScatter(operation); break;
        }
        if (hr != S_OK) {
            failure = static_cast<DWORD>(hr);
            batch_done.raise();
        }
    };
    sink->on_complete = [&](IAsynIoOperation*, DWORD error, DWORD bytes) {
        if (error != 0 || bytes != p.bytes) {
            failure = error != 0 ? error : ~DWORD{0};
            batch_done.raise();
        } else if (++done == p.count) {
            batch_done.raise();
        } else {
            issue(done);
        }
    };
    if (opened != S_OK) state.SkipWithError("opening the file");
    for (auto _ : state) {
        if (writes && !empty_file(state, path)) break;
        batch_done.reset();
        post_to_dispatch(engine, [&] {
            done = 0;
            failure = 0;
            issue(0);
        });
        if (!batch_done.wait()) {
            state.SkipWithError("batch timed out");
            break;
        }
        if (failure != 0) {
            state.SkipWithError("a request failed");
            break;
        }
    }
    if (!state.error_occurred()) {
        const std::uint64_t last = p.at(p.count - 1);
        if (writes) check_written(state, path);
        else if (scatters ? !pages.hold_tags(last) : !holds_tags(buffer, p.bytes, last))
            state.SkipWithError("read the wrong bytes");
    }
    count_work(state, kind, p);
    // A request still in flight (a batch that timed out) ends with the close;
    // its completion must find nothing of this frame.
    on_dispatch(engine, [&] {
        if (opened == S_OK) file->Close();
        sink->on_complete = nullptr;
    });
    operation->Release();
    file->Release();
    sink->Release();
}

// A 1 GiB create at its final size, through the helper: with fallocate, or on
// the zero-filling path. That path pauses create_delay ms (5 by default) after
// each 1 KiB block it writes, one block every MiB: a create would take over 5 s
// and time the pauses rather than the path's work, so this case sets the
// pause to 0.
void create_case(benchmark::State& state, bool zero_fill) {
    our_engine engine(false, with_file_helper, zero_fill ? &unpaced_settings() : &g_settings);
    if (zero_fill) engine.services()->file_asyn_io_helper_ptr->set_fast_create_enabled(false);
    const std::string path = folder().file(zero_fill ? "created_zero_fill" : "created");
    auto* sink = new callback_sink;
    IAsynIoOperation* operation = our_operation(engine, sink, 0);
    DWORD failure = 0;
    batch_signal created;
    sink->on_complete = [&](IAsynIoOperation*, DWORD error, DWORD) {
        failure = error;
        created.raise();
    };
    double allocated = 0;
    for (auto _ : state) {
        created.reset();
        post_to_dispatch(engine, [&] {
            CAsynIoOperation* object = CAsynIoOperation::resolve(operation);
            object->AddRef();  // the request's reference; the completion releases it
            file_services::request_file_size(engine.services(), object, static_cast<std::uint32_t>(created_size),
                                             static_cast<std::uint32_t>(created_size >> 32), path, false);
        });
        if (!created.wait()) {
            state.SkipWithError("create timed out");
            break;
        }
        state.PauseTiming();
        struct stat info {};
        const bool made =
            failure == 0 && ::stat(path.c_str(), &info) == 0 && static_cast<std::uint64_t>(info.st_size) == created_size;
        allocated = static_cast<double>(info.st_blocks) * 512 / static_cast<double>(created_size);
        // Each create starts from nothing: the blocks of the last one are freed untimed.
        ::unlink(path.c_str());
        state.ResumeTiming();
        if (!made) {
            state.SkipWithError("the create failed");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    // How much of the created file has blocks behind it.
    state.counters["allocated"] = allocated;
    on_dispatch(engine, [&] { sink->on_complete = nullptr; });
    operation->Release();
    sink->Release();
}

// ---- libuv ------------------------------------------------------------------

// One loop and one request object, each completion starting the next request.
struct uv_run_state {
    uv_loop_t loop;
    uv_fs_t request;
    uv_timer_t watchdog;
    bool timed_out = false;
    bool stopping = false;
    uv_file file = -1;
    request_kind kind = request_kind::read;
    const plan* p = nullptr;
    long done = 0;
    std::uint32_t moved = 0;  // of the current whole-range request
    bool finished = false;
    ssize_t failure = 0;
    std::vector<std::uint8_t> buffer;
    std::vector<uv_buf_t> pieces;
};

// Ends a batch that runs past the limit: stops the loop and marks the batch.
void arm_watchdog(uv_run_state& run) {
    run.timed_out = false;
    uv_timer_start(
        &run.watchdog,
        [](uv_timer_t* timer) {
            static_cast<uv_run_state*>(timer->data)->timed_out = true;
            uv_stop(timer->loop);
        },
        static_cast<std::uint64_t>(std::chrono::milliseconds(wait_limit).count()), 0);
}

void uv_issue(uv_run_state& run);

void uv_completed(uv_fs_t* request) {
    auto& run = *static_cast<uv_run_state*>(request->data);
    const ssize_t result = request->result;
    uv_fs_req_cleanup(request);
    if (run.stopping) return;
    const bool whole = run.kind == request_kind::write_whole || run.kind == request_kind::read_whole;
    if (result < 0 || (result == 0 && run.p->bytes != 0) || (!whole && result != static_cast<ssize_t>(run.p->bytes))) {
        run.failure = result < 0 ? result : -1;
        uv_stop(&run.loop);
        return;
    }
    run.moved += static_cast<std::uint32_t>(result);
    if (run.moved < run.p->bytes) {
        uv_issue(run);
        return;
    }
    run.moved = 0;
    if (++run.done == run.p->count) {
        run.finished = true;
        uv_stop(&run.loop);
        return;
    }
    uv_issue(run);
}

void uv_issue(uv_run_state& run) {
    const auto position = static_cast<std::int64_t>(run.p->at(run.done) + run.moved);
    run.request.data = &run;
    int code = 0;
    if (run.kind == request_kind::read_scatter) {
        code = uv_fs_read(&run.loop, &run.request, run.file, run.pieces.data(), static_cast<unsigned>(run.pieces.size()),
                          position, uv_completed);
    } else {
        uv_buf_t piece = uv_buf_init(reinterpret_cast<char*>(run.buffer.data()) + run.moved, run.p->bytes - run.moved);
        code = run.kind == request_kind::write_whole
                   ? uv_fs_write(&run.loop, &run.request, run.file, &piece, 1, position, uv_completed)
                   : uv_fs_read(&run.loop, &run.request, run.file, &piece, 1, position, uv_completed);
    }
    if (code != 0) {
        run.failure = code;
        uv_stop(&run.loop);
    }
}

// Runs the loop until the current batch ends one way or another.
void uv_run_batch(uv_run_state& run) {
    arm_watchdog(run);
    while (!run.finished && run.failure == 0 && !run.timed_out) uv_run(&run.loop, UV_RUN_DEFAULT);
    uv_timer_stop(&run.watchdog);
}

void libuv_case(benchmark::State& state, request_kind kind, const plan& p, const std::string& path) {
    auto run = std::make_unique<uv_run_state>();
    uv_loop_init(&run->loop);
    uv_timer_init(&run->loop, &run->watchdog);
    run->watchdog.data = run.get();
    run->kind = kind;
    run->p = &p;
    const bool writes = kind == request_kind::write_whole;
    // The open is a request on the loop too.
    run->request.data = run.get();
    uv_fs_open(&run->loop, &run->request, path.c_str(), writes ? O_RDWR : O_RDONLY, 0,
               [](uv_fs_t* request) {
                   auto& r = *static_cast<uv_run_state*>(request->data);
                   if (request->result >= 0) r.file = static_cast<uv_file>(request->result);
                   else r.failure = request->result;
                   r.finished = true;
                   uv_fs_req_cleanup(request);
                   uv_stop(request->loop);
               });
    uv_run_batch(*run);
    page_set pages;
    if (kind == request_kind::read_scatter) {
        for (void* page : pages.pages) run->pieces.push_back(uv_buf_init(static_cast<char*>(page), page_size()));
    } else {
        run->buffer.assign(p.bytes, 0x5a);
    }
    if (run->file < 0) state.SkipWithError("opening the file");
    for (auto _ : state) {
        if (writes && !empty_file(state, path)) break;
        run->done = 0;
        run->moved = 0;
        run->finished = false;
        run->failure = 0;
        uv_issue(*run);
        uv_run_batch(*run);
        if (run->timed_out) {
            state.SkipWithError("batch timed out");
            break;
        }
        if (run->failure != 0) {
            state.SkipWithError("a request failed");
            break;
        }
    }
    if (!state.error_occurred()) {
        const std::uint64_t last = p.at(p.count - 1);
        if (writes) check_written(state, path);
        else if (kind == request_kind::read_scatter ? !pages.hold_tags(last) : !holds_tags(run->buffer.data(), p.bytes, last))
            state.SkipWithError("read the wrong bytes");
    }
    count_work(state, kind, p);
    // A request of a batch that timed out still finishes on the pool; the loop
    // waits for it, and its completion starts nothing.
    run->stopping = true;
    uv_close(reinterpret_cast<uv_handle_t*>(&run->watchdog), nullptr);
    uv_run(&run->loop, UV_RUN_DEFAULT);
    if (run->file >= 0) {
        uv_fs_t closing;
        uv_fs_close(&run->loop, &closing, run->file, nullptr);
        uv_fs_req_cleanup(&closing);
    }
    uv_loop_close(&run->loop);
}

// ---- sync -------------------------------------------------------------------

// The plain calls, one after the other on the benchmark thread.
void sync_case(benchmark::State& state, request_kind kind, const plan& p, const std::string& path) {
    const bool writes = kind == request_kind::write_whole;
    const int fd = ::open(path.c_str(), (writes ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    std::vector<std::uint8_t> buffer(p.bytes, 0x5a);
    page_set pages;
    std::vector<iovec> pieces;
    for (void* page : pages.pages) pieces.push_back({page, page_size()});
    if (fd < 0) state.SkipWithError("opening the file");
    bool failed = false;
    for (auto _ : state) {
        if (writes && !empty_file(state, path)) break;
        for (long i = 0; i < p.count && !failed; ++i) {
            const std::uint64_t position = p.at(i);
            switch (kind) {
                case request_kind::write_whole:
                case request_kind::read_whole:
                    for (std::uint32_t moved = 0; moved < p.bytes && !failed;) {
                        const ssize_t n =
                            writes ? ::pwrite(fd, buffer.data() + moved, p.bytes - moved, static_cast<off_t>(position + moved))
                                   : ::pread(fd, buffer.data() + moved, p.bytes - moved, static_cast<off_t>(position + moved));
                        if (n <= 0) failed = true;
                        else moved += static_cast<std::uint32_t>(n);
                    }
                    break;
                case request_kind::read:
                    failed = ::pread(fd, buffer.data(), p.bytes, static_cast<off_t>(position)) != static_cast<ssize_t>(p.bytes);
                    break;
                case request_kind::read_scatter:
                    failed = ::preadv(fd, pieces.data(), static_cast<int>(pieces.size()), static_cast<off_t>(position)) !=
                             static_cast<ssize_t>(p.bytes);
                    break;
            }
        }
        if (failed) {
            state.SkipWithError("a request failed");
            break;
        }
    }
    if (!state.error_occurred()) {
        const std::uint64_t last = p.at(p.count - 1);
        if (writes) check_written(state, path);
        else if (kind == request_kind::read_scatter ? !pages.hold_tags(last) : !holds_tags(buffer.data(), p.bytes, last))
            state.SkipWithError("read the wrong bytes");
    }
    count_work(state, kind, p);
    if (fd >= 0) ::close(fd);
}

// ---- cases ------------------------------------------------------------------

// The file a case works on: the shared data file for reads; a file of the
// case's own for writes, removed after it. That one is filled once before the
// library opens it: here a first fill of fresh memory is several times slower
// than a refill of pages just freed, and the case timed first would pay for it.
struct target {
    request_kind kind;
    plan p;
    std::string path;
    bool own;
};

target target_of(request_kind kind, const char* library) {
    switch (kind) {
        case request_kind::write_whole:
            return {kind, sequential_plan(), folder().file((std::string("written_") + library).c_str()), true};
        case request_kind::read_whole: return {kind, sequential_plan(), data_file(), false};
        case request_kind::read: return {kind, random_plan(), data_file(), false};
        case request_kind::read_scatter: return {kind, scatter_plan(), data_file(), false};
    }
    return {kind, sequential_plan(), data_file(), false};
}

enum class library { ours, ours_epoll, libuv, sync };

template <request_kind Kind, library Library>
void transfer_case(benchmark::State& state) {
    static const char* const names[] = {"ours", "ours_epoll", "libuv", "sync"};
    const target t = target_of(Kind, names[static_cast<int>(Library)]);
    if (t.own) fill_plainly(t.path, false);
    switch (Library) {
        case library::ours: ours_case(state, false, t.kind, t.p, t.path); break;
        case library::ours_epoll: ours_case(state, true, t.kind, t.p, t.path); break;
        case library::libuv: libuv_case(state, t.kind, t.p, t.path); break;
        case library::sync: sync_case(state, t.kind, t.p, t.path); break;
    }
    if (t.own) ::unlink(t.path.c_str());
}

template <bool ZeroFill>
void create_allocated(benchmark::State& state) {
    create_case(state, ZeroFill);
}

// Each case is registered under "<case>/<library>".
void register_case(const std::string& name, void (*function)(benchmark::State&)) {
    benchmark::RegisterBenchmark(name.c_str(), function)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(min_time);
}

template <request_kind Kind>
void register_libraries(const char* name) {
    const std::string head = std::string(name) + "/";
    register_case(head + "ours", transfer_case<Kind, library::ours>);
    register_case(head + "ours_epoll", transfer_case<Kind, library::ours_epoll>);
    register_case(head + "libuv", transfer_case<Kind, library::libuv>);
    register_case(head + "sync", transfer_case<Kind, library::sync>);
}

[[maybe_unused]] const bool registered = [] {
    register_libraries<request_kind::write_whole>("seq_write_1mib");
    register_libraries<request_kind::read_whole>("seq_read_1mib");
    register_libraries<request_kind::read>("random_read_4k");
    register_libraries<request_kind::read_scatter>("scatter_read_64_pages");
    register_case("create_allocated_1gib/ours", create_allocated<false>);
    register_case("create_allocated_1gib/ours_zero_fill", create_allocated<true>);
    return true;
}();

}  // namespace
}  // namespace file_bench

ASYNFRAME_BENCH_MAIN(
    "ours: io_uring, ours_epoll: epoll + file helper thread, ours_zero_fill: io_uring + the file helper's "
    "zero-filling create, libuv: its thread pool, sync: plain calls on one thread")
