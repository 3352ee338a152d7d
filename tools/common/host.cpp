#include "common/host.h"

#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace asynframe::tools {
namespace {

std::string& name_storage() {
    static std::string name = "tool";
    return name;
}

std::string program_folder() {
    std::error_code ignored;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ignored);
    return self.empty() ? std::string() : self.parent_path().string();
}

bool readable(const std::string& path) { return !path.empty() && ::access(path.c_str(), R_OK) == 0; }

// The library is looked for only where this program's own installation puts
// it: a build tree links it in beside each tool, an install under the
// prefix's library folder. Nothing outside the tool's own tree is guessed at.
std::string find_library(const std::string& option) {
    if (!option.empty()) return option;
    if (const char* variable = std::getenv("ASYNFRAME_LIBRARY"); variable != nullptr && *variable != '\0')
        return variable;
    const std::string folder = program_folder();
    if (!folder.empty())
        for (const std::string& candidate : {folder + "/libasynframe.so",
                                             folder + "/../" ASYNFRAME_INSTALL_LIBDIR "/libasynframe.so.1",
                                             folder + "/../lib/libasynframe.so.1"})
            if (readable(candidate)) return candidate;
    throw tool_error(exit_failure, "libasynframe.so not found beside the program nor in " +
                                       (folder.empty() ? std::string("its ../lib") : folder + "/../" ASYNFRAME_INSTALL_LIBDIR) +
                                       " (give --library or set ASYNFRAME_LIBRARY)");
}

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

}  // namespace

void set_tool_name(const char* argv0) {
    const std::string path = argv0 != nullptr ? argv0 : "tool";
    const std::size_t slash = path.rfind('/');
    name_storage() = slash == std::string::npos ? path : path.substr(slash + 1);
}

const std::string& tool_name() { return name_storage(); }

void print_error(const std::string& text) {
    std::string line = text;
    for (char& c : line)
        if (c == '\n' || c == '\r') c = ' ';
    std::fprintf(stderr, "%s: %s\n", tool_name().c_str(), line.c_str());
    std::fflush(stderr);
}

// ---- settings ----------------------------------------------------------------------------

// ---- operations --------------------------------------------------------------------------

// The completion target; the operation object holds a reference until it is
// cut loose, so the sink outlives any completion it may still get.
class operation::sink final : public com_interfaces<operation::sink, IAsynIoOperationEvents>, public atomic_ref_count {
public:
    using interfaces = single_interface<IID_IAsynIoOperationEvents, IAsynIoOperationEvents>;

    HRESULT ASYNFRAME_STDCALL OnIoComplete(IAsynIoOperation* completed) override {
        callback call = std::exchange(next, nullptr);
        if (!call) return S_OK;
        DWORD error = 0, bytes = 0;
        completed->GetResult(&error, &bytes);
        call(error, bytes);
        return S_OK;
    }
    callback next;
};

operation::operation(IAsynFrame* frame, DWORD buffer_size) : _sink(new sink()) {
    if (frame->CreateOperation(_sink, &_operation) != S_OK || _operation == nullptr) {
        _sink->Release();
        throw tool_error(exit_failure, "the frame made no operation");
    }
    _operation->SetTag(0);
    if (buffer_size != 0 && _operation->AllocBuffer(buffer_size) != S_OK) {
        _operation->Close();
        _operation->Release();
        _sink->Release();
        throw tool_error(exit_failure, "out of memory for a buffer of " + std::to_string(buffer_size) + " bytes");
    }
    _operation->GetBuffer(&_buffer, &_buffer_size);
}

operation::~operation() {
    _sink->next = nullptr;
    _operation->Close();
    _operation->Release();
    _sink->Release();
}

bool operation::reallocate(DWORD size) {
    _operation->FreeBuffer();
    _buffer = nullptr;
    _buffer_size = 0;
    if (_operation->AllocBuffer(size) != S_OK) return false;
    _operation->GetBuffer(&_buffer, &_buffer_size);
    return true;
}

void operation::on_complete(callback next) { _sink->next = std::move(next); }

bool operation::range(DWORD start, DWORD length) { return _operation->SetRange(start, length) == S_OK; }

void operation::position(std::uint64_t at) { _operation->SetPosition(low_half(at), high_half(at)); }

// ---- the host ----------------------------------------------------------------------------

// Runs the host's functions on the dispatch thread through frame messages.
// Owned by the host, which deletes it after the frame stopped.
class host::message_sink final : public com_interfaces<host::message_sink, IAsynMessageEvents>, public owner_held {
public:
    using interfaces = single_interface<IID_IAsynMessageEvents, IAsynMessageEvents>;

    HRESULT ASYNFRAME_STDCALL OnMessage(DWORD kind, DWORD, DWORD) override {
        if (kind == posted_work) {
            std::function<void()> work;
            {
                std::lock_guard<std::mutex> guard(lock);
                if (queue.empty()) return S_OK;
                work = std::move(queue.front());
                queue.pop_front();
            }
            run(work);
            return S_OK;
        }
        run(call);
        return S_OK;
    }
    void run(const std::function<void()>& work) {
        if (work) {
            try {
                work();
            } catch (const tool_error& failure) {
                owner->finish(failure.code(), failure.what());
            } catch (const std::exception& failure) {
                owner->finish(exit_failure, failure.what());
            }
        }
    }
    HRESULT ASYNFRAME_STDCALL OnMessageCanceled(DWORD, DWORD, DWORD) override { return S_OK; }

    static constexpr DWORD posted_work = 1;
    host* owner = nullptr;
    std::function<void()> call;
    std::mutex lock;
    std::deque<std::function<void()>> queue;
};

void host::post(std::function<void()> work) {
    {
        std::lock_guard<std::mutex> guard(_messages->lock);
        _messages->queue.push_back(std::move(work));
    }
    _frame->PostFrameMessage(_messages, message_sink::posted_work, 0, 0);
}

class timer::sink final : public com_interfaces<timer::sink, IAsynTimerEvents>, public atomic_ref_count {
public:
    using interfaces = single_interface<IID_IAsynTimerEvents, IAsynTimerEvents>;

    HRESULT ASYNFRAME_STDCALL OnTimer(DWORD) override {
        if (tick) tick();
        return S_OK;
    }
    std::function<void()> tick;
};

timer::timer(IAsynFrame* frame, DWORD period_ms, std::function<void()> tick) : _frame(frame), _sink(new sink()) {
    _sink->tick = std::move(tick);
    if (_frame->SetTimer(_sink, 1, period_ms, 1) != S_OK) throw tool_error(exit_failure, "the frame set no timer");
}

timer::~timer() {
    _sink->tick = nullptr;
    _frame->KillTimer(_sink, 1);
    _sink->Release();
}

host::host(const std::string& path) {
    const std::string file = find_library(path);
    _library = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (_library == nullptr) throw tool_error(exit_failure, std::string("cannot load ") + file + ": " + ::dlerror());
    auto get_class_object =
        reinterpret_cast<decltype(&DllGetClassObject)>(::dlsym(_library, "DllGetClassObject"));
    if (get_class_object == nullptr) throw tool_error(exit_failure, file + " has no DllGetClassObject");
    ref<IClassFactory> factory;
    if (get_class_object(CLSID_AsynFramePlugin, IID_IClassFactory, factory.put_void()) != S_OK)
        throw tool_error(exit_failure, "the library serves no frame class");
    if (factory->CreateInstance(nullptr, IID_IAsynFrame3, reinterpret_cast<void**>(&_frame)) != S_OK)
        throw tool_error(exit_failure, "the library made no frame");
    if (_frame->QueryInterface(IID_IAsynFramePlugin, reinterpret_cast<void**>(&_plugin)) != S_OK)
        throw tool_error(exit_failure, "the frame cannot be initialised");
    _messages = new message_sink();
    _messages->owner = this;
    _wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // A peer closing a connection must not end the tool.
    ::signal(SIGPIPE, SIG_IGN);
}

host::~host() {
    if (_plugin != nullptr) _plugin->Release();
    if (_frame != nullptr) _frame->Release();
    delete _messages;
    if (_wake >= 0) ::close(_wake);
    // The library stays loaded: its threads are gone, but unloading gains a
    // tool about to exit nothing.
}

void host::finish(int code, const std::string& text) {
    if (_finished.exchange(true)) return;
    if (!text.empty()) print_error(text);
    _code = code;
    const std::uint64_t one = 1;
    (void)!::write(_wake, &one, sizeof one);
}

int host::run(const std::function<void()>& start, const std::function<void()>& stop,
              const std::function<void()>& interrupted) {
    // Blocked before the frame's threads exist, so they inherit the mask and
    // only the signal descriptor below sees these.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    const int signal_fd = ::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);

    if (_plugin->Initialize(0, &_settings, nullptr, 0) != S_OK)
        throw tool_error(exit_failure, "the frame did not start");
    _frame->RegisterReceiver(_messages);
    auto on_dispatch = [this](const std::function<void()>& work) {
        if (!work) return;
        _messages->call = work;
        _frame->SendFrameMessage(_messages, 0, 0, 0);
        _messages->call = nullptr;
    };
    on_dispatch(start);
    int signals_seen = 0;
    while (!_finished) {
        pollfd waits[2] = {{_wake, POLLIN, 0}, {signal_fd, POLLIN, 0}};
        if (::poll(waits, 2, -1) < 0 && errno != EINTR) break;
        if ((waits[1].revents & POLLIN) != 0) {
            signalfd_siginfo info{};
            (void)!::read(signal_fd, &info, sizeof info);
            if (interrupted && ++signals_seen == 1)
                on_dispatch(interrupted);
            else
                finish(exit_interrupted, "interrupted");
        }
    }
    on_dispatch(stop);
    _frame->UnregisterReceiver(_messages);
    _plugin->Uninitialize();
    if (signal_fd >= 0) ::close(signal_fd);
    return _code;
}

std::string describe_error(DWORD error) {
    switch (error) {
    case 0: return "no error";
    case 2: return "file not found";
    case 3: return "path not found";
    case 5: return "access denied";
    case 29: return "write fault";
    case 112: return "disk full";
    case 995: return "timed out or aborted";
    case 1928: return "refused by the proxy (or a malformed proxy reply)";
    case 1929: return "the proxy connection failed";
    case 1930: return "the layered connection failed";
    case 10013: return "permission denied";
    case 10024: return "too many open files";
    case 10048: return "address in use";
    case 10049: return "address not available";
    case 10050: return "network down";
    case 10051: return "network unreachable";
    case 10053: return "connection aborted";
    case 10054: return "connection reset";
    case 10055: return "no buffer space";
    case 10058: return "the peer closed the connection";
    case 10060: return "timed out";
    case 10061: return "connection refused";
    case 10065: return "host unreachable";
    case 11001: return "host not found";
    case 0xFFFFFFFFu: return "the peer closed the connection";
    default: break;
    }
    if ((error & 0x20000000u) != 0) return std::strerror(static_cast<int>(error & 0xFFFFu));
    return "error " + std::to_string(error) + " (" + hex(error) + ")";
}

}  // namespace asynframe::tools
