// The public interfaces as a host sees them through the umbrella header:
// identifiers, slot positions and the layout of records that cross the
// boundary.
#include "asynframe/asynframe.h"
#include "asynframe/com_helpers.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace asynframe {
namespace {

std::string guid_text(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(g.Data1), static_cast<unsigned>(g.Data2), static_cast<unsigned>(g.Data3),
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

struct named_guid {
    const char* name;
    const GUID* guid;
    const char* text;
};

// Identifiers hosts and other components already use, in their text form.
const std::vector<named_guid>& known_guids() {
    static const std::vector<named_guid> all = {
        {"IAsynFrame", &IID_IAsynFrame, "{ECB1468E-DF17-4BAA-9105-84FC292F4B61}"},
        {"IAsynFrame2", &IID_IAsynFrame2, "{6D99D3C0-92D1-4ACE-9E01-D771F1C1F733}"},
        {"IAsynFrame3", &IID_IAsynFrame3, "{4A90A048-2A7C-4AB4-A372-5B04B8EB65E0}"},
        {"IInterfaceLeak", &IID_IInterfaceLeak, "{336AD0BF-5E59-46F1-B4AD-769E99402EA0}"},
        {"IAsynFramePlugin", &IID_IAsynFramePlugin, "{F6DB06C7-9B10-417D-A1EA-F226AFA2254F}"},
        {"CLSID_AsynFramePlugin", &CLSID_AsynFramePlugin, "{67B9FB4F-04DB-4B0A-8B3F-2B18AE41AD88}"},
        {"CLSID_DownloadLibPlugin", &CLSID_DownloadLibPlugin, "{B381AD25-4931-4569-9EC2-14FF003DE671}"},
        {"IDownloadLibPlugin", &IID_IDownloadLibPlugin, "{D2D3CA33-E582-49E9-83D8-A7CBAC3BB187}"},
        {"IAsynIoOperation", &IID_IAsynIoOperation, "{1A885E07-1A92-4235-B303-35B837741CAD}"},
        {"IAsynFileScatterOperation", &IID_IAsynFileScatterOperation, "{B903C91F-F78D-49C5-830C-CBFE810AD15A}"},
        {"IAsynIoOperationObject", &IID_IAsynIoOperationObject, "{F98E898C-9A9F-4D7E-AE1D-F767C35BF618}"},
        {"IAsynIoDevice", &IID_IAsynIoDevice, "{EC5D0247-5709-4F6E-9644-3C40C3429733}"},
        {"IAsynTcpSocket", &IID_IAsynTcpSocket, "{35671780-4E44-4563-A330-2876AEE3A5BB}"},
        {"IAsynUdpSocket", &IID_IAsynUdpSocket, "{2C94171F-82C0-4CCB-A883-76E29C6AEAE2}"},
        {"IAsynUdpSocket2", &IID_IAsynUdpSocket2, "{3CB9675F-E70D-4C01-BAD9-E1A150E1839E}"},
        {"IAsynTcpListener", &IID_IAsynTcpListener, "{91AAF082-BA4B-4C28-B042-D3CAB0244E8F}"},
        {"IAsynTcpListener2", &IID_IAsynTcpListener2, "{50E23E57-5350-4A69-AC61-DD4E22B7EC34}"},
        {"IAsynIcmpSocket", &IID_IAsynIcmpSocket, "{2D7B9AE9-C33A-4D98-B738-596F82044993}"},
        {"IConnectManager", &IID_IConnectManager, "{5E402C46-EA63-4DCB-85DB-D658A316BDD0}"},
        {"IAsynFile", &IID_IAsynFile, "{6B4BA849-DD57-4590-93BD-EF84AE97C193}"},
        {"IAsynProxyTcpSocket", &IID_IAsynProxyTcpSocket, "{7B5CF205-A4BD-4BE1-B461-75E804266504}"},
        {"ISpeedLimit", &IID_ISpeedLimit, "{6A420A5D-1198-44FC-ACFF-7BEC934FE7D5}"},
        {"IAsynSSLSocket", &IID_IAsynSSLSocket, "{4AAE589B-F8FA-489B-BD8E-AF018E0BC083}"},
        {"IAsynSSLSocket2", &IID_IAsynSSLSocket2, "{F053AEFA-5B6D-416E-917F-9CA776DA8864}"},
        {"IAsynDns", &IID_IAsynDns, "{13C32332-EED4-4701-8644-C2F6E3CCBFE6}"},
        {"IAsynDnsResult", &IID_IAsynDnsResult, "{24CEF41C-4C1B-499B-B3A4-85119CB98B3A}"},
        {"IAsynDnsResult2", &IID_IAsynDnsResult2, "{ACAF677F-B0AA-4076-AD2F-7F45480565CA}"},
        {"IStringSetter", &IID_IStringSetter, "{83A323B1-3B99-496F-91BE-5786FC213443}"},
        {"IStringArraySetter", &IID_IStringArraySetter, "{93526DD3-B4DB-4B1B-AAF9-41028E847426}"},
        {"ISettingsProvider", &IID_ISettingsProvider, "{30A29138-545F-4CFA-BC75-94352DA5A566}"},
        {"IStatisticsSink", &IID_IStatisticsSink, "{2C0AB158-B601-46DD-B00A-CE3A3040EB67}"},
        {"IUnknown", &IID_IUnknown, "{00000000-0000-0000-C000-000000000046}"},
        {"IClassFactory", &IID_IClassFactory, "{00000001-0000-0000-C000-000000000046}"},
        // Callbacks the host implements; their identifiers are this library's own.
        {"IAsynFrameEvents", &IID_IAsynFrameEvents, "{6DD19055-C6AC-4C36-B9C0-7FFC8A57FDA1}"},
        {"IAsynTimerEvents", &IID_IAsynTimerEvents, "{1F8AE2EA-C71F-4ED2-9E5B-13AA72CE2359}"},
        {"IAsynMessageEvents", &IID_IAsynMessageEvents, "{0BB747FE-AD49-4ABD-A548-9B5E13FFA0D8}"},
        {"IAsynIoOperationEvents", &IID_IAsynIoOperationEvents, "{ECEC837E-813F-473A-A9BF-D58A3E30903D}"},
        {"IConnectManagerEvents", &IID_IConnectManagerEvents, "{F3E09A85-E575-452D-9621-231D3AFAFB9A}"},
        {"IPluginHost", &IID_IPluginHost, "{37E4BCA1-6A0D-4A57-B838-054D8E989729}"},
    };
    return all;
}

TEST(PublicIdentifiers, MatchTheirTextForm) {
    for (const auto& g : known_guids()) EXPECT_EQ(guid_text(*g.guid), g.text) << g.name;
}

TEST(PublicIdentifiers, ArePairwiseDistinct) {
    const auto& all = known_guids();
    for (std::size_t i = 0; i < all.size(); ++i)
        for (std::size_t j = i + 1; j < all.size(); ++j)
            EXPECT_FALSE(*all[i].guid == *all[j].guid) << all[i].name << " and " << all[j].name;
}

TEST(PublicIdentifiers, EqualityLooksAtEveryByte) {
    GUID changed = IID_IAsynFrame;
    changed.Data4[7] ^= 1;
    EXPECT_FALSE(changed == IID_IAsynFrame);
    changed = IID_IAsynFrame;
    EXPECT_TRUE(changed == IID_IAsynFrame);
}

// ---------------------------------------------------------------------------
// Slot positions. Under the Itanium C++ ABI (every GCC/Clang target here) a
// pointer to a virtual member function holds 1 + the byte offset of its entry
// in the table, so the declared slot can be read back and compared with the
// slot the interface promises.
#if defined(__x86_64__) || defined(__i386__)
#define ASYNFRAME_SLOT_CHECKS 1

template <class Pmf>
long slot_of(Pmf pmf) {
    struct representation {
        std::uintptr_t ptr;
        std::ptrdiff_t adj;
    } r{};
    static_assert(sizeof(Pmf) == sizeof(representation));
    std::memcpy(&r, &pmf, sizeof r);
    if ((r.ptr & 1u) == 0) return -1;  // not virtual
    return static_cast<long>((r.ptr - 1) / sizeof(void*));
}
#endif

// The system's IUnknown on Windows adds a typed QueryInterface template, so
// the slot's own signature picks the virtual one.
using query_interface_slot = HRESULT (ASYNFRAME_STDCALL IUnknown::*)(REFIID, void**);

#define EXPECT_SLOT(iface, method, slot) EXPECT_EQ(slot_of(&iface::method), slot) << #iface "::" #method

TEST(SlotOrder, FrameTableHasAllFortySixSlots) {
#ifdef ASYNFRAME_SLOT_CHECKS
    const std::pair<long, long> table[] = {
        {slot_of<query_interface_slot>(&IAsynFrame::QueryInterface), 0}, {slot_of(&IAsynFrame::AddRef), 1},
        {slot_of(&IAsynFrame::Release), 2}, {slot_of(&IAsynFrame::Advise), 3},
        {slot_of(&IAsynFrame::Unadvise), 4}, {slot_of(&IAsynFrame::SetTimer), 5},
        {slot_of(&IAsynFrame::KillTimer), 6}, {slot_of(&IAsynFrame::KillTimers), 7},
        {slot_of(&IAsynFrame::RegisterReceiver), 8}, {slot_of(&IAsynFrame::UnregisterReceiver), 9},
        {slot_of(&IAsynFrame::PostFrameMessage), 10}, {slot_of(&IAsynFrame::SendFrameMessage), 11},
        {slot_of(&IAsynFrame::IsFrameThread), 12}, {slot_of(&IAsynFrame::CreateOperation), 13},
        {slot_of(&IAsynFrame::PostOperation), 14}, {slot_of(&IAsynFrame::ReleaseOperations), 15},
        {slot_of(&IAsynFrame::CreateScatterOperation), 16}, {slot_of(&IAsynFrame::CreateTcpListener), 17},
        {slot_of(&IAsynFrame::CreateSock5TcpListener), 18}, {slot_of(&IAsynFrame::CreateTcpSocket), 19},
        {slot_of(&IAsynFrame::CreateUdpSocket), 20}, {slot_of(&IAsynFrame::CreateAllocatedFile), 21},
        {slot_of(&IAsynFrame::ExtendFile), 22}, {slot_of(&IAsynFrame::CreateAsynFile), 23},
        {slot_of(&IAsynFrame::CreateIcmpSocket), 24}, {slot_of(&IAsynFrame::CreateDns), 25},
        {slot_of(&IAsynFrame::CreateSSLSocket), 26}, {slot_of(&IAsynFrame::CreateProxyTcpSocket), 27},
        {slot_of(&IAsynFrame::CreateSpeedLimit), 28}, {slot_of(&IAsynFrame::CreateSpeedLimitSocket), 29},
        {slot_of(&IAsynFrame::SetMaxSynCount), 30}, {slot_of(&IAsynFrame::GetMaxSynCount), 31},
        {slot_of(&IAsynFrame::GetSynCount), 32}, {slot_of(&IAsynFrame::SetMaxConnection), 33},
        {slot_of(&IAsynFrame::GetMaxConnection), 34}, {slot_of(&IAsynFrame::GetConnectionCount), 35},
        {slot_of(&IAsynFrame::VerifyProxy), 36}, {slot_of(&IAsynFrame::GetPageSize), 37},
        {slot_of(&IAsynFrame::AllocPage), 38}, {slot_of(&IAsynFrame::FreePage), 39},
        {slot_of(&IAsynFrame::AllocBlock), 40}, {slot_of(&IAsynFrame::FreeBlock), 41},
        {slot_of(&IAsynFrame::CreateUdpSocket2), 42}, {slot_of(&IAsynFrame::CreateTcpListener2), 43},
        {slot_of(&IAsynFrame::CreateSock5UdpSocket), 44}, {slot_of(&IAsynFrame::CancelFrameMessages), 45},
    };
    for (long i = 0; i < 46; ++i) EXPECT_EQ(table[i].first, table[i].second) << "entry " << i;
    // The later frame names reach the last slot too.
    EXPECT_SLOT(IAsynFrame3, CancelFrameMessages, 45);
    EXPECT_SLOT(IAsynFrame2, CreateSock5UdpSocket, 44);
#else
    GTEST_SKIP() << "slot positions are read with the Itanium member-pointer layout";
#endif
}

TEST(SlotOrder, OperationAndDevices) {
#ifdef ASYNFRAME_SLOT_CHECKS
    EXPECT_SLOT(IAsynIoOperation, SetTag, 3);
    EXPECT_SLOT(IAsynIoOperation, GetTag, 4);
    EXPECT_SLOT(IAsynIoOperation, SetResult, 5);
    EXPECT_SLOT(IAsynIoOperation, GetResult, 6);
    EXPECT_SLOT(IAsynIoOperation, SetResultObject, 7);
    EXPECT_SLOT(IAsynIoOperation, GetResultObject, 8);
    EXPECT_SLOT(IAsynIoOperation, AllocBuffer, 9);
    EXPECT_SLOT(IAsynIoOperation, GetBuffer, 10);
    EXPECT_SLOT(IAsynIoOperation, FreeBuffer, 11);
    EXPECT_SLOT(IAsynIoOperation, SetRange, 12);
    EXPECT_SLOT(IAsynIoOperation, GetRange, 13);
    EXPECT_SLOT(IAsynIoOperation, SetPosition, 14);
    EXPECT_SLOT(IAsynIoOperation, GetPosition, 15);
    EXPECT_SLOT(IAsynIoOperation, SetAddress, 16);
    EXPECT_SLOT(IAsynIoOperation, GetAddress, 17);
    EXPECT_SLOT(IAsynIoOperation, Close, 18);
    EXPECT_SLOT(IAsynFileScatterOperation, SetSegmentCount, 19);
    EXPECT_SLOT(IAsynFileScatterOperation, GetSegments, 20);
    EXPECT_SLOT(IAsynFileScatterOperation, SelectSegment, 21);
    EXPECT_SLOT(IAsynFileScatterOperation, GetSelectedSegment, 22);
    EXPECT_SLOT(IAsynIoOperationObject, GetImplementation, 3);
    EXPECT_SLOT(IAsynIoOperationEvents, OnIoComplete, 3);

    EXPECT_SLOT(IAsynIoDevice, Read, 3);
    EXPECT_SLOT(IAsynIoDevice, Write, 4);
    EXPECT_SLOT(IAsynIoDevice, ReadFully, 5);
    EXPECT_SLOT(IAsynIoDevice, WriteFully, 6);
    EXPECT_SLOT(IAsynIoDevice, Close, 7);
    EXPECT_SLOT(IAsynFile, Open, 8);
    EXPECT_SLOT(IAsynFile, Flush, 9);
    EXPECT_SLOT(IAsynFile, SetLength, 10);
    EXPECT_SLOT(IAsynFile, GetLength, 11);
    EXPECT_SLOT(IAsynFile, ReadScatter, 12);
    EXPECT_SLOT(IAsynFile, WriteGather, 13);

    EXPECT_SLOT(IAsynTcpSocket, Connect, 8);
    EXPECT_SLOT(IAsynTcpSocket, GetLocalAddress, 9);
    EXPECT_SLOT(IAsynTcpSocket, GetPeerAddress, 10);
    EXPECT_SLOT(IAsynTcpSocket, SetRecvTimeout, 11);
    EXPECT_SLOT(IAsynTcpSocket, SetRecvBufferSize, 12);
    EXPECT_SLOT(IAsynProxyTcpSocket, Login, 13);
    EXPECT_SLOT(IAsynSSLSocket, Handshake, 13);
    EXPECT_SLOT(IAsynSSLSocket2, Handshake, 13);
    EXPECT_SLOT(IAsynSSLSocket2, SetServerName, 14);
    EXPECT_SLOT(IAsynSSLSocket2, GetFailureText, 15);
    EXPECT_SLOT(IAsynUdpSocket, Open, 8);
    EXPECT_SLOT(IAsynUdpSocket, GetLocalAddress, 9);
    EXPECT_SLOT(IAsynUdpSocket2, Open, 8);
    EXPECT_SLOT(IAsynUdpSocket2, GetLocalAddress, 9);
    EXPECT_SLOT(IAsynIcmpSocket, Open, 8);
    EXPECT_SLOT(IAsynIcmpSocket, SetTtl, 9);
    EXPECT_SLOT(IAsynTcpListener, Listen, 3);
    EXPECT_SLOT(IAsynTcpListener, GetLocalAddress, 4);
    EXPECT_SLOT(IAsynTcpListener, Accept, 5);
    EXPECT_SLOT(IAsynTcpListener, Close, 6);
    EXPECT_SLOT(IAsynTcpListener2, ListenOn, 7);
#else
    GTEST_SKIP() << "slot positions are read with the Itanium member-pointer layout";
#endif
}

TEST(SlotOrder, ServicesCallbacksAndModule) {
#ifdef ASYNFRAME_SLOT_CHECKS
    EXPECT_SLOT(ISpeedLimit, SetLimit, 3);
    EXPECT_SLOT(ISpeedLimit, GetLimit, 4);
    EXPECT_SLOT(ISpeedLimit, Request, 5);
    EXPECT_SLOT(ISpeedLimit, Report, 6);
    EXPECT_SLOT(ISpeedLimit, GetSpeed, 7);
    EXPECT_SLOT(ISpeedLimit, SetParent, 8);
    EXPECT_SLOT(ISpeedLimit, GetParent, 9);
    EXPECT_SLOT(IAsynDns, Resolve, 3);
    EXPECT_SLOT(IAsynDnsResult, GetHostName, 3);
    EXPECT_SLOT(IAsynDnsResult, GetResult, 4);
    EXPECT_SLOT(IAsynDnsResult, GetAddress, 5);
    EXPECT_SLOT(IAsynDnsResult2, GetSource, 6);
    EXPECT_SLOT(IConnectManager, Advise, 3);
    EXPECT_SLOT(IConnectManager, Unadvise, 4);
    EXPECT_SLOT(IConnectManagerEvents, OnConnectRequest, 3);
    EXPECT_SLOT(IConnectManagerEvents, OnResolved, 4);
    EXPECT_SLOT(IConnectManagerEvents, OnConnectAttempt, 5);
    EXPECT_SLOT(IConnectManagerEvents, OnConnectComplete, 6);
    EXPECT_SLOT(IAsynFrameEvents, OnFrameStart, 3);
    EXPECT_SLOT(IAsynFrameEvents, OnFrameStop, 4);
    EXPECT_SLOT(IAsynTimerEvents, OnTimer, 3);
    EXPECT_SLOT(IAsynMessageEvents, OnMessage, 3);
    EXPECT_SLOT(IAsynMessageEvents, OnMessageCanceled, 4);
    EXPECT_SLOT(IAsynFramePlugin, Initialize, 3);
    EXPECT_SLOT(IAsynFramePlugin, Uninitialize, 4);
    EXPECT_SLOT(IInterfaceLeak, GetLeakReport, 3);
    EXPECT_SLOT(IInterfaceLeak, GetLeakSummary, 4);
    EXPECT_SLOT(IDownloadLibPlugin, GetPluginType, 3);
    EXPECT_SLOT(IDownloadLibPlugin, Initialize, 4);
    EXPECT_SLOT(IDownloadLibPlugin, Uninitialize, 5);
    EXPECT_SLOT(IDownloadLibPlugin, CheckState, 6);
    EXPECT_SLOT(IPluginHost, RegisterService, 8);
    EXPECT_SLOT(IPluginHost, RevokeService, 9);
    EXPECT_SLOT(IPluginHost, QueryService, 10);
    EXPECT_SLOT(IClassFactory, CreateInstance, 3);
    EXPECT_SLOT(IClassFactory, LockServer, 4);
#else
    GTEST_SKIP() << "slot positions are read with the Itanium member-pointer layout";
#endif
}

// A host-side implementation of two callback interfaces on one object, as a
// host would write it: each face answers its own identifier, and calls through
// either base pointer land in the right method.
class host_sink final : public com_interfaces<host_sink, IAsynTimerEvents, IAsynMessageEvents> {
public:
    using interfaces = interface_table<interface_entry<IID_IUnknown, IAsynTimerEvents>,
                                       interface_entry<IID_IAsynTimerEvents, IAsynTimerEvents>,
                                       interface_entry<IID_IAsynMessageEvents, IAsynMessageEvents>>;
    // Lives on the test's stack: the count is only watched.
    ULONG internal_add_ref() { return ++refs; }
    ULONG internal_release() { return --refs; }
    HRESULT ASYNFRAME_STDCALL OnTimer(DWORD id) override {
        calls.push_back("timer " + std::to_string(id));
        return S_OK;
    }
    HRESULT ASYNFRAME_STDCALL OnMessage(DWORD a, DWORD b, DWORD c) override {
        calls.push_back("message " + std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(c));
        return S_OK;
    }
    HRESULT ASYNFRAME_STDCALL OnMessageCanceled(DWORD a, DWORD, DWORD) override {
        calls.push_back("canceled " + std::to_string(a));
        return S_OK;
    }

    ULONG refs = 1;
    std::vector<std::string> calls;
};

TEST(HostCallbacks, EachFaceDispatchesToItsOwnSlots) {
    host_sink sink;
    void* face = nullptr;
    ASSERT_EQ(sink.QueryInterface(IID_IAsynMessageEvents, &face), S_OK);
    auto* messages = static_cast<IAsynMessageEvents*>(face);
    ASSERT_EQ(static_cast<IUnknown*>(messages)->QueryInterface(IID_IAsynTimerEvents, &face), S_OK);
    auto* timers = static_cast<IAsynTimerEvents*>(face);
    EXPECT_NE(static_cast<void*>(messages), static_cast<void*>(timers));

    messages->OnMessage(1, 2, 3);
    timers->OnTimer(7);
    messages->OnMessageCanceled(9, 0, 0);
    EXPECT_EQ(sink.calls, (std::vector<std::string>{"message 1 2 3", "timer 7", "canceled 9"}));

    EXPECT_EQ(sink.QueryInterface(IID_IAsynFrameEvents, &face), E_NOINTERFACE);
    EXPECT_EQ(face, nullptr);
    EXPECT_EQ(messages->Release(), 2u);
    EXPECT_EQ(timers->Release(), 1u);
}

TEST(BoundaryRecords, ProxyRecordHasTheFixedLayout) {
    PROXY_RECORD record{};
    record.kind = PROXY_KIND_SOCKS5;
    record.port = 1080;
    std::memcpy(record.host, "proxy", 5);
    record.host_length = 5;
    const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
    // Little-endian fields at their offsets, as a caller in another language
    // would write them.
    EXPECT_EQ(bytes[0], 1);
    EXPECT_EQ(bytes[4], 5);
    EXPECT_EQ(std::memcmp(bytes + 8, "proxy", 5), 0);
    EXPECT_EQ(bytes[264] | (bytes[265] << 8), 1080);
    EXPECT_EQ(sizeof record, 788u);
}

TEST(BoundaryRecords, SegmentElementsArePageAddressesWidenedTo64Bits) {
    alignas(8) unsigned char page[16] = {};
    FILE_SEGMENT_ELEMENT list[2] = {};
    list[0].Buffer = page;
    EXPECT_EQ(list[0].Alignment, static_cast<ULONGLONG>(reinterpret_cast<std::uintptr_t>(page)));
    EXPECT_EQ(list[1].Alignment, 0u);  // the terminator
}

}  // namespace
}  // namespace asynframe
