// The frame driven internally, once per engine mode.
#include "frame/asyn_frame.h"

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <cstring>
#include <filesystem>
#include <future>
#include <thread>

#include "asynframe/file.h"
#include "common/frame_fixture.h"
#include "component/asyn_io_operation_object.h"
#include "component/string_setter.h"
#include "platform/event.h"
#include "support/scratch_folder.h"

namespace asynframe {
namespace {

using harness::FrameTest;
using harness::recorder;

constexpr HRESULT not_sent_yet = 0x7FFFFFFF;

TEST_P(FrameTest, StartsOnTheDispatchThreadAndGuardsOtherThreads) {
    const bool ui = host->ui();
    // UI-thread mode raises OnFrameStart inside Initialize, on this thread.
    EXPECT_EQ(sink->start_thread == std::this_thread::get_id(), ui);
    EXPECT_EQ(frame()->IsFrameThread(), ui ? S_OK : S_FALSE);

    std::thread([&] {
        IAsynIoOperation* operation = nullptr;
        EXPECT_EQ(frame()->IsFrameThread(), S_FALSE);
        EXPECT_EQ(frame()->CreateOperation(sink, &operation), E_ACCESSDENIED);
        EXPECT_EQ(frame()->SetTimer(sink, 1, 10, 0), E_ACCESSDENIED);
        EXPECT_EQ(frame()->KillTimers(sink), E_ACCESSDENIED);
        EXPECT_EQ(frame()->ReleaseOperations(sink), E_ACCESSDENIED);
        EXPECT_EQ(frame()->CreateTcpSocket(nullptr), E_ACCESSDENIED);
        // These three test the out pointer before the thread.
        EXPECT_EQ(frame()->CreateUdpSocket2(nullptr), E_INVALIDARG);
        EXPECT_EQ(frame()->CreateTcpListener2(nullptr), E_INVALIDARG);
        EXPECT_EQ(frame()->CreateSock5UdpSocket(0, nullptr, 0, 0, nullptr, 0, nullptr, nullptr), E_INVALIDARG);
    }).join();

    host->on_dispatch([&] {
        EXPECT_EQ(frame()->IsFrameThread(), S_OK);
        IAsynTcpSocket* socket = nullptr;
        EXPECT_EQ(frame()->CreateTcpSocket(nullptr), E_INVALIDARG);
        EXPECT_EQ(frame()->CreateTcpSocket(&socket), S_OK);
        ASSERT_NE(socket, nullptr);
        socket->Release();
        // It waits for the engine, so the dispatch thread may not call it.
        PROXY_RECORD record{};
        LONG result = 0;
        platform::event cancel(true);
        EXPECT_EQ(frame()->VerifyProxy(&record, platform::event_of(cancel.native()), &result), E_ACCESSDENIED);
    });
    EXPECT_EQ(frame()->SetMaxSynCount(0), E_INVALIDARG);
    EXPECT_EQ(frame()->SetMaxConnection(0), E_INVALIDARG);
}

TEST_P(FrameTest, InitializeTwiceThenAgainAfterUninitialize) {
    const asyn_io_manager* first_engine = object()->services()->asyn_io_manager_ptr;
    EXPECT_EQ(host->plugin->Initialize(0, nullptr, nullptr, 0), E_UNEXPECTED);
    EXPECT_EQ(object()->services()->asyn_io_manager_ptr, first_engine);

    EXPECT_EQ(host->stop(), S_OK);
    EXPECT_EQ(sink->count("stop"), 1u);
    EXPECT_EQ(host->plugin->Uninitialize(), E_UNEXPECTED);
    const singleton_instance& bundle = *object()->services();
    EXPECT_EQ(bundle.asyn_io_manager_ptr, nullptr);
    // The operation registry stays, empty, for objects the host lets go of later.
    ASSERT_NE(bundle.operation_objects_ptr, nullptr);
    EXPECT_EQ(bundle.operation_objects_ptr->count(sink), 0u);
    EXPECT_EQ(bundle.setting_ptr, nullptr);
    EXPECT_EQ(bundle.frame_plugin_ptr, nullptr);
    EXPECT_EQ(frame()->SetTimer(sink, 1, 10, 0), E_UNEXPECTED);
    EXPECT_EQ(frame()->IsFrameThread(), S_FALSE);
    DWORD count = 0;
    EXPECT_EQ(frame()->GetMaxSynCount(&count), E_UNEXPECTED);

    // A fresh set of services that works like the first.
    ASSERT_EQ(host->start(), S_OK);
    ASSERT_TRUE(host->run_until([&] { return sink->count("start") == 2; }));
    EXPECT_NE(object()->services()->stat_data_ptr, nullptr);
    host->on_dispatch([&] { EXPECT_EQ(frame()->SetTimer(sink, 7, 1, 0), S_OK); });
    EXPECT_TRUE(host->run_until([&] { return sink->count("timer 7") == 1; }));
    // The new scheduler took the frame's half-open limit again.
    EXPECT_EQ(frame()->GetMaxSynCount(&count), S_OK);
    EXPECT_EQ(count, 58u);
}

TEST_P(FrameTest, TimerLimitsAndKeys) {
    recorder* other = new recorder;
    host->on_dispatch([&] {
        EXPECT_EQ(frame()->SetTimer(sink, 1, 0, 1), E_INVALIDARG);
        EXPECT_EQ(frame()->SetTimer(sink, 1, frame_limits::MAX_TIMER_MILLISECOND, 0), E_INVALIDARG);
        EXPECT_EQ(frame()->SetTimer(sink, 1, frame_limits::MAX_TIMER_MILLISECOND - 1, 0), S_OK);
        EXPECT_EQ(frame()->SetTimer(sink, 1, 5, 0), E_UNEXPECTED);
        EXPECT_EQ(frame()->KillTimer(sink, 1), S_OK);
        EXPECT_EQ(frame()->KillTimer(sink, 1), E_UNEXPECTED);

        for (DWORD id = 1; id <= 3; ++id) EXPECT_EQ(frame()->SetTimer(sink, id, 100000, 1), S_OK);
        EXPECT_EQ(frame()->SetTimer(other, 2, 100000, 1), S_OK);
        EXPECT_EQ(object()->timer_count(), 4u);
        EXPECT_EQ(frame()->KillTimers(sink), S_OK);
        EXPECT_EQ(object()->timer_count(), 1u);
        EXPECT_EQ(frame()->KillTimers(sink), S_OK);
        EXPECT_EQ(frame()->KillTimer(other, 2), S_OK);
    });
    other->Release();
}

TEST_P(FrameTest, OneShotTimerCanBeSetAgainFromItsCallback) {
    std::atomic<int> fired{0};  // counted by the dispatch thread, polled here
    sink->on_timer = [&](DWORD id) {
        if (id != 5) return;
        if (++fired < 3) {
            EXPECT_EQ(frame()->SetTimer(sink, 5, 0, 0), S_OK);
        }
    };
    host->on_dispatch([&] { EXPECT_EQ(frame()->SetTimer(sink, 5, 0, 0), S_OK); });
    ASSERT_TRUE(host->run_until([&] { return fired == 3; }));
    host->on_dispatch([&] { EXPECT_EQ(frame()->KillTimer(sink, 5), E_UNEXPECTED); });

    // A repeating timer keeps firing until it is killed.
    host->on_dispatch([&] { EXPECT_EQ(frame()->SetTimer(sink, 9, 1, 1), S_OK); });
    ASSERT_TRUE(host->run_until([&] { return sink->count("timer 9") >= 3; }));
    host->on_dispatch([&] {
        EXPECT_EQ(frame()->IsFrameThread(), S_OK);
        EXPECT_EQ(frame()->KillTimer(sink, 9), S_OK);
    });
    sink->on_timer = nullptr;
}

TEST_P(FrameTest, MessagesArriveInOrderAndSendWaitsForDelivery) {
    EXPECT_EQ(frame()->PostFrameMessage(sink, 1, 2, 3), E_UNEXPECTED);
    EXPECT_EQ(frame()->SendFrameMessage(sink, 1, 2, 3), E_UNEXPECTED);
    EXPECT_EQ(frame()->CancelFrameMessages(sink), E_UNEXPECTED);
    ASSERT_EQ(frame()->RegisterReceiver(sink), S_OK);
    EXPECT_EQ(frame()->RegisterReceiver(sink), E_UNEXPECTED);
    std::atomic<bool> on_dispatch_thread{true};
    sink->on_message = [&](DWORD, DWORD, DWORD) {
        if (frame()->IsFrameThread() != S_OK) on_dispatch_thread = false;
    };

    std::atomic<HRESULT> sent{not_sent_yet};
    std::thread poster([&] {
        for (DWORD i = 1; i <= 3; ++i) EXPECT_EQ(frame()->PostFrameMessage(sink, i, 0, 0), S_OK);
        sent = frame()->SendFrameMessage(sink, 4, 0, 0);
    });
    ASSERT_TRUE(host->run_until([&] { return sent.load() != not_sent_yet; }));
    poster.join();
    EXPECT_EQ(sent.load(), S_OK);
    EXPECT_EQ(sink->log(), (std::vector<std::string>{"start", "message 1 0 0", "message 2 0 0", "message 3 0 0",
                                                      "message 4 0 0"}));
    EXPECT_TRUE(on_dispatch_thread);

    // On the dispatch thread a send overtakes what is still queued.
    sink->clear();
    host->on_dispatch([&] {
        EXPECT_EQ(frame()->PostFrameMessage(sink, 5, 0, 0), S_OK);
        EXPECT_EQ(frame()->SendFrameMessage(sink, 6, 0, 0), S_OK);
        EXPECT_EQ(sink->log(), (std::vector<std::string>{"message 6 0 0"}));
    });
    ASSERT_TRUE(host->run_until([&] { return sink->count("message 5") == 1; }));
    // The receiver may still be about to call on_message: clear it on its thread.
    host->on_dispatch([&] { sink->on_message = nullptr; });
    EXPECT_EQ(frame()->UnregisterReceiver(sink), S_OK);
    EXPECT_EQ(frame()->UnregisterReceiver(sink), E_UNEXPECTED);
}

TEST_P(FrameTest, CancellationReportsEachMessageAndFailsTheSender) {
    ASSERT_EQ(frame()->RegisterReceiver(sink), S_OK);
    host->hold_dispatch();
    for (DWORD i = 1; i <= 3; ++i) ASSERT_EQ(frame()->PostFrameMessage(sink, i, 10, 20), S_OK);
    std::promise<HRESULT> sent;
    std::thread sender([&] { sent.set_value(frame()->SendFrameMessage(sink, 4, 0, 0)); });
    // The sender's message is queued once the receiver has four pending.
    std::future<HRESULT> result = sent.get_future();
    for (int i = 0; i < 10000 && object()->pending_message_count() < 4; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(object()->pending_message_count(), 4u);
    EXPECT_EQ(frame()->CancelFrameMessages(sink), S_OK);
    EXPECT_EQ(result.get(), E_FAIL);
    sender.join();

    EXPECT_EQ(frame()->PostFrameMessage(sink, 5, 0, 0), S_OK);
    EXPECT_EQ(frame()->PostFrameMessage(sink, 6, 0, 0), S_OK);
    EXPECT_EQ(frame()->UnregisterReceiver(sink), S_OK);
    host->release_dispatch();
    // Let the engine hand out the cancelled messages: nothing more reaches the receiver.
    recorder* marker = new recorder;
    ASSERT_EQ(frame()->RegisterReceiver(marker), S_OK);
    ASSERT_EQ(frame()->PostFrameMessage(marker, 0, 0, 0), S_OK);
    ASSERT_TRUE(host->run_until([&] { return marker->count("message") == 1; }));
    EXPECT_EQ(frame()->UnregisterReceiver(marker), S_OK);
    marker->Release();

    EXPECT_EQ(sink->log(), (std::vector<std::string>{"start", "canceled 1 10 20", "canceled 2 10 20",
                                                      "canceled 3 10 20", "canceled 4 0 0", "canceled 5 0 0",
                                                      "canceled 6 0 0"}));
    EXPECT_EQ(sink->references(), 2u);  // this test's and the listener list's
}

TEST_P(FrameTest, QueuedMessagesAreReleasedWhenTheFrameStops) {
    // Only a UI thread that stops pumping can keep messages queued up to the stop.
    if (!host->ui()) GTEST_SKIP() << "the engine thread delivers everything queued before its quit";
    ASSERT_EQ(frame()->RegisterReceiver(sink), S_OK);
    host->hold_dispatch();
    std::promise<HRESULT> sent;
    ASSERT_EQ(frame()->PostFrameMessage(sink, 1, 0, 0), S_OK);
    std::thread sender([&] { sent.set_value(frame()->SendFrameMessage(sink, 2, 0, 0)); });
    for (int i = 0; i < 10000 && object()->pending_message_count() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(object()->pending_message_count(), 2u);
    EXPECT_EQ(host->stop(), S_OK);
    EXPECT_EQ(sent.get_future().get(), E_FAIL);
    sender.join();
    EXPECT_EQ(object()->pending_message_count(), 0u);
}

TEST_P(FrameTest, PagesAreWholeAndRetiredBlocksAllocateNothing) {
    DWORD size = 0;
    ASSERT_EQ(frame()->GetPageSize(&size), S_OK);
#if defined(_WIN32)
    SYSTEM_INFO system{};
    ::GetSystemInfo(&system);
    EXPECT_EQ(size, system.dwPageSize);
#else
    EXPECT_EQ(size, static_cast<DWORD>(::sysconf(_SC_PAGESIZE)));
#endif
    void* page = nullptr;
    ASSERT_EQ(frame()->AllocPage(&page), S_OK);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(page) % size, 0u);
    std::memset(page, 0xA5, size);
    EXPECT_EQ(static_cast<unsigned char*>(page)[size - 1], 0xA5);
    EXPECT_EQ(frame()->FreePage(page), S_OK);
    // Not a page of AllocPage: left alone.
    alignas(4096) static char not_a_page[4096];
    EXPECT_EQ(frame()->FreePage(not_a_page), S_OK);
    not_a_page[0] = 1;
    EXPECT_EQ(frame()->GetPageSize(nullptr), E_INVALIDARG);
    EXPECT_EQ(frame()->AllocPage(nullptr), E_INVALIDARG);
    void* block = &size;
    EXPECT_EQ(frame()->AllocBlock(16, &block), E_NOTIMPL);
    EXPECT_EQ(block, &size);
    EXPECT_EQ(frame()->FreeBlock(&size), E_NOTIMPL);

    std::string text = "old";
    CStringSetter* setter = new CStringSetter(text);
    IInterfaceLeak* leak = nullptr;
    ASSERT_EQ(frame()->QueryInterface(IID_IInterfaceLeak, reinterpret_cast<void**>(&leak)), S_OK);
    EXPECT_EQ(leak->GetLeakReport(0, 0, setter), S_OK);
    EXPECT_EQ(text, "");
    text = "old";
    EXPECT_EQ(leak->GetLeakSummary(setter), S_OK);
    EXPECT_EQ(text, "");
    leak->Release();
    setter->Release();
}

// ---- operations ----------------------------------------------------------------------

TEST_P(FrameTest, PostedOperationCompletesWithItsPresetResult) {
    IAsynIoOperation* operation = nullptr;
    host->on_dispatch([&] {
        EXPECT_EQ(frame()->CreateOperation(nullptr, &operation), E_INVALIDARG);
        EXPECT_EQ(frame()->CreateOperation(sink, nullptr), E_INVALIDARG);
        ASSERT_EQ(frame()->CreateOperation(sink, &operation), S_OK);
        // Busy until the tag is set.
        EXPECT_EQ(frame()->PostOperation(operation), E_INVALIDARG);
        EXPECT_EQ(operation->SetTag(3), S_OK);
        EXPECT_EQ(operation->SetResult(0, 5), S_OK);
        EXPECT_EQ(frame()->PostOperation(operation), S_OK);
        // In flight: busy again.
        EXPECT_EQ(frame()->PostOperation(operation), E_INVALIDARG);
    });
    ASSERT_TRUE(host->run_until([&] { return sink->count("complete") == 1; }));
    EXPECT_EQ(sink->log().back(), "complete 0 5");
    DWORD error = 1, bytes = 0;
    EXPECT_EQ(operation->GetResult(&error, &bytes), S_OK);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(bytes, 5u);
    EXPECT_EQ(operation->SetTag(-1), S_OK);
    EXPECT_EQ(frame()->PostOperation(operation), E_INVALIDARG);
    EXPECT_EQ(frame()->PostOperation(static_cast<IAsynFrameEvents*>(sink)), E_INVALIDARG);  // not an operation object
    operation->Release();
}

TEST_P(FrameTest, OperationFieldsCheckTheirArguments) {
    IAsynIoOperation* operation = make_operation(sink);
    ASSERT_NE(operation, nullptr);
    EXPECT_EQ(operation->AllocBuffer(0), E_INVALIDARG);
    ASSERT_EQ(operation->AllocBuffer(15), S_OK);
    EXPECT_EQ(operation->SetRange(10, 5), S_OK);
    EXPECT_EQ(operation->SetRange(10, 6), E_INVALIDARG);
    EXPECT_EQ(operation->SetRange(10, 0), E_INVALIDARG);
    EXPECT_EQ(operation->SetRange(0xFFFFFFFFu, 2), E_INVALIDARG);
    DWORD start = 0, length = 0;
    EXPECT_EQ(operation->GetRange(&start, &length), S_OK);
    EXPECT_EQ(start, 10u);
    EXPECT_EQ(length, 5u);

    EXPECT_EQ(operation->SetAddress(0x0100007Fu, 80), S_OK);
    CAsynIoOperation* object = CAsynIoOperation::resolve(operation);
    ASSERT_NE(object, nullptr);
    const platform::endpoint& kept = object->engine_operation()->address();
    EXPECT_TRUE(kept.is_v4());
    EXPECT_EQ(kept.port, 80);
    DWORD address = 0;
    WORD port = 0;
    EXPECT_EQ(operation->GetAddress(&address, nullptr), E_INVALIDARG);
    EXPECT_EQ(operation->GetAddress(&address, &port), S_OK);
    EXPECT_EQ(address, 0x0100007Fu);
    EXPECT_EQ(port, 80);

    EXPECT_EQ(operation->SetPosition(1, 2), S_OK);
    ULONGLONG position = 0;
    EXPECT_EQ(operation->GetPosition(&position), S_OK);
    EXPECT_EQ(position, 0x200000001ull);

    IAsynFileScatterOperation* scatter = nullptr;
    ASSERT_EQ(operation->QueryInterface(IID_IAsynFileScatterOperation, reinterpret_cast<void**>(&scatter)), S_OK);
    EXPECT_EQ(scatter->SetSegmentCount(0), E_INVALIDARG);
    EXPECT_EQ(scatter->SetSegmentCount(3), S_OK);
    EXPECT_EQ(scatter->SelectSegment(3), E_INVALIDARG);
    EXPECT_EQ(scatter->SelectSegment(2), S_OK);
    DWORD selected = 0, count = 0;
    FILE_SEGMENT_ELEMENT* segments = nullptr;
    EXPECT_EQ(scatter->GetSelectedSegment(&selected), S_OK);
    EXPECT_EQ(selected, 2u);
    EXPECT_EQ(scatter->GetSegments(&count, &segments), S_OK);
    EXPECT_EQ(count, 3u);
    EXPECT_NE(segments, nullptr);
    // Every face of the object leads back to it; any other object to nothing.
    IAsynIoOperationObject* implementation_face = nullptr;
    ASSERT_EQ(operation->QueryInterface(IID_IAsynIoOperationObject, reinterpret_cast<void**>(&implementation_face)),
              S_OK);
    EXPECT_EQ(CAsynIoOperation::resolve(scatter), object);
    EXPECT_EQ(CAsynIoOperation::resolve(implementation_face), object);
    EXPECT_EQ(CAsynIoOperation::resolve(static_cast<IAsynFrameEvents*>(sink)), nullptr);
    implementation_face->Release();
    scatter->Release();

    IUnknown* result = nullptr;
    EXPECT_EQ(operation->SetResultObject(static_cast<IAsynFrameEvents*>(sink)), S_OK);
    EXPECT_EQ(operation->GetResultObject(&result), S_OK);
    EXPECT_EQ(result, static_cast<IUnknown*>(static_cast<IAsynFrameEvents*>(sink)));
    result->Release();
    EXPECT_EQ(operation->SetResultObject(nullptr), S_OK);
    operation->Release();
}

// Records the order in which layers see a completion and passes it on.
class order_layer final : public com_interfaces<order_layer, CAsynIoOperationLayer> {
public:
    using interfaces = no_interfaces;
    order_layer(std::vector<std::string>& seen, std::string name) : _seen(seen), _name(std::move(name)) {}
    ULONG internal_add_ref() noexcept { return ++refs; }
    ULONG internal_release() noexcept { return --refs; }
    void on_layer_complete(CAsynIoOperation* operation, layer_entry entry) override {
        _seen.push_back(_name + " " + std::to_string(entry.values[0]));
        if (pass_on) operation->deliver();
    }
    bool pass_on = true;
    ULONG refs = 1;

private:
    std::vector<std::string>& _seen;
    std::string _name;
};

TEST_P(FrameTest, CompletionTravelsThroughLayersTopFirst) {
    std::vector<std::string> seen;
    order_layer bottom(seen, "bottom"), top(seen, "top");
    IAsynIoOperation* operation = make_operation(sink);
    CAsynIoOperation* object = CAsynIoOperation::resolve(operation);
    sink->on_complete = [&](IAsynIoOperation*) { seen.push_back("receiver"); };
    host->on_dispatch([&] {
        object->push_layer(&bottom, {1, 0, 0, 0, 0, 0, 0});
        object->push_layer(&top, {2, 0, 0, 0, 0, 0, 0});
        EXPECT_EQ(bottom.refs, 2u);
        operation->SetTag(0);
        operation->SetResult(0, 1);
        EXPECT_EQ(frame()->PostOperation(operation), S_OK);
    });
    ASSERT_TRUE(host->run_until([&] { return sink->count("complete") == 1; }));
    host->on_dispatch([] {});  // the receiver's callback, which fills `seen`, has returned
    EXPECT_EQ(seen, (std::vector<std::string>{"top 2", "bottom 1", "receiver"}));
    EXPECT_EQ(bottom.refs, 1u);
    EXPECT_EQ(top.refs, 1u);

    // A layer that keeps the completion: the receiver hears nothing.
    seen.clear();
    top.pass_on = false;
    host->on_dispatch([&] {
        object->push_layer(&bottom, {1, 0, 0, 0, 0, 0, 0});
        object->push_layer(&top, {2, 0, 0, 0, 0, 0, 0});
        EXPECT_EQ(frame()->PostOperation(operation), S_OK);
    });
    // `seen` is filled on the dispatch thread: look at it there.
    ASSERT_TRUE(host->run_until([&] {
        std::size_t n = 0;
        host->on_dispatch([&] { n = seen.size(); });
        return n == 1;
    }));
    host->on_dispatch([] {});
    EXPECT_EQ(seen, (std::vector<std::string>{"top 2"}));
    EXPECT_EQ(object->layer_count(), 1u);
    // Close drops the rest of the stack without calling anyone.
    EXPECT_EQ(operation->Close(), S_OK);
    EXPECT_EQ(object->layer_count(), 0u);
    EXPECT_EQ(bottom.refs, 1u);
    EXPECT_EQ(sink->count("complete"), 1u);
    sink->on_complete = nullptr;
    operation->Release();
}

TEST_P(FrameTest, CloseAndReleaseOperationsCutOperationsLoose) {
    recorder* owner = new recorder;
    IAsynIoOperation* operations[3] = {make_operation(owner), make_operation(owner), make_operation(owner)};
    EXPECT_EQ(object()->services()->operation_objects_ptr->count(owner), 3u);
    const long live_before = live_component_objects();
    host->on_dispatch([&] {
        // One in flight, then closed: the completion is consumed silently.
        operations[0]->SetTag(0);
        EXPECT_EQ(frame()->PostOperation(operations[0]), S_OK);
        EXPECT_EQ(operations[0]->Close(), S_OK);
        operations[0]->Release();  // the request still holds it
        operations[1]->SetTag(0);
        EXPECT_EQ(frame()->PostOperation(operations[1]), S_OK);
        EXPECT_EQ(frame()->ReleaseOperations(nullptr), E_INVALIDARG);
        EXPECT_EQ(frame()->ReleaseOperations(owner), S_OK);
    });
    EXPECT_EQ(object()->services()->operation_objects_ptr->count(owner), 0u);
    ASSERT_TRUE(host->run_until([&] { return live_component_objects() == live_before - 1; }));
    // Let the second completion pass too.
    host->on_dispatch([] {});
    host->run_until([&] { return !CAsynIoOperation::resolve(operations[1])->busy(); });
    EXPECT_EQ(owner->count("complete"), 0u);
    EXPECT_EQ(operations[2]->Close(), S_OK);
    EXPECT_EQ(owner->references(), 1u);
    operations[1]->Release();
    operations[2]->Release();
    owner->Release();
}

TEST_P(FrameTest, ForeignPostWhoseCallerLetsGoIsDeliveredAndSwept) {
    const long live_before = live_component_objects();
    IAsynIoOperation* operation = make_operation(sink);
    ASSERT_NE(operation, nullptr);
    std::thread([&] {
        operation->SetTag(1);
        operation->SetResult(0, 42);
        EXPECT_EQ(frame()->PostOperation(operation), S_OK);
        operation->Release();
    }).join();
    ASSERT_TRUE(host->run_until([&] { return sink->count("complete 0 42") == 1; }));
    // Only the frame holds it now; the housekeeping sweep (every second) drops it.
    ASSERT_TRUE(host->run_until([&] { return object()->deferred_release_count() == 0; }));
    EXPECT_EQ(live_component_objects(), live_before);
}

TEST_P(FrameTest, FileSlotsCreateSizedFilesAndFileObjects) {
    const testing_support::scratch_folder folder;
    const std::string name = folder.file("sized");
    IAsynIoOperation* operation = make_operation(sink);
    ASSERT_NE(operation, nullptr);
    IAsynFile* file = nullptr;
    host->on_dispatch([&] {
        EXPECT_EQ(frame()->CreateAllocatedFile(operation, 0, 0, static_cast<DWORD>(name.size()), name.data()),
                  E_INVALIDARG);  // size 0
        EXPECT_EQ(frame()->CreateAllocatedFile(operation, 4096, 0, 0, name.data()), E_INVALIDARG);
        EXPECT_EQ(frame()->CreateAllocatedFile(operation, 4096, 0, static_cast<DWORD>(name.size()), name.data()),
                  E_INVALIDARG);  // busy: the tag is still -1
        EXPECT_EQ(operation->SetTag(1), S_OK);
        EXPECT_EQ(frame()->CreateAllocatedFile(operation, 4096, 0, static_cast<DWORD>(name.size()), name.data()),
                  S_OK);
        EXPECT_EQ(frame()->CreateAsynFile(nullptr), E_INVALIDARG);
        EXPECT_EQ(frame()->CreateAsynFile(&file), S_OK);
    });
    ASSERT_TRUE(host->run_until([&] { return sink->count("complete") == 1; }));
    EXPECT_EQ(sink->log().back(), "complete 0 0");
    EXPECT_EQ(std::filesystem::file_size(name), 4096u);
    host->on_dispatch([&] {
        EXPECT_EQ(frame()->ExtendFile(operation, 100, 0, static_cast<DWORD>(name.size()), name.data()), S_OK);
    });
    ASSERT_TRUE(host->run_until([&] { return sink->count("complete") == 2; }));
    EXPECT_EQ(std::filesystem::file_size(name), 100u);

    // The file object works through the frame's engine and helper, and a
    // stop with a write in flight still completes or abandons it.
    ASSERT_NE(file, nullptr);
    host->on_dispatch([&] {
        EXPECT_EQ(file->Open(static_cast<DWORD>(name.size()), name.data(), GENERIC_READ | GENERIC_WRITE, 0,
                             OPEN_EXISTING, 0),
                  S_OK);
        EXPECT_EQ(operation->AllocBuffer(4), S_OK);
        EXPECT_EQ(operation->SetRange(0, 4), S_OK);
        EXPECT_EQ(file->Write(operation), S_OK);
    });
    ASSERT_TRUE(host->run_until([&] { return sink->count("complete") == 3; }));
    EXPECT_EQ(sink->log().back(), "complete 0 4");
    host->on_dispatch([&] { EXPECT_EQ(file->Write(operation), S_OK); });
    EXPECT_EQ(host->stop(), S_OK);
    file->Release();
    operation->Release();
}

INSTANTIATE_TEST_SUITE_P(Modes, FrameTest, harness::all_modes(), harness::mode_label);

}  // namespace
}  // namespace asynframe
