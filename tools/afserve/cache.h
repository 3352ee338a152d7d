// What afserve keeps between requests so that small answers cost no system
// call beyond the send: each file's status (revalidated with one stat once it
// is a moment old), its validators, type and, for small files, its bytes; and
// the send buffers, lent to a connection while it answers and taken back when
// the answer is out, so an idle connection holds none.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "afserve/files.h"
#include "common/host.h"

namespace asynframe::tools {

// One file (or folder) as a request finds it.
struct file_facts {
    struct stat about {};
    std::chrono::steady_clock::time_point checked;
    validators current;
    // "ETag: ...\r\nLast-Modified: ...\r\n".
    std::string validator_headers;
    std::string type;
    // Whether its links stay inside the served folder, once asked.
    std::optional<bool> inside;
    // The whole file, once read, when it is small; only ever the bytes of
    // the version `about` describes.
    std::shared_ptr<const std::string> bytes;

    explicit file_facts(const struct stat& status, std::chrono::steady_clock::time_point now);
};

class file_cache {
public:
    // A status this young is taken without asking again; an older one is
    // checked with one stat and kept while the file is the same version.
    // Validators are second-grained (as nginx forms them), so a second's
    // delay never shows a client a validator finer than they already are.
    static constexpr std::chrono::milliseconds fresh_for{1000};
    // Files up to this size have their bytes kept, up to `bytes_limit` in all.
    static constexpr std::size_t small_file = 64 * 1024;
    static constexpr std::size_t bytes_limit = 32 * 1024 * 1024;
    static constexpr std::size_t entries_limit = 4096;

    // The facts of `path`, or null with errno's value in `error`. With
    // `now_only`, or when the facts are not fresh, the file is asked (stat)
    // and `asked` says so.
    std::shared_ptr<file_facts> look(const std::string& path, int& error, bool now_only, bool& asked);
    // `bytes` were read from `path` as a whole, for the version `facts`
    // describes: kept when the file still is that version.
    void keep_bytes(const std::string& path, const std::shared_ptr<file_facts>& facts, const char* data,
                    std::size_t size);

private:
    std::unordered_map<std::string, std::shared_ptr<file_facts>> _entries;
    std::size_t _bytes = 0;
};

// The same version of a file: no change to its identity, size, times or mode.
bool same_version(const struct stat& a, const struct stat& b);

// Operations with a buffer, lent out and taken back: small ones for short
// answers (and their ciphertext), large ones for bodies read from files.
class buffer_pool {
public:
    static constexpr DWORD small_size = 16 * 1024;
    buffer_pool(IAsynFrame* frame, DWORD large_size) : _frame(frame), _large_size(large_size) {}
    // A buffer of at least `needed` bytes (at most the large size).
    std::unique_ptr<operation> take(DWORD needed);
    // Only an operation with nothing in flight comes back.
    void give(std::unique_ptr<operation> returned);
    DWORD large_size() const noexcept { return _large_size; }

private:
    // Kept free at most: small ones are cheap to keep, large ones are not.
    static constexpr std::size_t keep_small = 1024;
    static constexpr std::size_t keep_large = 32;
    IAsynFrame* _frame;
    DWORD _large_size;
    std::vector<std::unique_ptr<operation>> _small, _large;
};

// The Date header's text for now, made at most once a second.
const std::string& date_now();

}  // namespace asynframe::tools
