// IUnknown written once for the library's small internal objects (relays and
// sinks that point back to an owner): `Bases` are the interfaces they
// implement. The count is atomic: completions on the dispatch thread and
// owners on host threads let go of them.
#pragma once

#include <atomic>

#include "asynframe/com.h"

namespace asynframe {

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
