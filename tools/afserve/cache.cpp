#include "afserve/cache.h"

#include <cerrno>
#include <ctime>

namespace asynframe::tools {

file_facts::file_facts(const struct stat& status, std::chrono::steady_clock::time_point now)
    : about(status), checked(now), current(status) {
    validator_headers = "ETag: " + current.etag + "\r\nLast-Modified: " + http_date(current.modified) + "\r\n";
}

bool same_version(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size && a.st_mode == b.st_mode &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

std::shared_ptr<file_facts> file_cache::look(const std::string& path, int& error, bool now_only, bool& asked) {
    const auto now = std::chrono::steady_clock::now();
    const auto found = _entries.find(path);
    asked = false;
    if (!now_only && found != _entries.end() && now - found->second->checked < fresh_for) return found->second;
    asked = true;
    struct stat about{};
    if (::stat(path.c_str(), &about) != 0) {
        error = errno;
        if (found != _entries.end()) {
            if (found->second->bytes) _bytes -= found->second->bytes->size();
            _entries.erase(found);
        }
        return nullptr;
    }
    if (found != _entries.end()) {
        if (same_version(found->second->about, about)) {
            found->second->checked = now;
            // The links on its way are looked at again: they may have moved
            // while the file stayed the same.
            found->second->inside.reset();
            return found->second;
        }
        if (found->second->bytes) _bytes -= found->second->bytes->size();
        _entries.erase(found);
    }
    if (_entries.size() >= entries_limit) {
        _entries.clear();
        _bytes = 0;
    }
    auto made = std::make_shared<file_facts>(about, now);
    _entries.emplace(path, made);
    return made;
}

void file_cache::keep_bytes(const std::string& path, const std::shared_ptr<file_facts>& facts, const char* data,
                            std::size_t size) {
    if (facts->bytes || size > small_file || _bytes + size > bytes_limit) return;
    if (size != static_cast<std::size_t>(facts->about.st_size)) return;
    const auto found = _entries.find(path);
    if (found == _entries.end() || found->second != facts) return;
    // The bytes are the version described only if the file is still it now
    // that they are read.
    struct stat now{};
    if (::stat(path.c_str(), &now) != 0 || !same_version(now, facts->about)) return;
    facts->bytes = std::make_shared<const std::string>(data, size);
    _bytes += size;
}

std::unique_ptr<operation> buffer_pool::take(DWORD needed) {
    const bool small = needed <= small_size;
    std::vector<std::unique_ptr<operation>>& free = small ? _small : _large;
    if (free.empty()) return std::make_unique<operation>(_frame, small ? small_size : _large_size);
    std::unique_ptr<operation> lent = std::move(free.back());
    free.pop_back();
    return lent;
}

void buffer_pool::give(std::unique_ptr<operation> returned) {
    if (!returned) return;
    const bool small = returned->buffer_size() == small_size;
    std::vector<std::unique_ptr<operation>>& free = small ? _small : _large;
    if (free.size() >= (small ? keep_small : keep_large)) return;
    returned->on_complete(nullptr);
    free.push_back(std::move(returned));
}

const std::string& date_now() {
    static std::time_t made_at = -1;
    static std::string text;
    const std::time_t now = std::time(nullptr);
    if (now != made_at) {
        text = http_date(now);
        made_at = now;
    }
    return text;
}

}  // namespace asynframe::tools
