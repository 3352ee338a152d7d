// The scheduler's component face: hosts advise IConnectManagerEvents sinks and
// hear of every connect issued on the frame's operation objects.
#pragma once

#include <atomic>

#include "asynframe/connect.h"
#include "component/events_raiser.h"
#include "component/com_helpers.h"
#include "component/unknown_base.h"
#include "engine/singleton.h"
#include "socket/connect_manager.h"

namespace asynframe {

class CConnectManager final : public com_interfaces<CConnectManager, IConnectManager>,
                              public connect_manager_events,
                              public with_singleton,
                              public CUnknownMultiThread {
public:
    explicit CConnectManager(singleton_instance* services);

    using interfaces = single_interface<IID_IConnectManager, IConnectManager>;

    HRESULT ASYNFRAME_STDCALL Advise(IConnectManagerEvents* sink) override;
    HRESULT ASYNFRAME_STDCALL Unadvise(IConnectManagerEvents* sink) override;

    // Raised only for operations with a component face; others pass unseen.
    void on_connect_request(asyn_io_operation* operation, const std::string& host, std::uint16_t port,
                            std::int32_t priority) override;
    void on_resolved(asyn_io_operation* operation, std::int32_t result,
                     const std::vector<std::string>& addresses) override;
    void on_connect_attempt(asyn_io_operation* operation, std::uint32_t result, const std::string& address) override;
    void on_connect_complete(asyn_io_operation* operation, std::uint32_t result) override;
    void on_connect_attempt_start(asyn_io_operation* operation, const std::string& address) override;
    bool wants_attempt_starts() const noexcept override { return _starts_wanted.load(std::memory_order_acquire) != 0; }

private:
    ~CConnectManager() override = default;

    CEventsRaiser<IConnectManagerEvents> _sinks;
    // The sinks that answer IID_IConnectManagerEvents2 as well.
    CEventsRaiser<IConnectManagerEvents2> _sinks2;
    std::atomic<int> _starts_wanted{0};
};

}  // namespace asynframe
