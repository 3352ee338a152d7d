#include "file/file_services.h"

#include <new>

#include "component/asyn_io_operation_object.h"
#include "engine/asyn_io_operation.h"
#include "file/asyn_file_device.h"
#include "file/file_asyn_io_helper.h"
#include "file/file_object.h"
#include "support/exceptions.h"

namespace asynframe::file_services {

void create_helper(singleton_instance& services) {
    if (services.file_asyn_io_helper_ptr == nullptr) services.file_asyn_io_helper_ptr = new file_asyn_io_helper(&services);
}

void start_helper(singleton_instance& services) {
    if (services.file_asyn_io_helper_ptr != nullptr) services.file_asyn_io_helper_ptr->start();
}

void stop_helper(singleton_instance& services) noexcept {
    if (services.file_asyn_io_helper_ptr != nullptr) services.file_asyn_io_helper_ptr->stop();
}

void destroy_helper(singleton_instance& services) noexcept {
    delete services.file_asyn_io_helper_ptr;
    services.file_asyn_io_helper_ptr = nullptr;
}

HRESULT create_file_object(singleton_instance* services, IAsynFile** file) {
    auto* object = new (std::nothrow) CAsynFile(services);
    if (object == nullptr) return E_OUTOFMEMORY;
    *file = static_cast<IAsynFile*>(object);
    return S_OK;
}

void request_file_size(singleton_instance* services, CAsynIoOperation* object, std::uint32_t size_low,
                       std::uint32_t size_high, const std::string& path, bool extend) {
    asyn_io_operation* request = object->engine_operation();
    asyn_file_device device(services);
    try {
        if (extend)
            device.resize_file(request, size_low, size_high, path);
        else
            device.create_file(request, size_low, size_high, path);
    } catch (const file_exception& failure) {
        request->set_preset_result(failure.code(), 0);
        if (!request->post()) object->Release();
    }
}

}  // namespace asynframe::file_services
