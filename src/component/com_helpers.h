// The component helpers of the library's own classes: the public header-only
// ones (ref_ptr, com_interfaces with an interface table, the counts) and
// ref_counted, the IUnknown of small internal relays.
//
// A component class keeps its count in CUnknownMultiThread or
// CUnknownSingleThread (component/unknown_base.h), whose internal_add_ref and
// internal_release com_interfaces calls, so live_component_objects() sees it:
//
//   class CThing final : public com_interfaces<CThing, IThing>, public CUnknownMultiThread {
//   public:
//       using interfaces = single_interface<IID_IThing, IThing>;
#pragma once

#include <atomic>

#include "asynframe/com_helpers.h"

namespace asynframe {

// IUnknown for small internal objects that point back to an owner: `Bases`
// are the interfaces they implement. The count is atomic: completions on the
// dispatch thread and owners on host threads let go of them.
template <class... Bases>
class ref_counted : public Bases... {
public:
    ULONG ASYNFRAME_STDCALL AddRef() override { return ++_references; }
    ULONG ASYNFRAME_STDCALL Release() override {
        const ULONG left = --_references;
        if (left == 0) delete this;
        return left;
    }

protected:
    virtual ~ref_counted() = default;

    // QueryInterface of an object with one interface besides IUnknown.
    template <class Face>
    HRESULT query_one(REFIID iid, void** object, REFIID face_iid, Face* face) {
        if (object == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || iid == face_iid) {
            *object = face;
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }

private:
    std::atomic<ULONG> _references{1};
};

}  // namespace asynframe
