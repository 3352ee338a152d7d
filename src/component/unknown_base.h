// Reference-count bases of the module's component classes, and the process-wide
// count of live component objects (the module may unload only at zero).
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "asynframe/com.h"

namespace asynframe {

// Component objects alive in this process.
long live_component_objects() noexcept;

// Count for objects used by one thread at a time. Starts at 1 (the creator's
// reference). Deleting an object whose count is not 1 is a framework assertion.
class CUnknownSingleThread {
public:
    explicit CUnknownSingleThread(const char* class_name);
    virtual ~CUnknownSingleThread();
    CUnknownSingleThread(const CUnknownSingleThread&) = delete;
    CUnknownSingleThread& operator=(const CUnknownSingleThread&) = delete;

    ULONG internal_add_ref() noexcept;
    // At zero the count goes back to 1 and the object deletes itself.
    ULONG internal_release() noexcept;
    LONG reference_count() const noexcept { return m_dwRef; }

protected:
    // A literal: every object carries only a pointer to its class's name.
    const char* m_class_name;
    LONG m_dwRef = 1;
};

// The same, safe for references taken and dropped on several threads.
class CUnknownMultiThread {
public:
    explicit CUnknownMultiThread(const char* class_name);
    virtual ~CUnknownMultiThread();
    CUnknownMultiThread(const CUnknownMultiThread&) = delete;
    CUnknownMultiThread& operator=(const CUnknownMultiThread&) = delete;

    // Inline: references move on every request and completion.
    ULONG internal_add_ref() noexcept {
        return static_cast<ULONG>(m_dwRef.fetch_add(1, std::memory_order_relaxed) + 1);
    }
    ULONG internal_release() noexcept {
        const LONG count = m_dwRef.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (count == 0) destroy();
        return static_cast<ULONG>(count);
    }
    LONG reference_count() const noexcept;

protected:
    const char* m_class_name;
    std::atomic<LONG> m_dwRef{1};

private:
    void destroy() noexcept;
};

}  // namespace asynframe
