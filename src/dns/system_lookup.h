// System lookups: a name asked of the operating system's resolver, on a small
// pool of threads beside the queries to the configured servers.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace asynframe {

// Asks the operating system's resolver for one name, both families in one
// lookup. Two references: the
// query entry that started it and the thread that runs it; the second release
// deletes it.
class host_resolver {
public:
    explicit host_resolver(std::string name) : _name(std::move(name)) {}
    host_resolver(const host_resolver&) = delete;
    host_resolver& operator=(const host_resolver&) = delete;

    const std::string& name() const noexcept { return _name; }
    bool finished() const noexcept { return _finished.load(std::memory_order_acquire); }
    bool succeeded() const noexcept { return _succeeded.load(std::memory_order_acquire); }
    std::vector<std::string> results() {
        std::lock_guard<std::mutex> guard(_lock);
        return _results;
    }
    std::vector<std::string> results6() {
        std::lock_guard<std::mutex> guard(_lock);
        return _results6;
    }
    // The entry no longer wants it: a lookup not yet begun is skipped.
    bool owner_gone() {
        std::lock_guard<std::mutex> guard(_lock);
        return _owner_released;
    }

    void release_by_owner() noexcept { release(true); }
    void release_by_thread() noexcept { release(false); }

    // On a lookup thread.
    void run();
    // No thread could run it: it counts as a lookup that failed.
    void fail_unrun() noexcept {
        _finished.store(true, std::memory_order_release);
        release_by_thread();
    }

private:
    void release(bool owner) noexcept {
        bool last;
        {
            std::lock_guard<std::mutex> guard(_lock);
            if (owner) _owner_released = true;
            last = ++_releases == 2;
        }
        if (last) delete this;
    }

    std::string _name;
    std::atomic<bool> _succeeded{false};
    std::atomic<bool> _finished{false};
    std::mutex _lock;  // guards the results and the release count
    std::vector<std::string> _results;
    std::vector<std::string> _results6;
    int _releases = 0;
    bool _owner_released = false;
};

// Runs system lookups on at most `max_threads` threads. While the DNS servers
// are unreachable every try of every name starts a lookup, and the system
// resolver may block for its own time-outs: one thread per lookup would pile
// up without bound. Lookups wait in arrival order instead, and one whose entry
// has moved on before a thread took it is dropped unrun.
class system_lookup_pool {
public:
    static constexpr std::size_t max_threads = 8;

    system_lookup_pool() = default;
    system_lookup_pool(const system_lookup_pool&) = delete;
    system_lookup_pool& operator=(const system_lookup_pool&) = delete;
    ~system_lookup_pool() { stop(); }

    // Throws when no thread can be made and none is running.
    void start(host_resolver* lookup);
    // Waits for the lookups running now; those still queued are dropped.
    void stop() noexcept;

private:
    void work();

    std::mutex _lock;
    std::condition_variable _wake;
    std::deque<host_resolver*> _queue;
    std::vector<std::thread> _threads;
    std::size_t _idle = 0;
    bool _stopping = false;
};

namespace dns_detail {
// A new system lookup for `name`, already queued; the entry holds the owner's
// reference. Runs with the request-list lock held.
host_resolver* start_lookup(const std::string& name);
}  // namespace dns_detail

}  // namespace asynframe
