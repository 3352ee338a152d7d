// The module as a component server: class identifiers, entry points, the
// download-library plug-in and the host registry it is handed.
//
// A host gets a frame in one of two ways: through DllGetClassObject with
// CLSID_AsynFramePlugin, then IAsynFramePlugin::Initialize; or by creating the
// plug-in (CLSID_DownloadLibPlugin) and handing it its IPluginHost, after which
// the frame publishes itself (IID_IAsynFrame) and its connection scheduler
// (IID_IConnectManager) in the host's registry.
#pragma once

#include "asynframe/com.h"
#include "asynframe/strings.h"

namespace asynframe {

// {67B9FB4F-04DB-4B0A-8B3F-2B18AE41AD88}: the frame (IAsynFrame, IAsynFrame2,
// IAsynFrame3, IInterfaceLeak, IAsynFramePlugin).
inline constexpr CLSID CLSID_AsynFramePlugin = {
    0x67B9FB4F, 0x04DB, 0x4B0A, {0x8B, 0x3F, 0x2B, 0x18, 0xAE, 0x41, 0xAD, 0x88}};
// {B381AD25-4931-4569-9EC2-14FF003DE671}: the plug-in (IDownloadLibPlugin).
inline constexpr CLSID CLSID_DownloadLibPlugin = {
    0xB381AD25, 0x4931, 0x4569, {0x9E, 0xC2, 0x14, 0xFF, 0x00, 0x3D, 0xE6, 0x71}};
// {D2D3CA33-E582-49E9-83D8-A7CBAC3BB187}
inline constexpr IID IID_IDownloadLibPlugin = {
    0xD2D3CA33, 0xE582, 0x49E9, {0x83, 0xD8, 0xA7, 0xCB, 0xAC, 0x3B, 0xB1, 0x87}};
// {37E4BCA1-6A0D-4A57-B838-054D8E989729}; the library never queries a host
// object for it.
inline constexpr IID IID_IPluginHost = {
    0x37E4BCA1, 0x6A0D, 0x4A57, {0xB8, 0x38, 0x05, 0x4D, 0x8E, 0x98, 0x97, 0x29}};

// The host application's service registry, implemented by the host. The
// library uses only RegisterService, RevokeService and QueryService; slots 3
// to 7 are general host queries it never calls. Services are keyed by the IID
// of the interface they are registered as.
struct IPluginHost : IUnknown {
    // Version of the host application. S_OK.
    virtual HRESULT ASYNFRAME_STDCALL GetHostVersion(DWORD* major, DWORD* minor) = 0;  // slot 3
    // Folder of the host's program files, as text. S_OK.
    virtual HRESULT ASYNFRAME_STDCALL GetHostDirectory(IStringSetter* path) = 0;  // slot 4
    // Folder where plug-ins keep their data, as text. S_OK.
    virtual HRESULT ASYNFRAME_STDCALL GetDataDirectory(IStringSetter* path) = 0;  // slot 5
    // S_OK while the host is shutting down, S_FALSE otherwise.
    virtual HRESULT ASYNFRAME_STDCALL IsShuttingDown() = 0;  // slot 6
    // S_OK when a service is registered under `service`, S_FALSE otherwise.
    virtual HRESULT ASYNFRAME_STDCALL HasService(REFGUID service) = 0;  // slot 7
    // Publishes `object` (a pointer of the interface `service` names) under
    // `service`; the host keeps a reference until RevokeService.
    virtual HRESULT ASYNFRAME_STDCALL RegisterService(REFGUID service, IUnknown* object) = 0;  // slot 8
    // Withdraws the service registered under `service`.
    virtual HRESULT ASYNFRAME_STDCALL RevokeService(REFGUID service) = 0;  // slot 9
    // The object registered under `service`, as the interface `service` names,
    // with a new reference; null when there is none.
    virtual HRESULT ASYNFRAME_STDCALL QueryService(REFGUID service, void** object) = 0;  // slot 10

protected:
    ~IPluginHost() = default;
};

// The plug-in through which a host application loads the frame. The host
// calls Initialize on the thread that is to dispatch in UI-thread mode.
struct IDownloadLibPlugin : IUnknown {
    // Kind of plug-in: always 0. E_FAIL for a null out.
    virtual HRESULT ASYNFRAME_STDCALL GetPluginType(LONG* type) = 0;  // slot 3
    // Creates and initialises a frame with the host's settings provider and
    // statistics sink (asked for through QueryService) and its
    // "asyn_frame"/"run_in_ui_thread" option; returns the frame's result.
    // E_FAIL for a null host. Call Uninitialize before initialising again.
    virtual HRESULT ASYNFRAME_STDCALL Initialize(IPluginHost* host) = 0;  // slot 4
    // Stops and releases the frame; returns the frame's result. E_UNEXPECTED
    // when there is no frame.
    virtual HRESULT ASYNFRAME_STDCALL Uninitialize() = 0;  // slot 5
    // Always S_FALSE.
    virtual HRESULT ASYNFRAME_STDCALL CheckState() = 0;  // slot 6
    // Slot 7 holds the implementing object's own virtual destructor; it is not
    // part of what a host may call.

protected:
    ~IDownloadLibPlugin() = default;
};

// Module entry points, exported by name.
extern "C" {

// The class object of CLSID_AsynFramePlugin or CLSID_DownloadLibPlugin,
// queried for `iid` (normally IID_IClassFactory). CLASS_E_CLASSNOTAVAILABLE
// for any other class; E_POINTER for a null out. Class objects refuse
// aggregation (CLASS_E_NOAGGREGATION).
ASYNFRAME_EXPORT HRESULT ASYNFRAME_STDCALL DllGetClassObject(REFCLSID clsid, REFIID iid, void** object);
// S_OK when no object of the module lives and no class object is locked,
// S_FALSE otherwise.
ASYNFRAME_EXPORT HRESULT ASYNFRAME_STDCALL DllCanUnloadNow();
// Records the two classes with the platform's component registry, where there
// is one; returns the first failure.
ASYNFRAME_EXPORT HRESULT ASYNFRAME_STDCALL DllRegisterServer();
// Removes what DllRegisterServer recorded; returns the first failure.
ASYNFRAME_EXPORT HRESULT ASYNFRAME_STDCALL DllUnregisterServer();

}  // extern "C"

}  // namespace asynframe
