#include "component/unknown_base.h"

#include <atomic>
#include <string>

#include "platform/module.h"
#include "support/assert.h"

namespace asynframe {
namespace {

std::atomic<long> g_live_objects{0};

std::string destruction_detail(const char* class_name) {
    return std::string(class_name) + '@' + platform::executable_file_name();
}

}  // namespace

long live_component_objects() noexcept { return g_live_objects.load(std::memory_order_acquire); }

CUnknownSingleThread::CUnknownSingleThread(const char* class_name) : m_class_name(class_name) {
    g_live_objects.fetch_add(1, std::memory_order_acq_rel);
}

CUnknownSingleThread::~CUnknownSingleThread() {
    vortan_assert_text(m_dwRef == 1, "(\"某 CUnknownSingleThread 派生类析构时引用计数不正确\",m_dwRef == 1)",
                       destruction_detail(m_class_name), "UnknownBase", 28);
    g_live_objects.fetch_sub(1, std::memory_order_acq_rel);
}

ULONG CUnknownSingleThread::internal_add_ref() noexcept { return static_cast<ULONG>(++m_dwRef); }

ULONG CUnknownSingleThread::internal_release() noexcept {
    const LONG count = --m_dwRef;
    if (count == 0) {
        m_dwRef = 1;
        delete this;
    }
    return static_cast<ULONG>(count);
}

CUnknownMultiThread::CUnknownMultiThread(const char* class_name) : m_class_name(class_name) {
    g_live_objects.fetch_add(1, std::memory_order_acq_rel);
}

CUnknownMultiThread::~CUnknownMultiThread() {
    vortan_assert_text(m_dwRef == 1, "(\"某 CUnknownMultiThread 派生类析构时引用计数不正确\",m_dwRef == 1)",
                       destruction_detail(m_class_name), "UnknownBase", 49);
    g_live_objects.fetch_sub(1, std::memory_order_acq_rel);
}

void CUnknownMultiThread::destroy() noexcept {
    m_dwRef.store(1, std::memory_order_relaxed);
    delete this;
}

LONG CUnknownMultiThread::reference_count() const noexcept { return m_dwRef.load(std::memory_order_acquire); }

}  // namespace asynframe
