// The engine's events sink: told on the dispatch thread when the dispatch
// loop's thread begins and ends and when the loop itself starts and stops.
#pragma once

namespace asynframe {

class frame_plugin {
public:
    virtual ~frame_plugin() = default;
    virtual void on_thread_begin() = 0;
    virtual void on_loop_begin() = 0;
    virtual void on_loop_end() = 0;
    virtual void on_thread_end() = 0;
};

}  // namespace asynframe
