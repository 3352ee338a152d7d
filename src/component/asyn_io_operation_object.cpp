#include "component/asyn_io_operation_object.h"


#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/socket.h"


namespace asynframe {
namespace {

IAsynIoOperation* operation_face(asyn_io_handler_base* handler) noexcept {
    auto* object = dynamic_cast<CAsynIoOperation*>(handler);
    return object != nullptr ? object->face() : nullptr;
}

// The v-table pointer the face handed out by create() starts with, noted
// when the first object is made. A v-table belongs to one class at one base
// position, so a pointer that starts with it is that face of an object of
// this class: the devices resolve every request's operation, and this spares
// them a query and two reference counts each time.
std::atomic<const void*> g_face_vtable{nullptr};

const void* vtable_of(const void* object) noexcept {
    const void* vtable = nullptr;
    std::memcpy(&vtable, object, sizeof vtable);
    return vtable;
}

void install_face_resolver() {
    static std::once_flag once;
    std::call_once(once, [] { operation_iface_resolver = &operation_face; });
}

}  // namespace

// ---- creation and destruction ------------------------------------------------

CAsynIoOperation::CAsynIoOperation(singleton_instance* services, IAsynIoOperationEvents* receiver)
    : with_singleton(services), CUnknownMultiThread("CAsynIoOperation"), _receiver(receiver) {
    if (_receiver != nullptr) _receiver->AddRef();
}

CAsynIoOperation::~CAsynIoOperation() {
    if (_receiver != nullptr) {
        if (_singleton != nullptr && _singleton->operation_objects_ptr != nullptr)
            _singleton->operation_objects_ptr->remove(this, _receiver);
        _receiver->Release();
        _receiver = nullptr;
    }
    // Every entry holds a reference on this object, so none can be left here.
    if (_layers)
        for (const layer_entry& entry : *_layers) entry.layer->Release();
    if (_operation != nullptr) _operation->~asyn_io_operation();
    if (_result_object != nullptr) _result_object->Release();
}

HRESULT CAsynIoOperation::create(singleton_instance* services, IAsynIoOperationEvents* receiver, REFIID iid,
                                 void** out) {
    install_face_resolver();
    CAsynIoOperation* object = new (std::nothrow) CAsynIoOperation(services, receiver);
    if (object == nullptr) return E_OUTOFMEMORY;
    try {
        if (receiver != nullptr && services != nullptr && services->operation_objects_ptr != nullptr)
            services->operation_objects_ptr->add(object, receiver);
        object->_operation =
            new (object->_operation_room) asyn_io_operation(services, static_cast<asyn_io_handler_base*>(object), 0u);
    } catch (...) {
        object->Release();
        return E_OUTOFMEMORY;
    }
    g_face_vtable.store(vtable_of(static_cast<IAsynFileScatterOperation*>(object)), std::memory_order_relaxed);
    const HRESULT hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
}

CAsynIoOperation* CAsynIoOperation::resolve(IUnknown* any) noexcept {
    if (any == nullptr) return nullptr;
    const void* known = g_face_vtable.load(std::memory_order_relaxed);
    if (known != nullptr && vtable_of(any) == known)
        return static_cast<CAsynIoOperation*>(static_cast<IAsynFileScatterOperation*>(any));
    IAsynIoOperationObject* face = nullptr;
    if (FAILED(any->QueryInterface(IID_IAsynIoOperationObject, reinterpret_cast<void**>(&face))) ||
        face == nullptr)
        return nullptr;
    void* object = nullptr;
    face->GetImplementation(&object);
    face->Release();
    return static_cast<CAsynIoOperation*>(object);
}

// ---- IAsynIoOperation ----------------------------------------------------------

HRESULT CAsynIoOperation::SetTag(LONG tag) {
    _tag = tag;
    return S_OK;
}

HRESULT CAsynIoOperation::GetTag(LONG* tag) {
    if (tag == nullptr) return E_INVALIDARG;
    *tag = _tag;
    return S_OK;
}

HRESULT CAsynIoOperation::SetResult(DWORD error, DWORD bytes) {
    if (_operation == nullptr) return E_FAIL;
    _operation->set_preset_result(error, bytes);
    return S_OK;
}

HRESULT CAsynIoOperation::GetResult(DWORD* error, DWORD* bytes) {
    if (_operation == nullptr) return E_UNEXPECTED;
    std::uint32_t moved = 0;
    std::uint32_t code = 0;
    _operation->get_result(moved, code);
    if (error != nullptr) *error = code;
    if (bytes != nullptr) *bytes = moved;
    return S_OK;
}

HRESULT CAsynIoOperation::SetResultObject(IUnknown* object) {
    if (object != nullptr) object->AddRef();
    IUnknown* previous = _result_object;
    _result_object = object;
    if (previous != nullptr) previous->Release();
    return S_OK;
}

HRESULT CAsynIoOperation::GetResultObject(IUnknown** object) {
    if (object == nullptr) return E_INVALIDARG;
    *object = _result_object;
    if (_result_object != nullptr) _result_object->AddRef();
    return S_OK;
}

HRESULT CAsynIoOperation::AllocBuffer(DWORD size) {
    if (size == 0) return E_INVALIDARG;
    if (_operation == nullptr) return E_FAIL;
    return _operation->resize_buffer(size) != nullptr ? S_OK : E_FAIL;
}

HRESULT CAsynIoOperation::GetBuffer(BYTE** buffer, DWORD* length) {
    if (_operation == nullptr) return E_ACCESSDENIED;
    if (buffer != nullptr) *buffer = _operation->buffer();
    if (length != nullptr) *length = _operation->buffer_len();
    return S_OK;
}

HRESULT CAsynIoOperation::FreeBuffer() {
    if (_operation != nullptr) _operation->free_buffer();
    return S_OK;
}

HRESULT CAsynIoOperation::SetRange(DWORD start, DWORD length) {
    const std::uint64_t end = static_cast<std::uint64_t>(start) + length;
    const std::uint32_t buffer_length = _operation != nullptr ? _operation->buffer_len() : 0;
    if (length == 0 || end > buffer_length) return E_INVALIDARG;
    _operation->set_range(start, length);
    return S_OK;
}

HRESULT CAsynIoOperation::GetRange(DWORD* start, DWORD* length) {
    if (start != nullptr) *start = range_start();
    if (length != nullptr) *length = range_length();
    return S_OK;
}

HRESULT CAsynIoOperation::SetPosition(DWORD low, DWORD high) {
    if (_operation != nullptr) _operation->set_position(low, high);
    return S_OK;
}

HRESULT CAsynIoOperation::GetPosition(ULONGLONG* position) {
    if (position == nullptr) return E_INVALIDARG;
    *position = _operation != nullptr ? _operation->get_position() : 0;
    return S_OK;
}

HRESULT CAsynIoOperation::SetAddress(DWORD address, WORD port) {
    if (_operation == nullptr) return E_UNEXPECTED;
    _operation->address() = platform::endpoint::v4(address, port);
    return S_OK;
}

HRESULT CAsynIoOperation::GetAddress(DWORD* address, WORD* port) {
    if (address == nullptr || port == nullptr) return E_INVALIDARG;
    // A dual-stack socket's IPv4 peer is still an IPv4 address to the host.
    const platform::endpoint peer = _operation != nullptr ? platform::unmapped(_operation->address()) : platform::endpoint{};
    *address = peer.v4_address();
    *port = peer.port;
    return S_OK;
}

HRESULT CAsynIoOperation::Close() {
    if (_receiver != nullptr && _singleton != nullptr && _singleton->operation_objects_ptr != nullptr)
        _singleton->operation_objects_ptr->remove(this, _receiver);
    cut_loose();
    return S_OK;
}

// ---- IAsynFileScatterOperation ---------------------------------------------------

HRESULT CAsynIoOperation::SetSegmentCount(DWORD count) {
    if (count == 0) return E_INVALIDARG;
    if (_operation == nullptr) return E_UNEXPECTED;
    try {
        _operation->set_segments_num(count);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    if (_selected_segment >= count) _selected_segment = 0;
    return S_OK;
}

HRESULT CAsynIoOperation::GetSegments(DWORD* count, FILE_SEGMENT_ELEMENT** segments) {
    static_assert(sizeof(FILE_SEGMENT_ELEMENT) == sizeof(segment_element));
    if (count != nullptr) *count = _operation != nullptr ? _operation->segments_num() : 0;
    if (segments != nullptr)
        *segments = _operation != nullptr ? reinterpret_cast<FILE_SEGMENT_ELEMENT*>(_operation->segments())
                                          : nullptr;
    return S_OK;
}

HRESULT CAsynIoOperation::SelectSegment(DWORD index) {
    if (_operation == nullptr || index >= _operation->segments_num()) return E_INVALIDARG;
    _selected_segment = index;
    return S_OK;
}

HRESULT CAsynIoOperation::GetSelectedSegment(DWORD* index) {
    if (index == nullptr) return E_INVALIDARG;
    *index = _selected_segment;
    return S_OK;
}

HRESULT CAsynIoOperation::GetImplementation(void** object) {
    if (object == nullptr) return E_INVALIDARG;
    *object = this;
    return S_OK;
}

// ---- framework side ------------------------------------------------------------

bool CAsynIoOperation::busy() const noexcept {
    return _tag == -1 || (_operation != nullptr && _operation->is_pending());
}

bool CAsynIoOperation::range_valid() const noexcept {
    if (_operation == nullptr || _operation->buffer() == nullptr) return false;
    const std::uint32_t length = _operation->buffer_len();
    return length != 0 && range_length() != 0 &&
           static_cast<std::uint64_t>(range_start()) + range_length() <= length;
}

void CAsynIoOperation::push_layer(CAsynIoOperationLayer* layer, const std::uint32_t (&values)[7]) {
    layer_entry entry;
    entry.layer = layer;
    std::copy(std::begin(values), std::end(values), std::begin(entry.values));
    if (!_layers) _layers = std::make_unique<std::vector<layer_entry>>();  // may throw, as may the push
    _layers->push_back(entry);  // nothing is referenced yet
    layer->AddRef();
    AddRef();
}

void CAsynIoOperation::pop_layer() {
    if (layer_count() == 0) return;
    const layer_entry entry = _layers->back();
    _layers->pop_back();
    entry.layer->Release();
    Release();
}

void CAsynIoOperation::deliver() {
    if (layer_count() == 0) {
        IAsynIoOperationEvents* receiver = _receiver;
        if (receiver == nullptr) return;
        receiver->AddRef();  // the callback may close the operation
        receiver->OnIoComplete(face());
        receiver->Release();
        return;
    }
    // The entry's references keep this object and its layer alive across the
    // layer's callback, whatever the callback releases.
    const layer_entry entry = _layers->back();
    _layers->pop_back();
    entry.layer->on_layer_complete(this, entry);
    entry.layer->Release();
    Release();
}

void CAsynIoOperation::cut_loose() {
    AddRef();  // the entries' references may be the last ones
    IAsynIoOperationEvents* receiver = _receiver;
    _receiver = nullptr;
    if (receiver != nullptr) receiver->Release();
    const std::unique_ptr<std::vector<layer_entry>> stack = std::move(_layers);
    std::vector<layer_entry> none;
    const std::vector<layer_entry>& layers = stack ? *stack : none;
    // Top first, as completions would have reached them.
    for (auto it = layers.rbegin(); it != layers.rend(); ++it) it->layer->on_layer_cut(this, *it);
    for (const layer_entry& entry : layers) {
        entry.layer->Release();
        Release();
    }
    Release();
}

bool CAsynIoOperation::has_layer(const CAsynIoOperationLayer* layer) const noexcept {
    if (!_layers) return false;
    for (const layer_entry& entry : *_layers)
        if (entry.layer == layer) return true;
    return false;
}

HRESULT CAsynIoOperation::post_completion() {
    if (_operation == nullptr || busy()) return E_INVALIDARG;
    AddRef();  // the completion releases it
    _operation->set_result_preset(true);
    if (!_operation->post()) {
        Release();
        return E_FAIL;
    }
    return S_OK;
}

void CAsynIoOperation::on_io_complete(asyn_io_operation*) {
    if (_receiver != nullptr) deliver();
    Release();  // the reference the request took
}

void CAsynIoOperation::on_io_abandoned(asyn_io_operation*) {
    cut_loose();
    Release();  // the reference the request took
}

// ---- registry ------------------------------------------------------------------

void CAsynIoOperationObjects::add(CAsynIoOperation* operation, IAsynIoOperationEvents* receiver) {
    mutex::scoped_lock guard(_lock);
    _operations[receiver].push_back(operation);
}

void CAsynIoOperationObjects::remove(CAsynIoOperation* operation, IAsynIoOperationEvents* receiver) {
    mutex::scoped_lock guard(_lock);
    const auto found = _operations.find(receiver);
    if (found == _operations.end()) return;
    std::vector<CAsynIoOperation*>& list = found->second;
    const auto position = std::find(list.begin(), list.end(), operation);
    if (position != list.end()) list.erase(position);
    if (list.empty()) _operations.erase(found);
}

void CAsynIoOperationObjects::clear() {
    mutex::scoped_lock guard(_lock);
    _operations.clear();
}

void CAsynIoOperationObjects::release_all(IAsynIoOperationEvents* receiver) {
    std::vector<CAsynIoOperation*> list;
    {
        mutex::scoped_lock guard(_lock);
        const auto found = _operations.find(receiver);
        if (found == _operations.end()) return;
        list.swap(found->second);
        _operations.erase(found);
    }
    // Outside the lock: cutting loose may destroy an operation, whose
    // destructor comes back to this registry.
    for (CAsynIoOperation* operation : list) operation->cut_loose();
}

std::size_t CAsynIoOperationObjects::count(IAsynIoOperationEvents* receiver) {
    mutex::scoped_lock guard(_lock);
    const auto found = _operations.find(receiver);
    return found == _operations.end() ? 0 : found->second.size();
}

}  // namespace asynframe
