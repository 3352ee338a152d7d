// The bundle of one frame's engine services, and the base through which every
// engine-side object reaches it.
#pragma once

namespace asynframe {

class asyn_io_manager;
class connect_manager;
class accept_manager;
class file_asyn_io_helper;
class setting;
class stat_data;
class CAsynIoOperationObjects;
class frame_plugin;

struct singleton_instance {
    asyn_io_manager* asyn_io_manager_ptr = nullptr;
    connect_manager* connect_manager_ptr = nullptr;
    accept_manager* accept_manager_ptr = nullptr;
    file_asyn_io_helper* file_asyn_io_helper_ptr = nullptr;
    setting* setting_ptr = nullptr;
    stat_data* stat_data_ptr = nullptr;
    void* reserved_6 = nullptr;
    CAsynIoOperationObjects* operation_objects_ptr = nullptr;
    void* reserved_8 = nullptr;
    frame_plugin* frame_plugin_ptr = nullptr;
};

class with_singleton {
public:
    explicit with_singleton(singleton_instance* instance) noexcept : _singleton(instance) {}
    singleton_instance* singleton() const noexcept { return _singleton; }

protected:
    singleton_instance* _singleton;
};

}  // namespace asynframe
