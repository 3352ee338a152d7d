// asynframe_host: loads the library (libasynframe.so, or asynframe.dll on
// Windows), starts a frame on its own engine thread and exercises listeners, a
// repeating timer, frame messages from a second thread, an operation completed
// without I/O and a loopback TCP connection the frame accepts and answers.
// Prints what happens; exits 0 only when everything arrived, in order.
//
// Usage: asynframe_host [path of the library]
#if defined(_WIN32)
#include <winsock2.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "asynframe/asynframe.h"
#include "asynframe/com_helpers.h"

using namespace asynframe;

namespace {

// One object that listens to everything the frame tells a host.
class host_sink final
    : public com_interfaces<host_sink, IAsynFrameEvents, IAsynTimerEvents, IAsynMessageEvents, IAsynIoOperationEvents> {
public:
    // The frame only calls the sink; it asks for no other face.
    using interfaces = no_interfaces;

    static constexpr DWORD setup_command = 100;
    static constexpr DWORD listen_command = 101;
    static constexpr DWORD accept_command = 102;
    static constexpr DWORD close_command = 103;
    static constexpr DWORD timer_id = 7;
    enum tag : LONG { posted = 1, listening = 2, accepting = 3, reading = 4, writing = 5 };

    IAsynFrame3* frame = nullptr;
    IAsynIoOperation* operation = nullptr;
    // The TCP step: a listener, its operation, and the connection it accepts.
    IAsynTcpListener* listener = nullptr;
    IAsynIoOperation* transfer = nullptr;
    IAsynTcpSocket* accepted = nullptr;
    std::atomic<WORD> port{0};

    // Lives on main's stack: the count is only watched.
    ULONG internal_add_ref() { return ++_refs; }
    ULONG internal_release() { return --_refs; }

    HRESULT ASYNFRAME_STDCALL OnFrameStart() override {
        note("frame started");
        return S_OK;
    }
    HRESULT ASYNFRAME_STDCALL OnFrameStop() override {
        note("frame stopped");
        return S_OK;
    }
    HRESULT ASYNFRAME_STDCALL OnTimer(DWORD id) override {
        const int fired = ++_timer_fired;
        note("timer " + std::to_string(id) + " fired (" + std::to_string(fired) + ")");
        if (fired == 3) frame->KillTimer(this, id);
        return S_OK;
    }
    HRESULT ASYNFRAME_STDCALL OnMessage(DWORD a, DWORD b, DWORD c) override {
        if (a == setup_command) {
            // On the dispatch thread: the only place timers and operations may be made.
            const HRESULT timer = frame->SetTimer(this, timer_id, 20, 1);
            const HRESULT created = frame->CreateOperation(this, &operation);
            note("setup: SetTimer " + hex(timer) + ", CreateOperation " + hex(created));
            return S_OK;
        }
        if (a == listen_command) {
            HRESULT hr = frame->CreateTcpListener(&listener);
            if (hr == S_OK) hr = frame->CreateOperation(this, &transfer);
            if (hr == S_OK) hr = transfer->SetTag(listening);
            if (hr == S_OK) hr = listener->Listen(0, transfer);
            if (hr != S_OK) note("listen failed: " + hex(hr));
            return S_OK;
        }
        if (a == accept_command) {
            transfer->SetTag(accepting);
            const HRESULT hr = listener->Accept(transfer);
            if (hr != S_OK) note("accept failed: " + hex(hr));
            return S_OK;
        }
        if (a == close_command) {
            if (accepted != nullptr) std::exchange(accepted, nullptr)->Release();
            if (listener != nullptr) {
                listener->Close();
                std::exchange(listener, nullptr)->Release();
            }
            if (transfer != nullptr) std::exchange(transfer, nullptr)->Release();
            return S_OK;
        }
        note("message " + std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(c));
        return S_OK;
    }
    HRESULT ASYNFRAME_STDCALL OnMessageCanceled(DWORD a, DWORD, DWORD) override {
        note("message " + std::to_string(a) + " cancelled");
        return S_OK;
    }
    HRESULT ASYNFRAME_STDCALL OnIoComplete(IAsynIoOperation* completed) override {
        DWORD error = 0, bytes = 0;
        completed->GetResult(&error, &bytes);
        LONG tag = posted;
        completed->GetTag(&tag);
        if (tag == posted) {
            note("operation complete: error " + std::to_string(error) + ", bytes " + std::to_string(bytes));
        } else if (error != 0) {
            note("transfer step " + std::to_string(tag) + " failed: error " + std::to_string(error));
        } else if (tag == listening) {
            text_receiver address;
            WORD bound = 0;
            listener->GetLocalAddress(&address, &bound);
            port = bound;
            note("listening");
        } else if (tag == accepting) {
            IUnknown* result = nullptr;
            completed->GetResultObject(&result);
            if (result == nullptr || result->QueryInterface(IID_IAsynTcpSocket, reinterpret_cast<void**>(&accepted)) != S_OK) {
                note("accept gave no socket");
            } else {
                note("accepted");
                // Read exactly the client's greeting.
                completed->SetTag(reading);
                completed->AllocBuffer(5);
                completed->SetRange(0, 5);
                accepted->ReadFully(completed);
            }
            if (result != nullptr) result->Release();
        } else if (tag == reading) {
            BYTE* data = nullptr;
            completed->GetBuffer(&data, nullptr);
            note("received " + std::string(reinterpret_cast<const char*>(data), bytes));
            std::memcpy(data, "world", 5);
            completed->SetTag(writing);
            completed->SetRange(0, 5);
            accepted->WriteFully(completed);
        } else if (tag == writing) {
            note("answered");
        }
        return S_OK;
    }

    bool wait_for(const std::string& line, std::chrono::seconds limit = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> guard(_lock);
        return _changed.wait_for(guard, limit, [&] {
            for (const std::string& seen : _log)
                if (seen == line) return true;
            return false;
        });
    }
    std::vector<std::string> log() {
        std::lock_guard<std::mutex> guard(_lock);
        return _log;
    }
    ULONG references() const { return _refs; }

    static std::string hex(HRESULT hr) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
        return text;
    }

private:
    void note(const std::string& line) {
        std::printf("  [%s] %s\n", frame != nullptr && frame->IsFrameThread() == S_OK ? "dispatch" : "host",
                    line.c_str());
        std::fflush(stdout);
        std::lock_guard<std::mutex> guard(_lock);
        _log.push_back(line);
        _changed.notify_all();
    }

    std::mutex _lock;
    std::condition_variable _changed;
    std::vector<std::string> _log;
    std::atomic<int> _timer_fired{0};
    std::atomic<ULONG> _refs{1};
};

int fail(const char* what) {
    std::printf("FAILED: %s\n", what);
    return 1;
}

// The host's own end of the TCP step: a plain blocking client that greets the
// frame and reads its answer.
#if defined(_WIN32)
using client_socket = SOCKET;
constexpr client_socket no_client = INVALID_SOCKET;
void close_client(client_socket s) { ::closesocket(s); }
#else
using client_socket = int;
constexpr client_socket no_client = -1;
void close_client(client_socket s) { ::close(s); }
#endif

std::string greet(WORD port) {
    const client_socket s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s == no_client) return "no socket";
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (::connect(s, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
        answer = "connect failed";
    } else if (::send(s, "hello", 5, 0) != 5) {
        answer = "send failed";
    } else {
        char buffer[5];
        int got = 0;
        while (got < 5) {
            const int n = static_cast<int>(::recv(s, buffer + got, 5 - got, 0));
            if (n <= 0) break;
            got += n;
        }
        answer.assign(buffer, static_cast<std::size_t>(got));
    }
    close_client(s);
    return answer;
}

}  // namespace

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : ASYNFRAME_LIBRARY_PATH;
    std::printf("loading %s\n", path);
#if defined(_WIN32)
    WSADATA winsock;
    if (::WSAStartup(MAKEWORD(2, 2), &winsock) != 0) return fail("WSAStartup");
    HMODULE library = ::LoadLibraryA(path);
    if (library == nullptr) return fail("LoadLibrary");
    auto entry = [&](const char* name) { return reinterpret_cast<void*>(::GetProcAddress(library, name)); };
#else
    void* library = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return fail(::dlerror());
    auto entry = [&](const char* name) { return ::dlsym(library, name); };
#endif
    // Spelled out: on Windows the system headers declare these names too.
    using get_class_object_entry = HRESULT(ASYNFRAME_STDCALL*)(REFCLSID, REFIID, void**);
    using can_unload_now_entry = HRESULT(ASYNFRAME_STDCALL*)();
    auto get_class_object = reinterpret_cast<get_class_object_entry>(entry("DllGetClassObject"));
    auto can_unload_now = reinterpret_cast<can_unload_now_entry>(entry("DllCanUnloadNow"));
    if (get_class_object == nullptr || can_unload_now == nullptr) return fail("entry points missing");

    IClassFactory* factory = nullptr;
    if (get_class_object(CLSID_AsynFramePlugin, IID_IClassFactory, reinterpret_cast<void**>(&factory)) != S_OK)
        return fail("DllGetClassObject");
    IAsynFrame3* frame = nullptr;
    const HRESULT created = factory->CreateInstance(nullptr, IID_IAsynFrame3, reinterpret_cast<void**>(&frame));
    factory->Release();
    if (created != S_OK) return fail("CreateInstance");
    IAsynFramePlugin* plugin = nullptr;
    if (frame->QueryInterface(IID_IAsynFramePlugin, reinterpret_cast<void**>(&plugin)) != S_OK)
        return fail("IAsynFramePlugin");

    host_sink sink;
    sink.frame = frame;
    frame->Advise(&sink);
    frame->RegisterReceiver(&sink);
    std::printf("initialising (engine thread)\n");
    if (plugin->Initialize(0, nullptr, nullptr, 0) != S_OK) return fail("Initialize");
    if (!sink.wait_for("frame started")) return fail("no OnFrameStart");

    // Set up a timer and an operation on the dispatch thread; waits until done.
    if (frame->SendFrameMessage(&sink, host_sink::setup_command, 0, 0) != S_OK) return fail("SendFrameMessage");
    if (sink.operation == nullptr) return fail("no operation");

    std::thread second([&] {
        for (DWORD i = 1; i <= 3; ++i) frame->PostFrameMessage(&sink, i, i * 10, i * 100);
        const HRESULT sent = frame->SendFrameMessage(&sink, 4, 40, 400);
        std::printf("  [host] SendFrameMessage returned %s\n", host_sink::hex(sent).c_str());
    });
    second.join();
    if (!sink.wait_for("message 4 40 400")) return fail("messages");
    if (!sink.wait_for("timer 7 fired (3)")) return fail("timer");

    // Complete the operation through the engine without any I/O.
    sink.operation->SetTag(1);
    sink.operation->SetResult(0, 1234);
    if (frame->PostOperation(sink.operation) != S_OK) return fail("PostOperation");
    if (!sink.wait_for("operation complete: error 0, bytes 1234")) return fail("completion");

    // A loopback connection the frame accepts, reads and answers.
    frame->SendFrameMessage(&sink, host_sink::listen_command, 0, 0);
    if (!sink.wait_for("listening")) return fail("listen");
    frame->SendFrameMessage(&sink, host_sink::accept_command, 0, 0);
    const std::string answer = greet(sink.port);
    std::printf("  [host] the frame answered \"%s\"\n", answer.c_str());
    if (answer != "world" || !sink.wait_for("answered")) return fail("TCP exchange");
    frame->SendFrameMessage(&sink, host_sink::close_command, 0, 0);

    sink.operation->Release();
    frame->UnregisterReceiver(&sink);
    std::printf("uninitialising\n");
    if (plugin->Uninitialize() != S_OK) return fail("Uninitialize");
    frame->Unadvise(&sink);
    plugin->Release();
    frame->Release();
    const HRESULT unload = can_unload_now();
    std::printf("DllCanUnloadNow: %s\n", host_sink::hex(unload).c_str());

    // Everything in order: start, setup, messages 1..4 in posting order, three
    // timer expiries, the completion, stop.
    const std::vector<std::string> log = sink.log();
    std::vector<std::string> ordered;
    int timers = 0;
    for (const std::string& line : log) {
        if (line.rfind("timer", 0) == 0)
            ++timers;
        else
            ordered.push_back(line);
    }
    const std::vector<std::string> expected = {"frame started",
                                               "setup: SetTimer 0x00000000, CreateOperation 0x00000000",
                                               "message 1 10 100",
                                               "message 2 20 200",
                                               "message 3 30 300",
                                               "message 4 40 400",
                                               "operation complete: error 0, bytes 1234",
                                               "listening",
                                               "accepted",
                                               "received hello",
                                               "answered",
                                               "frame stopped"};
    if (ordered != expected) return fail("events out of order");
    if (timers != 3) return fail("the timer did not stop after three expiries");
    if (unload != S_OK) return fail("objects still alive");
    if (sink.references() != 1) return fail("references still held");
    std::printf("all events arrived in order\n");
    return 0;
}
