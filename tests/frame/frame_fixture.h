// The fixture of the internal frame tests: a CAsynFrame started in the mode
// of the test's parameter, with a listener that recorded its start.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "asynframe/ui_thread.h"
#include "frame/asyn_frame.h"
#include "frame/frame_test_support.h"

namespace asynframe::testing_frame {

inline auto both_modes() { return ::testing::Values(dispatch_mode::port, dispatch_mode::ui_thread); }

inline std::string mode_label(const ::testing::TestParamInfo<dispatch_mode>& info) { return mode_name(info.param); }

class FrameTest : public ::testing::TestWithParam<dispatch_mode> {
protected:
    void SetUp() override {
        _object = new CAsynFrame();
        host = std::make_unique<frame_host>(static_cast<IAsynFrame3*>(_object), static_cast<IAsynFramePlugin*>(_object),
                                            GetParam(), &asynframe_ui_thread_wait);
        sink = new recorder;
        ASSERT_EQ(frame()->Advise(sink), S_OK);
        ASSERT_EQ(host->start(), S_OK);
        ASSERT_TRUE(host->run_until([&] { return sink->count("start") == 1; }));
    }

    void TearDown() override {
        if (_object->running()) {
            EXPECT_EQ(host->stop(), S_OK);
        }
        frame()->Unadvise(sink);
        sink->Release();
        _object->Release();
        EXPECT_EQ(live_component_objects(), 0);
    }

    IAsynFrame3* frame() { return static_cast<IAsynFrame3*>(_object); }
    CAsynFrame* object() { return _object; }

    // A new operation owned by `owner`, created on the dispatch thread.
    IAsynIoOperation* make_operation(IAsynIoOperationEvents* owner) {
        IAsynIoOperation* operation = nullptr;
        host->on_dispatch([&] { EXPECT_EQ(frame()->CreateOperation(owner, &operation), S_OK); });
        return operation;
    }

    std::unique_ptr<frame_host> host;
    recorder* sink = nullptr;

private:
    CAsynFrame* _object = nullptr;
};

}  // namespace asynframe::testing_frame
