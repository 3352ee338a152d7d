// The data-transfer face shared by files and sockets.
#pragma once

#include "asynframe/com.h"
#include "asynframe/operation.h"

namespace asynframe {

// {EC5D0247-5709-4F6E-9644-3C40C3429733}
inline constexpr IID IID_IAsynIoDevice = {
    0xEC5D0247, 0x5709, 0x4F6E, {0x96, 0x44, 0x3C, 0x40, 0xC3, 0x42, 0x97, 0x33}};

// Every slot must be called on the frame's dispatch thread (E_ACCESSDENIED
// otherwise). A request returns S_OK once it is under way; its outcome, also a
// failure to start it on the wire, arrives as the operation's completion.
// An operation is refused with E_INVALIDARG when it is not the frame's own
// operation object, is busy (in flight, or its tag is -1), or its range is not
// inside its buffer.
struct IAsynIoDevice : IUnknown {
    // Reads up to the range length into the operation's buffer at the range
    // start (files: at the operation's position). A completion with 0 bytes
    // and no error means end of data. E_UNEXPECTED when not open.
    virtual HRESULT ASYNFRAME_STDCALL Read(IAsynIoOperation* operation) = 0;  // slot 3
    // Writes from the operation's range; may complete with fewer bytes.
    // E_UNEXPECTED when not open.
    virtual HRESULT ASYNFRAME_STDCALL Write(IAsynIoOperation* operation) = 0;  // slot 4
    // Reads until the whole range is filled, an error occurs or the data ends
    // (then the completion reports 0 bytes). The caller's range and position
    // are restored at completion. E_UNEXPECTED while another whole-range read
    // runs on this device.
    virtual HRESULT ASYNFRAME_STDCALL ReadFully(IAsynIoOperation* operation) = 0;  // slot 5
    // Writes the whole range; an error midway reports the bytes written before
    // it. E_UNEXPECTED while another whole-range write runs on this device.
    virtual HRESULT ASYNFRAME_STDCALL WriteFully(IAsynIoOperation* operation) = 0;  // slot 6
    // Closes the device; requests in flight complete with an error.
    // E_UNEXPECTED when not open.
    virtual HRESULT ASYNFRAME_STDCALL Close() = 0;  // slot 7

protected:
    ~IAsynIoDevice() = default;
};

}  // namespace asynframe
