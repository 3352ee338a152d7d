// Frame messages: receivers, posts and synchronous sends through the engine.
#include "frame/asyn_frame.h"

#include <new>

#include "engine/asyn_io_manager.h"
#include "platform/event.h"

namespace asynframe {

// ---- CAsynFrameMessage -----------------------------------------------------------

CAsynFrameMessage::CAsynFrameMessage(singleton_instance* services, asyn_io_handler* frame,
                                     IAsynMessageEvents* message_receiver, DWORD first, DWORD second, DWORD third,
                                     platform::event* done_event, platform::event* delivered_event)
    : asyn_io_operation(services, frame, 0u),
      receiver(message_receiver),
      value1(first),
      value2(second),
      value3(third),
      done(done_event),
      delivered(delivered_event) {
    set_operation_type(operation_type::frame_message);
    if (receiver != nullptr) receiver->AddRef();
}

CAsynFrameMessage::~CAsynFrameMessage() {
    if (receiver != nullptr) receiver->Release();
    // A synchronous sender never waits for a message that no longer exists.
    if (done != nullptr) done->set();
}

// ---- frame messages ------------------------------------------------------------------

std::size_t CAsynFrame::pending_message_count() const {
    const std::lock_guard<std::recursive_mutex> guard_lock(_lock);
    return _pending_messages.size();
}

bool CAsynFrame::registered(IAsynMessageEvents* receiver) const {
    const std::lock_guard<std::recursive_mutex> guard_lock(_lock);
    return _receivers.count(receiver) != 0;
}

HRESULT CAsynFrame::RegisterReceiver(IAsynMessageEvents* receiver) {
    if (receiver == nullptr) return E_INVALIDARG;
    const std::lock_guard<std::recursive_mutex> guard_lock(_lock);
    if (_receivers.count(receiver) != 0) return E_UNEXPECTED;
    try {
        _receivers.insert(receiver);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    receiver->AddRef();
    return S_OK;
}

HRESULT CAsynFrame::UnregisterReceiver(IAsynMessageEvents* receiver) {
    const std::lock_guard<std::recursive_mutex> guard_lock(_lock);
    const auto found = _receivers.find(receiver);
    if (found == _receivers.end()) return E_UNEXPECTED;
    _receivers.erase(found);
    cancel_messages(receiver);
    receiver->Release();
    return S_OK;
}

HRESULT CAsynFrame::CancelFrameMessages(IAsynMessageEvents* receiver) {
    const std::lock_guard<std::recursive_mutex> guard_lock(_lock);
    if (_receivers.count(receiver) == 0) return E_UNEXPECTED;
    cancel_messages(receiver);
    return S_OK;
}

void CAsynFrame::cancel_messages(IAsynMessageEvents* receiver) {
    // Taken out first: a receiver may post or cancel again from its callback.
    std::vector<CAsynFrameMessage*> cancelled;
    const auto range = _pending_messages.equal_range(receiver);
    for (auto it = range.first; it != range.second; ++it) cancelled.push_back(it->second);
    _pending_messages.erase(range.first, range.second);
    for (CAsynFrameMessage* message : cancelled) {
        receiver->OnMessageCanceled(message->value1, message->value2, message->value3);
        if (message->receiver != nullptr) std::exchange(message->receiver, nullptr)->Release();
        message->delivered = nullptr;
        if (message->done != nullptr) std::exchange(message->done, nullptr)->set();
    }
    // The messages stay queued in the engine; their delivery finds no receiver.
}

void CAsynFrame::abandon_messages() {
    {
        const std::lock_guard<std::recursive_mutex> guard_lock(_lock);
        for (auto& [receiver, message] : _pending_messages) {
            if (message->receiver != nullptr) std::exchange(message->receiver, nullptr)->Release();
            message->delivered = nullptr;
            if (message->done != nullptr) std::exchange(message->done, nullptr)->set();
        }
        _pending_messages.clear();
    }
    // Idle messages are deleted; queued ones are orphaned and the engine's
    // teardown deletes them.
    delete_all_operations();
}

HRESULT CAsynFrame::queue_message(IAsynMessageEvents* receiver, DWORD value1, DWORD value2, DWORD value3,
                                  platform::event* done, platform::event* delivered) {
    // Held while the message is queued: a stop that begins now waits for it,
    // and then finishes or cancels it with the rest.
    std::shared_lock<std::shared_mutex> state_guard(_state_lock);
    if (!accepts_work_locked(in_dispatch_thread_locked())) return E_UNEXPECTED;
    CAsynFrameMessage* message = nullptr;
    try {
        message = new CAsynFrameMessage(&_services, this, receiver, value1, value2, value3, done, delivered);
        const std::lock_guard<std::recursive_mutex> guard_lock(_lock);
        _pending_messages.emplace(receiver, message);
    } catch (...) {
        if (message != nullptr) {
            message->done = nullptr;
            delete_operation(message);
        }
        return E_OUTOFMEMORY;
    }
    if (message->post()) return S_OK;
    // The engine refused it: nobody will deliver or cancel it, so undo it here.
    {
        const std::lock_guard<std::recursive_mutex> guard_lock(_lock);
        const auto range = _pending_messages.equal_range(receiver);
        for (auto it = range.first; it != range.second; ++it) {
            if (it->second == message) {
                _pending_messages.erase(it);
                break;
            }
        }
        message->done = nullptr;
        message->delivered = nullptr;
        delete_operation(message);
    }
    return E_FAIL;
}

HRESULT CAsynFrame::PostFrameMessage(IAsynMessageEvents* receiver, DWORD value1, DWORD value2, DWORD value3) {
    if (!registered(receiver)) return E_UNEXPECTED;
    return queue_message(receiver, value1, value2, value3, nullptr, nullptr);
}

HRESULT CAsynFrame::SendFrameMessage(IAsynMessageEvents* receiver, DWORD value1, DWORD value2, DWORD value3) {
    if (!registered(receiver)) return E_UNEXPECTED;
    if (in_dispatch_thread()) {
        // Waiting would wait for this very thread: call at once.
        receiver->AddRef();
        receiver->OnMessage(value1, value2, value3);
        receiver->Release();
        return S_OK;
    }
    try {
        // Auto-reset: only this thread waits, once, and the wait ends in a read
        // of what the dispatch thread's set wrote, so the event may go at once.
        platform::event done(false, false);
        platform::event delivered(true, false);
        const HRESULT hr = queue_message(receiver, value1, value2, value3, &done, &delivered);
        // A frame that is stopping takes no new message: the send failed.
        if (FAILED(hr)) return hr == E_UNEXPECTED ? E_FAIL : hr;
        done.wait(platform::infinite);
        return delivered.try_acquire() ? S_OK : E_FAIL;
    } catch (...) {
        return E_FAIL;
    }
}

void CAsynFrame::on_io_complete(asyn_io_operation* operation) {
    if (operation->get_operation_type() != operation_type::frame_message) return;
    auto* message = static_cast<CAsynFrameMessage*>(operation);
    IAsynMessageEvents* receiver = nullptr;
    platform::event* done = nullptr;
    platform::event* delivered = nullptr;
    const DWORD value1 = message->value1;
    const DWORD value2 = message->value2;
    const DWORD value3 = message->value3;
    bool deliver = false;
    {
        const std::lock_guard<std::recursive_mutex> guard_lock(_lock);
        receiver = std::exchange(message->receiver, nullptr);  // its reference moves here
        done = std::exchange(message->done, nullptr);
        delivered = std::exchange(message->delivered, nullptr);
        if (receiver != nullptr) {
            const auto range = _pending_messages.equal_range(receiver);
            for (auto it = range.first; it != range.second; ++it) {
                if (it->second == message) {
                    _pending_messages.erase(it);
                    deliver = _receivers.count(receiver) != 0;
                    break;
                }
            }
        }
    }
    delete_operation(message);
    if (receiver == nullptr) return;  // cancelled
    if (deliver) {
        receiver->OnMessage(value1, value2, value3);
        if (delivered != nullptr) delivered->set();
    }
    // The sender resumes only after the frame let go of the receiver.
    receiver->Release();
    if (done != nullptr) done->set();
}

}  // namespace asynframe
