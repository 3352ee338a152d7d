#include "platform/tls.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <vector>
#include <map>
#include <mutex>
#include <string>

namespace asynframe::platform::tls {
namespace {

// Whether the host is an address rather than a name: dotted IPv4, or IPv6
// with or without brackets. `plain` gets the form the certificate check
// takes (no brackets, no zone: the certificate cannot name a local
// interface), as the Windows session reads such a host.
bool address_literal(const std::string& host, std::string& plain) {
    in_addr v4{};
    if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        plain = host;
        return true;
    }
    std::string text = host;
    if (text.size() > 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
    if (const std::size_t zone = text.find('%'); zone != std::string::npos) text.resize(zone);
    in6_addr v6{};
    if (::inet_pton(AF_INET6, text.c_str(), &v6) != 1) return false;
    plain = text;
    return true;
}

// The library's queued errors as one text, oldest first; the queue is left empty.
std::string queued_errors() {
    std::string text;
    char line[256];
    while (const unsigned long code = ERR_get_error()) {
        ERR_error_string_n(code, line, sizeof line);
        if (!text.empty()) text += "; ";
        text += line;
    }
    return text;
}

int clamp_int(std::size_t length) { return length > INT_MAX ? INT_MAX : static_cast<int>(length); }

// Where the session's records go: a queue the caller takes from, or, while
// encrypt_into runs, straight into the caller's buffer (one copy less than
// a memory BIO, which the records would pass through on their way out).
struct output_sink {
    std::vector<std::uint8_t> queue;
    std::size_t taken = 0;
    std::uint8_t* direct = nullptr;
    std::size_t room = 0;
    std::size_t used = 0;

    std::size_t pending() const noexcept { return queue.size() - taken; }
};

int sink_write(BIO* bio, const char* data, int length) {
    auto* sink = static_cast<output_sink*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (sink == nullptr || length <= 0) return 0;
    const auto count = static_cast<std::size_t>(length);
    // Once something waits in the queue, what follows waits behind it.
    if (sink->direct != nullptr && sink->pending() == 0 && sink->room - sink->used >= count) {
        std::memcpy(sink->direct + sink->used, data, count);
        sink->used += count;
        return length;
    }
    if (sink->taken == sink->queue.size()) {
        sink->queue.clear();
        sink->taken = 0;
    }
    sink->queue.insert(sink->queue.end(), data, data + count);
    return length;
}

long sink_control(BIO* bio, int command, long, void*) {
    auto* sink = static_cast<output_sink*>(BIO_get_data(bio));
    switch (command) {
    case BIO_CTRL_FLUSH:
        return 1;
    case BIO_CTRL_PENDING:
    case BIO_CTRL_WPENDING:
        return sink != nullptr ? static_cast<long>(sink->pending()) : 0;
    default:
        return 0;
    }
}

int sink_create(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

int sink_destroy(BIO* bio) {
    delete static_cast<output_sink*>(BIO_get_data(bio));
    BIO_set_data(bio, nullptr);
    return 1;
}

// Where the session's received bytes come from: bytes lent by the caller
// (read in place, no copy), then, once the caller takes its buffer back,
// what was left of them, kept in a queue.
struct input_source {
    std::vector<std::uint8_t> queue;
    std::size_t taken = 0;
    const std::uint8_t* lent = nullptr;
    std::size_t lent_length = 0;
    std::size_t lent_taken = 0;

    std::size_t held() const noexcept { return queue.size() - taken + lent_length - lent_taken; }

    void append(const std::uint8_t* data, std::size_t length) {
        if (length == 0) return;
        if (taken == queue.size()) {
            queue.clear();
            taken = 0;
        } else if (taken > queue.size() / 2 && taken > 4096) {
            queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(taken));
            taken = 0;
        }
        queue.insert(queue.end(), data, data + length);
    }

    // The lent bytes not yet read go to the queue: the buffer is the caller's again.
    void give_back() {
        if (lent == nullptr) return;
        const std::uint8_t* rest = lent + lent_taken;
        const std::size_t count = lent_length - lent_taken;
        lent = nullptr;
        lent_length = lent_taken = 0;
        append(rest, count);
    }
};

int source_read(BIO* bio, char* out, int length) {
    auto* source = static_cast<input_source*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (source == nullptr || length <= 0) return 0;
    std::size_t wanted = static_cast<std::size_t>(length);
    std::size_t moved = 0;
    const std::size_t queued = std::min(wanted, source->queue.size() - source->taken);
    if (queued > 0) {
        std::memcpy(out, source->queue.data() + source->taken, queued);
        source->taken += queued;
        moved += queued;
        wanted -= queued;
    }
    const std::size_t lent = std::min(wanted, source->lent_length - source->lent_taken);
    if (lent > 0) {
        std::memcpy(out + moved, source->lent + source->lent_taken, lent);
        source->lent_taken += lent;
        moved += lent;
    }
    if (moved == 0) {
        // Nothing yet: more to come, never the end of the stream.
        BIO_set_retry_read(bio);
        return -1;
    }
    return static_cast<int>(moved);
}

long source_control(BIO* bio, int command, long, void*) {
    auto* source = static_cast<input_source*>(BIO_get_data(bio));
    switch (command) {
    case BIO_CTRL_FLUSH:
        return 1;
    case BIO_CTRL_PENDING:
        return source != nullptr ? static_cast<long>(source->held()) : 0;
    default:
        return 0;
    }
}

int source_destroy(BIO* bio) {
    delete static_cast<input_source*>(BIO_get_data(bio));
    BIO_set_data(bio, nullptr);
    return 1;
}

// Made once for the process; null when the library cannot make it.
BIO_METHOD* source_method() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "asynframe TLS input");
        if (made != nullptr) {
            BIO_meth_set_read(made, source_read);
            BIO_meth_set_ctrl(made, source_control);
            BIO_meth_set_create(made, sink_create);
            BIO_meth_set_destroy(made, source_destroy);
        }
        return made;
    }();
    return method;
}

// Made once for the process; null when the library cannot make it.
BIO_METHOD* sink_method() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "asynframe TLS output");
        if (made != nullptr) {
            BIO_meth_set_write(made, sink_write);
            BIO_meth_set_ctrl(made, sink_control);
            BIO_meth_set_create(made, sink_create);
            BIO_meth_set_destroy(made, sink_destroy);
        }
        return made;
    }();
    return method;
}

}  // namespace

// ---- the shared context ----------------------------------------------------------

struct client_context::state {
    SSL_CTX* context = nullptr;
    mutable std::mutex lock;
    // Sessions to resume, by the key their connection was opened with.
    std::map<std::string, SSL_SESSION*> sessions;

    ~state() {
        for (auto& kept : sessions) SSL_SESSION_free(kept.second);
        sessions.clear();
        if (context != nullptr) SSL_CTX_free(context);
    }

    // A session the server handed out (at the end of a TLS 1.2 handshake, or
    // a TLS 1.3 ticket, which arrives after it): kept under the connection's
    // key, replacing the one kept before. 1: the reference is ours.
    static int on_new_session(SSL* ssl, SSL_SESSION* session) {
        auto* self = static_cast<state*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
        const auto* key = static_cast<const std::string*>(SSL_get_app_data(ssl));
        if (self == nullptr || key == nullptr || key->empty()) return 0;
        // A bound on what many servers can leave here: one kept session (the
        // first by key, not the oldest) goes.
        constexpr std::size_t most = 256;
        SSL_SESSION* replaced = nullptr;
        {
            std::lock_guard<std::mutex> guard(self->lock);
            auto found = self->sessions.find(*key);
            if (found != self->sessions.end()) {
                replaced = found->second;
                found->second = session;
            } else {
                if (self->sessions.size() >= most) {
                    replaced = self->sessions.begin()->second;
                    self->sessions.erase(self->sessions.begin());
                }
                self->sessions.emplace(*key, session);
            }
        }
        if (replaced != nullptr) SSL_SESSION_free(replaced);
        return 1;
    }

    // The library gave up on a session (a connection failed on it).
    static void on_remove_session(SSL_CTX* context, SSL_SESSION* session) {
        auto* self = static_cast<state*>(SSL_CTX_get_app_data(context));
        if (self == nullptr) return;
        SSL_SESSION* dropped = nullptr;
        {
            std::lock_guard<std::mutex> guard(self->lock);
            for (auto kept = self->sessions.begin(); kept != self->sessions.end(); ++kept) {
                if (kept->second == session) {
                    dropped = kept->second;
                    self->sessions.erase(kept);
                    break;
                }
            }
        }
        if (dropped != nullptr) SSL_SESSION_free(dropped);
    }

    // A new reference to the session kept under `key`, or null.
    SSL_SESSION* find(const std::string& key) const {
        std::lock_guard<std::mutex> guard(lock);
        auto found = sessions.find(key);
        if (found == sessions.end() || SSL_SESSION_is_resumable(found->second) != 1) return nullptr;
        SSL_SESSION_up_ref(found->second);
        return found->second;
    }
};

client_context::client_context(context_settings settings, std::unique_ptr<state> made)
    : _settings(std::move(settings)), _state(std::move(made)) {}

client_context::~client_context() = default;

std::size_t client_context::sessions_held() const {
    std::lock_guard<std::mutex> guard(_state->lock);
    return _state->sessions.size();
}

std::shared_ptr<client_context> client_context::make(const context_settings& settings, bool& library_failure,
                                                     std::string& error) {
    library_failure = false;
    error.clear();
    ERR_clear_error();
    auto made = std::make_unique<state>();
    made->context = SSL_CTX_new(TLS_client_method());
    if (made->context == nullptr) {
        library_failure = true;
        error = queued_errors();
        return nullptr;
    }
    // SSL 3, TLS 1.0 and 1.1 are broken; nothing older than 1.2 is offered.
    SSL_CTX_set_min_proto_version(made->context, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(made->context, TLS1_3_VERSION);
    // The default paths honour SSL_CERT_FILE and SSL_CERT_DIR.
    bool trusted = SSL_CTX_set_default_verify_paths(made->context) == 1;
    if (trusted && !settings.ca_file.empty())
        trusted = SSL_CTX_load_verify_locations(made->context, settings.ca_file.c_str(), nullptr) == 1;
    SSL_CTX_set_verify(made->context, settings.verify_peer ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
    if (!trusted) {
        std::string text = queued_errors();
        error = "cannot load the trusted certificates" + (settings.ca_file.empty() ? "" : " of " + settings.ca_file) +
                (text.empty() ? "" : ": " + text);
        return nullptr;
    }
    // The client's own cache: sessions are kept by the key of the connection
    // that got them (the library's store knows no server names).
    SSL_CTX_set_app_data(made->context, made.get());
    SSL_CTX_set_session_cache_mode(made->context, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(made->context, &state::on_new_session);
    SSL_CTX_sess_set_remove_cb(made->context, &state::on_remove_session);
    return std::shared_ptr<client_context>(new client_context(settings, std::move(made)));
}

// ---- a session ---------------------------------------------------------------------

struct client_session::state {
    std::shared_ptr<client_context> shared;
    SSL* session = nullptr;
    BIO* input = nullptr;   // owned by the session once attached
    BIO* output = nullptr;  // likewise
    output_sink* sink = nullptr;  // the output's, freed with it
    input_source* source = nullptr;  // the input's, freed with it
    std::string resume_key;  // the session's app data points here
    std::string error;
    bool verify_peer = true;
    bool verification_failed = false;
    // Set once the handshake is done. A TLS 1.3 ticket read later puts the
    // state machine back "in init" for a moment, which says nothing of the
    // protocol in use.
    std::atomic<bool> handshake_done{false};

    ~state() {
        if (session != nullptr) SSL_free(session);  // frees the session's own BIOs
    }

    void fail(std::string text, bool certificate) {
        error = std::move(text);
        verification_failed = certificate;
    }

    // Records why `result` of a session call was not a success; the status
    // the caller reports.
    status failure_of(int result) {
        const int code = SSL_get_error(session, result);
        if (code == SSL_ERROR_WANT_READ) return status::want_input;
        if (code == SSL_ERROR_ZERO_RETURN) return status::closed;
        // Without the check the result is still computed, but nothing failed on it.
        const long verified = verify_peer && SSL_is_init_finished(session) != 1 ? SSL_get_verify_result(session)
                                                                                : X509_V_OK;
        if (verified != X509_V_OK) {
            ERR_clear_error();
            fail(X509_verify_cert_error_string(verified), true);
        } else {
            std::string text = queued_errors();
            fail(text.empty() ? "TLS error " + std::to_string(code) : text, false);
        }
        return status::failed;
    }
};

client_session::client_session() = default;

client_session::~client_session() = default;

bool client_session::open(const verification& settings, bool& library_failure) {
    library_failure = false;
    close();
    std::string error;
    std::shared_ptr<client_context> context =
        client_context::make(context_settings::of(settings), library_failure, error);
    if (!context) {
        _state = std::make_unique<state>();
        _state->fail(error, false);
        return false;
    }
    return open(context, settings, std::string());
}

bool client_session::open(const std::shared_ptr<client_context>& context, const verification& settings,
                          const std::string& resume_key) {
    close();
    auto made = std::make_unique<state>();
    made->shared = context;
    made->verify_peer = context->settings().verify_peer;
    made->resume_key = resume_key;
    ERR_clear_error();
    made->session = SSL_new(context->native().context);
    BIO_METHOD* reading = source_method();
    made->input = reading != nullptr ? BIO_new(reading) : nullptr;
    if (made->input != nullptr) {
        made->source = new input_source;
        BIO_set_data(made->input, made->source);
    }
    BIO_METHOD* method = sink_method();
    made->output = method != nullptr ? BIO_new(method) : nullptr;
    if (made->output != nullptr) {
        made->sink = new output_sink;
        BIO_set_data(made->output, made->sink);
    }
    if (made->session == nullptr || made->input == nullptr || made->output == nullptr) {
        if (made->input != nullptr) BIO_free(made->input);
        if (made->output != nullptr) BIO_free(made->output);
        made->input = made->output = nullptr;
        made->sink = nullptr;
        made->source = nullptr;
        made->fail(queued_errors(), false);
        _state = std::move(made);
        return false;
    }
    SSL_set_bio(made->session, made->input, made->output);
    SSL_set_connect_state(made->session);
    SSL_set_app_data(made->session, &made->resume_key);
    if (!resume_key.empty()) {
        if (SSL_SESSION* earlier = context->native().find(resume_key)) {
            SSL_set_session(made->session, earlier);  // takes a reference of its own
            SSL_SESSION_free(earlier);
        }
    }

    bool named = true;
    if (!settings.host.empty()) {
        std::string plain;
        const bool address = address_literal(settings.host, plain);
        // An address is never sent as SNI (RFC 6066 allows names only).
        if (!address) named = SSL_set_tlsext_host_name(made->session, settings.host.c_str()) == 1;
        if (named && made->verify_peer) {
            if (address) {
                named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(made->session), plain.c_str()) == 1;
            } else {
                SSL_set_hostflags(made->session, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
                named = SSL_set1_host(made->session, settings.host.c_str()) == 1;
            }
        }
    }
    if (!named) {
        made->fail("cannot check the name " + settings.host + ": " + queued_errors(), false);
        _state = std::move(made);
        return false;
    }
    _state = std::move(made);
    return true;
}

bool client_session::is_open() const noexcept { return _state && _state->session != nullptr; }

void client_session::close() noexcept { _state.reset(); }

status client_session::handshake() {
    if (!is_open()) return status::failed;
    ERR_clear_error();
    const int result = SSL_do_handshake(_state->session);
    if (result != 1) return _state->failure_of(result);
    _state->handshake_done.store(true, std::memory_order_release);
    return status::done;
}

bool client_session::encrypt(const std::uint8_t* data, std::size_t length) {
    if (!is_open() || length == 0 || length > SSL3_RT_MAX_PLAIN_LENGTH) return false;
    ERR_clear_error();
    const int result = SSL_write(_state->session, data, static_cast<int>(length));
    if (result == static_cast<int>(length)) return true;
    if (result <= 0) _state->failure_of(result);
    return false;
}

status client_session::decrypt(std::uint8_t* out, std::size_t capacity, std::size_t& produced) {
    produced = 0;
    if (!is_open() || capacity == 0) return status::failed;
    ERR_clear_error();
    const int result = SSL_read(_state->session, out, clamp_int(capacity));
    if (result > 0) {
        produced = static_cast<std::size_t>(result);
        return status::done;
    }
    return _state->failure_of(result);
}

bool client_session::shutdown() {
    if (!is_open()) return false;
    ERR_clear_error();
    const int result = SSL_shutdown(_state->session);
    ERR_clear_error();
    return result >= 0;
}

void client_session::put_input(const std::uint8_t* data, std::size_t length) {
    if (!is_open()) return;
    _state->source->give_back();
    _state->source->append(data, length);
}

void client_session::lend_input(const std::uint8_t* data, std::size_t length) {
    if (!is_open() || length == 0) return;
    input_source& source = *_state->source;
    if (source.lent != nullptr) {
        // Behind bytes of another lender: copied, in order.
        put_input(data, length);
        return;
    }
    // Queued bytes (the start of a record a read cut) are read first, then
    // these in place: copying a whole read behind a few held bytes would
    // cost a pass over every byte received.
    source.lent = data;
    source.lent_length = length;
    source.lent_taken = 0;
}

void client_session::return_input() {
    if (is_open()) _state->source->give_back();
}

std::size_t client_session::input_held() const noexcept { return is_open() ? _state->source->held() : 0; }

std::size_t client_session::output_pending() const noexcept {
    return is_open() ? _state->sink->pending() : 0;
}

std::size_t client_session::take_output(std::uint8_t* out, std::size_t capacity) {
    if (!is_open() || capacity == 0) return 0;
    output_sink& sink = *_state->sink;
    const std::size_t count = std::min(capacity, sink.pending());
    if (count > 0) std::memcpy(out, sink.queue.data() + sink.taken, count);
    sink.taken += count;
    if (sink.taken == sink.queue.size()) {
        sink.queue.clear();
        sink.taken = 0;
    }
    return count;
}

std::size_t client_session::encrypt_into(const std::uint8_t* data, std::size_t length, std::uint8_t* out,
                                         std::size_t capacity) {
    if (!is_open()) return 0;
    output_sink& sink = *_state->sink;
    std::size_t written = take_output(out, capacity);
    sink.direct = out + written;
    sink.room = capacity - written;
    sink.used = 0;
    const bool encrypted = encrypt(data, length);
    written += sink.used;
    sink.direct = nullptr;
    sink.room = sink.used = 0;
    if (!encrypted) return 0;
    // What did not fit waits in the queue, in order, for the next take.
    return written + take_output(out + written, capacity - written);
}

stream_sizes client_session::sizes() const noexcept {
    // The trailer covers the largest MAC, padding and tag of any suite.
    return {SSL3_RT_HEADER_LENGTH, SSL3_RT_MAX_ENCRYPTED_OVERHEAD, SSL3_RT_MAX_PLAIN_LENGTH};
}

std::string client_session::protocol() const {
    if (!is_open() || !_state->handshake_done.load(std::memory_order_acquire)) return {};
    return SSL_get_version(_state->session);
}

bool client_session::resumed() const noexcept { return is_open() && SSL_session_reused(_state->session) == 1; }

std::string client_session::error_text() const { return _state ? _state->error : std::string(); }

bool client_session::verification_failed() const noexcept { return _state && _state->verification_failed; }

}  // namespace asynframe::platform::tls
