// The operation object handed to callers (CAsynIoOperation), its layer stack,
// and the frame's registry of operation objects by owner.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "asynframe/operation.h"
#include "engine/asyn_io_handler.h"
#include "engine/asyn_io_operation.h"
#include "engine/singleton.h"
#include "component/com_helpers.h"
#include "component/unknown_base.h"
#include "platform/mutex.h"

namespace asynframe {

class CAsynIoOperation;
class CAsynIoOperationLayer;

// One entry of an operation's layer stack: the layer and seven words of context
// whose meaning belongs to the layer.
struct layer_entry {
    CAsynIoOperationLayer* layer = nullptr;
    std::uint32_t values[7] = {};
};

// An object that sees a completion of a caller's operation before the caller
// does (whole-range transfers, proxies, TLS, rate limits, the resolver object).
class CAsynIoOperationLayer : public IUnknown {
public:
    // Dispatch thread. The operation's top entry, already popped, by value.
    virtual void on_layer_complete(CAsynIoOperation* operation, layer_entry entry) = 0;
    // The operation was closed (or abandoned) with this entry still on it: no
    // completion will come for it.
    virtual void on_layer_cut(CAsynIoOperation*, const layer_entry&) {}

protected:
    virtual ~CAsynIoOperationLayer() = default;
};

class CAsynIoOperation final
    : public com_interfaces<CAsynIoOperation, IAsynFileScatterOperation, IAsynIoOperationObject>,
      public asyn_io_handler_base,
      public with_singleton,
      public CUnknownMultiThread {
public:
    // Builds an object for `receiver` (registered under it), with its engine
    // operation, and answers `iid` into `out`. E_OUTOFMEMORY when it cannot be
    // built; the query's failure otherwise.
    static HRESULT create(singleton_instance* services, IAsynIoOperationEvents* receiver, REFIID iid, void** out);

    // The object behind any face of an operation object of this module; null
    // for anything else.
    static CAsynIoOperation* resolve(IUnknown* any) noexcept;

    using interfaces = interface_table<interface_entry<IID_IUnknown, IAsynFileScatterOperation>,
                                       interface_entry<IID_IAsynIoOperation, IAsynFileScatterOperation>,
                                       interface_entry<IID_IAsynFileScatterOperation, IAsynFileScatterOperation>,
                                       interface_entry<IID_IAsynIoOperationObject, IAsynIoOperationObject>>;

    // IAsynIoOperation
    HRESULT ASYNFRAME_STDCALL SetTag(LONG tag) override;
    HRESULT ASYNFRAME_STDCALL GetTag(LONG* tag) override;
    HRESULT ASYNFRAME_STDCALL SetResult(DWORD error, DWORD bytes) override;
    HRESULT ASYNFRAME_STDCALL GetResult(DWORD* error, DWORD* bytes) override;
    HRESULT ASYNFRAME_STDCALL SetResultObject(IUnknown* object) override;
    HRESULT ASYNFRAME_STDCALL GetResultObject(IUnknown** object) override;
    HRESULT ASYNFRAME_STDCALL AllocBuffer(DWORD size) override;
    HRESULT ASYNFRAME_STDCALL GetBuffer(BYTE** buffer, DWORD* length) override;
    HRESULT ASYNFRAME_STDCALL FreeBuffer() override;
    HRESULT ASYNFRAME_STDCALL SetRange(DWORD start, DWORD length) override;
    HRESULT ASYNFRAME_STDCALL GetRange(DWORD* start, DWORD* length) override;
    HRESULT ASYNFRAME_STDCALL SetPosition(DWORD low, DWORD high) override;
    HRESULT ASYNFRAME_STDCALL GetPosition(ULONGLONG* position) override;
    HRESULT ASYNFRAME_STDCALL SetAddress(DWORD address, WORD port) override;
    HRESULT ASYNFRAME_STDCALL GetAddress(DWORD* address, WORD* port) override;
    HRESULT ASYNFRAME_STDCALL Close() override;
    // IAsynFileScatterOperation
    HRESULT ASYNFRAME_STDCALL SetSegmentCount(DWORD count) override;
    HRESULT ASYNFRAME_STDCALL GetSegments(DWORD* count, FILE_SEGMENT_ELEMENT** segments) override;
    HRESULT ASYNFRAME_STDCALL SelectSegment(DWORD index) override;
    HRESULT ASYNFRAME_STDCALL GetSelectedSegment(DWORD* index) override;
    // IAsynIoOperationObject
    HRESULT ASYNFRAME_STDCALL GetImplementation(void** object) override;

    // asyn_io_handler_base: the engine's completion of the request in flight.
    void on_io_complete(asyn_io_operation* operation) override;
    // The engine went away first: nobody is called, the request's reference goes.
    void on_io_abandoned(asyn_io_operation* operation) override;

    // Framework side.
    IAsynIoOperation* face() noexcept { return this; }
    asyn_io_operation* engine_operation() const noexcept { return _operation; }
    IAsynIoOperationEvents* receiver() const noexcept { return _receiver; }
    LONG tag() const noexcept { return _tag; }
    std::uint32_t range_start() const noexcept { return _operation != nullptr ? _operation->range_start() : 0; }
    std::uint32_t range_length() const noexcept { return _operation != nullptr ? _operation->range_length() : 0; }
    std::uint32_t selected_segment() const noexcept { return _selected_segment; }
    // In flight, or its tag still -1.
    bool busy() const noexcept;
    // Buffer present and the range inside it.
    bool range_valid() const noexcept;

    void push_layer(CAsynIoOperationLayer* layer, const std::uint32_t (&values)[7]);
    void pop_layer();
    std::size_t layer_count() const noexcept { return _layers ? _layers->size() : 0; }
    // Hands the completion to the top layer, or to the receiver when no layer is left.
    void deliver();
    // Drops the receiver and every layer without calling either.
    void cut_loose();
    bool has_layer(const CAsynIoOperationLayer* layer) const noexcept;
    // Completes the operation with the result set on it, through the engine,
    // as the frame's PostOperation does. E_INVALIDARG when it is busy,
    // E_FAIL when the engine refused it.
    HRESULT post_completion();

private:
    CAsynIoOperation(singleton_instance* services, IAsynIoOperationEvents* receiver);
    ~CAsynIoOperation() override;

    IAsynIoOperationEvents* _receiver = nullptr;
    // The layer stack, made by the first push: most operations never carry a layer.
    std::unique_ptr<std::vector<layer_entry>> _layers;
    asyn_io_operation* _operation = nullptr;
    IUnknown* _result_object = nullptr;
    LONG _tag = -1;
    std::uint32_t _selected_segment = 0;
    // Where _operation is made: the engine's operation shares this object's
    // allocation. It is never deleted on its own, since its handler (this
    // object) never leaves it.
    alignas(asyn_io_operation) unsigned char _operation_room[sizeof(asyn_io_operation)];
};

// Operation objects by owner, so that an owner going away can cut all of its
// operations loose at once. Holds no references: operations leave on Close and
// on destruction.
class CAsynIoOperationObjects : public with_singleton {
public:
    explicit CAsynIoOperationObjects(singleton_instance* services) noexcept : with_singleton(services) {}

    void add(CAsynIoOperation* operation, IAsynIoOperationEvents* receiver);
    void remove(CAsynIoOperation* operation, IAsynIoOperationEvents* receiver);
    void release_all(IAsynIoOperationEvents* receiver);
    std::size_t count(IAsynIoOperationEvents* receiver);
    // Forgets every entry; the operations themselves are left as they are.
    void clear();

private:
    // Creation is allowed on any thread (scatter operations), so the map is locked.
    mutex _lock;
    std::map<IAsynIoOperationEvents*, std::vector<CAsynIoOperation*>> _operations;
};

}  // namespace asynframe
