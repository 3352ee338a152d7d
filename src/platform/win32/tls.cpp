#include "platform/tls.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
// SCH_CREDENTIALS and TLS_PARAMETERS: the only way to TLS 1.3 on Windows 11.
#ifndef SCHANNEL_USE_BLACKLISTS
#define SCHANNEL_USE_BLACKLISTS
#endif

#include <windows.h>
#include <winternl.h>  // UNICODE_STRING, which the SCH_CREDENTIALS declarations use

#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace asynframe::platform::tls {
namespace {

// Sizes reported before the handshake fixed the suite: the worst case of any
// suite, as the record layer allows (5-byte header, 16 KiB of data and at
// most 256 + 64 bytes of padding, MAC and tag).
constexpr stream_sizes worst_case_sizes{5, 320, 16384};

// A handshake step may loop over several messages of one received flight;
// this bounds a server that keeps asking for credentials.
constexpr int max_steps_per_call = 64;

// ---- address literals ------------------------------------------------------------

bool parse_ipv4(const std::string& text, std::uint8_t (&out)[4]) {
    std::size_t position = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (position >= text.size() || text[position] != '.') return false;
            ++position;
        }
        const std::size_t start = position;
        unsigned value = 0;
        while (position < text.size() && text[position] >= '0' && text[position] <= '9' && position - start < 3) {
            value = value * 10 + static_cast<unsigned>(text[position] - '0');
            ++position;
        }
        const std::size_t digits = position - start;
        // Leading zeros are refused, as inet_pton refuses them: "010" is not 10 for everyone.
        if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return false;
        out[part] = static_cast<std::uint8_t>(value);
    }
    return position == text.size();
}

// One side of "::": colon-separated groups, the last of which may be a dotted
// IPv4 address when `v4_tail` (it then fills two groups).
bool parse_groups(const std::string& text, bool v4_tail, std::vector<std::uint16_t>& groups) {
    if (text.empty()) return true;
    std::size_t start = 0;
    while (true) {
        const std::size_t colon = text.find(':', start);
        const std::string piece = text.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (colon == std::string::npos && v4_tail && piece.find('.') != std::string::npos) {
            std::uint8_t v4[4];
            if (!parse_ipv4(piece, v4)) return false;
            groups.push_back(static_cast<std::uint16_t>(v4[0] << 8 | v4[1]));
            groups.push_back(static_cast<std::uint16_t>(v4[2] << 8 | v4[3]));
            return true;
        }
        if (piece.empty() || piece.size() > 4) return false;
        unsigned value = 0;
        for (const char c : piece) {
            unsigned digit;
            if (c >= '0' && c <= '9')
                digit = static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f')
                digit = static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                digit = static_cast<unsigned>(c - 'A' + 10);
            else
                return false;
            value = value << 4 | digit;
        }
        groups.push_back(static_cast<std::uint16_t>(value));
        if (colon == std::string::npos) return true;
        start = colon + 1;
    }
}

bool parse_ipv6(std::string text, std::uint8_t (&out)[16]) {
    if (text.size() > 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
    // A zone names the local interface; the certificate cannot name it.
    if (const std::size_t zone = text.find('%'); zone != std::string::npos) text.resize(zone);
    std::vector<std::uint16_t> head, tail;
    const std::size_t gap = text.find("::");
    if (gap == std::string::npos) {
        if (!parse_groups(text, true, head) || head.size() != 8) return false;
    } else {
        if (text.find("::", gap + 1) != std::string::npos) return false;
        if (!parse_groups(text.substr(0, gap), false, head) || !parse_groups(text.substr(gap + 2), true, tail) ||
            head.size() + tail.size() > 7)
            return false;
    }
    std::uint16_t groups[8] = {};
    std::copy(head.begin(), head.end(), groups);
    std::copy(tail.begin(), tail.end(), groups + 8 - tail.size());
    for (int i = 0; i < 8; ++i) {
        out[2 * i] = static_cast<std::uint8_t>(groups[i] >> 8);
        out[2 * i + 1] = static_cast<std::uint8_t>(groups[i] & 0xff);
    }
    return true;
}

// ---- texts -------------------------------------------------------------------------

std::string hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
    return text;
}

const char* status_name(SECURITY_STATUS code) {
    switch (static_cast<std::uint32_t>(code)) {
    case 0x80090300: return "SEC_E_INSUFFICIENT_MEMORY";
    case 0x80090301: return "SEC_E_INVALID_HANDLE";
    case 0x80090302: return "SEC_E_UNSUPPORTED_FUNCTION";
    case 0x80090304: return "SEC_E_INTERNAL_ERROR";
    case 0x80090305: return "SEC_E_SECPKG_NOT_FOUND";
    case 0x80090308: return "SEC_E_INVALID_TOKEN";
    case 0x8009030C: return "SEC_E_LOGON_DENIED";
    case 0x8009030E: return "SEC_E_NO_CREDENTIALS";
    case 0x80090311: return "SEC_E_NO_AUTHENTICATING_AUTHORITY";
    case 0x80090317: return "SEC_E_CONTEXT_EXPIRED";
    case 0x80090318: return "SEC_E_INCOMPLETE_MESSAGE";
    case 0x80090321: return "SEC_E_BUFFER_TOO_SMALL";
    case 0x80090322: return "SEC_E_WRONG_PRINCIPAL";
    case 0x80090325: return "SEC_E_UNTRUSTED_ROOT";
    case 0x80090326: return "SEC_E_ILLEGAL_MESSAGE";
    case 0x80090327: return "SEC_E_CERT_UNKNOWN";
    case 0x80090328: return "SEC_E_CERT_EXPIRED";
    case 0x80090329: return "SEC_E_ENCRYPT_FAILURE";
    case 0x80090330: return "SEC_E_DECRYPT_FAILURE";
    case 0x80090331: return "SEC_E_ALGORITHM_MISMATCH";
    case 0x80090332: return "SEC_E_SECURITY_QOS_FAILED";
    case 0x80090349: return "SEC_E_CERT_WRONG_USAGE";
    case 0x80090367: return "SEC_E_APPLICATION_PROTOCOL_MISMATCH";
    case 0x00090317: return "SEC_I_CONTEXT_EXPIRED";
    case 0x00090320: return "SEC_I_INCOMPLETE_CREDENTIALS";
    case 0x00090321: return "SEC_I_RENEGOTIATE";
    default: return nullptr;
    }
}

// "InitializeSecurityContext: SEC_E_ILLEGAL_MESSAGE (0x80090326): <the system's text>"
std::string status_text(const char* call, SECURITY_STATUS code) {
    std::string text = call;
    text += ": ";
    if (const char* name = status_name(code)) {
        text += name;
        text += " (" + hex32(static_cast<std::uint32_t>(code)) + ")";
    } else {
        text += "status " + hex32(static_cast<std::uint32_t>(code));
    }
    char* message = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(code), 0, reinterpret_cast<char*>(&message), 0, nullptr);
    if (length > 0 && message != nullptr) {
        std::string system(message, length);
        while (!system.empty() && (system.back() == '\n' || system.back() == '\r' || system.back() == ' ' ||
                                   system.back() == '.'))
            system.pop_back();
        if (!system.empty()) text += ": " + system;
    }
    if (message != nullptr) LocalFree(message);
    return text;
}

// ---- trusted certificates of a PEM file ---------------------------------------------

bool read_file(const std::string& path, std::string& content) {
    // The host's paths are in the ANSI code page, as every char path of the component's interfaces.
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    content.clear();
    char block[16384];
    DWORD read = 0;
    bool good = true;
    while ((good = ReadFile(file, block, sizeof block, &read, nullptr) != FALSE) && read > 0) content.append(block, read);
    CloseHandle(file);
    return good;
}

// Adds every "-----BEGIN CERTIFICATE-----" block of `pem` to `store`; the count added.
int add_pem_certificates(const std::string& pem, HCERTSTORE store) {
    static constexpr char begin_marker[] = "-----BEGIN CERTIFICATE-----";
    static constexpr char end_marker[] = "-----END CERTIFICATE-----";
    int added = 0;
    std::size_t position = 0;
    while ((position = pem.find(begin_marker, position)) != std::string::npos) {
        std::size_t end = pem.find(end_marker, position);
        if (end == std::string::npos) break;
        end += sizeof end_marker - 1;
        const std::string block = pem.substr(position, end - position);
        position = end;
        DWORD size = 0;
        if (!CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                                  &size, nullptr, nullptr) ||
            size == 0)
            continue;
        std::vector<BYTE> der(size);
        if (!CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER,
                                  der.data(), &size, nullptr, nullptr))
            continue;
        if (CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                             CERT_STORE_ADD_USE_EXISTING, nullptr))
            ++added;
    }
    return added;
}

bool same_certificate(PCCERT_CONTEXT a, PCCERT_CONTEXT b) {
    return a->cbCertEncoded == b->cbCertEncoded &&
           std::memcmp(a->pbCertEncoded, b->pbCertEncoded, a->cbCertEncoded) == 0;
}

bool store_holds(HCERTSTORE store, PCCERT_CONTEXT certificate) {
    PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, certificate,
                                                      nullptr);
    if (found == nullptr) return false;
    const bool same = same_certificate(found, certificate);
    CertFreeCertificateContext(found);
    return same;
}

// The certificate names `address` (4 or 16 bytes) among its IP-address alternative names.
bool names_address(PCCERT_CONTEXT certificate, const std::uint8_t* address, std::size_t length) {
    const PCERT_INFO info = certificate->pCertInfo;
    PCERT_EXTENSION extension =
        CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
    if (extension == nullptr)
        extension = CertFindExtension(szOID_SUBJECT_ALT_NAME, info->cExtension, info->rgExtension);
    if (extension == nullptr) return false;
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                             extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size))
        return false;
    bool found = false;
    for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
        found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == length &&
                std::memcmp(entry.IPAddress.pbData, address, length) == 0;
    }
    LocalFree(names);
    return found;
}

std::wstring widen(const std::string& text) {
    if (text.empty()) return {};
    const int count = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (count <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(count), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), count);
    return wide;
}

// The credentials (outbound, TLS 1.2 and 1.3); false with `error` set.
bool acquire_credentials(CredHandle& credentials, std::string& error) {
    constexpr DWORD flags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
    constexpr DWORD wanted = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
    TimeStamp expiry{};
    // Windows 11 offers TLS 1.3 only through SCH_CREDENTIALS. A system that
    // does not know the structure, or takes it but ignores its limits
    // (wine 8 would offer TLS 1.0), is asked with the older one: 1.2 and
    // 1.3, then 1.2 alone where 1.3 is refused.
    TLS_PARAMETERS parameters{};
    parameters.grbitDisabledProtocols = ~wanted;
    SCH_CREDENTIALS modern{};
    modern.dwVersion = SCH_CREDENTIALS_VERSION;
    modern.dwFlags = flags;
    modern.cTlsParameters = 1;
    modern.pTlsParameters = &parameters;
    SECURITY_STATUS result =
        AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr,
                                  &modern, nullptr, nullptr, &credentials, &expiry);
    if (result == SEC_E_OK) {
        SecPkgCred_SupportedProtocols offered{};
        if (QueryCredentialsAttributesA(&credentials, SECPKG_ATTR_SUPPORTED_PROTOCOLS, &offered) != SEC_E_OK ||
            (offered.grbitProtocol & SP_PROT_CLIENTS & ~wanted) != 0) {
            FreeCredentialsHandle(&credentials);
            result = SEC_E_ALGORITHM_MISMATCH;
        }
    }
    for (const DWORD protocols : {wanted, static_cast<DWORD>(SP_PROT_TLS1_2_CLIENT)}) {
        if (result == SEC_E_OK || result == SEC_E_SECPKG_NOT_FOUND) break;
        SCHANNEL_CRED legacy{};
        legacy.dwVersion = SCHANNEL_CRED_VERSION;
        legacy.grbitEnabledProtocols = protocols;
        legacy.dwFlags = flags;
        result = AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND,
                                           nullptr, &legacy, nullptr, nullptr, &credentials, &expiry);
    }
    if (result != SEC_E_OK) {
        error = status_text("AcquireCredentialsHandle", result);
        return false;
    }
    return true;
}

}  // namespace

// ---- the shared context ----------------------------------------------------------

// One credentials handle for every session of the context: SChannel keeps
// its client session cache by credentials and target name, so a later
// connection to the same server name resumes.
struct client_context::state {
    CredHandle credentials{};
    bool have_credentials = false;
    HCERTSTORE trusted = nullptr;  // the certificates of ca_file; null without one

    ~state() {
        if (have_credentials) FreeCredentialsHandle(&credentials);
        if (trusted != nullptr) CertCloseStore(trusted, 0);
    }
};

client_context::client_context(context_settings settings, std::unique_ptr<state> made)
    : _settings(std::move(settings)), _state(std::move(made)) {}

client_context::~client_context() = default;

// SChannel keeps the sessions itself and says nothing of them.
std::size_t client_context::sessions_held() const { return 0; }

std::shared_ptr<client_context> client_context::make(const context_settings& settings, bool& library_failure,
                                                     std::string& error) {
    library_failure = false;
    error.clear();
    auto made = std::make_unique<state>();
    if (!acquire_credentials(made->credentials, error)) {
        library_failure = true;
        return nullptr;
    }
    made->have_credentials = true;
    if (!settings.ca_file.empty()) {
        std::string pem;
        std::string problem;
        if (!read_file(settings.ca_file, pem)) {
            problem = "cannot read it (error " + std::to_string(GetLastError()) + ")";
        } else if ((made->trusted = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr)) == nullptr) {
            problem = "cannot make a certificate store (error " + std::to_string(GetLastError()) + ")";
        } else if (add_pem_certificates(pem, made->trusted) == 0) {
            problem = "no PEM certificate in it";
        }
        if (!problem.empty()) {
            error = "cannot load the trusted certificates of " + settings.ca_file + ": " + problem;
            return nullptr;
        }
    }
    return std::shared_ptr<client_context>(new client_context(settings, std::move(made)));
}

struct client_session::state {
    std::shared_ptr<client_context> shared;
    CredHandle credentials{};      // the context's
    CtxtHandle context{};
    bool have_context = false;
    HCERTSTORE trusted = nullptr;  // the context's certificates of ca_file (a reference of its own); null without one

    bool verify_peer = true;
    std::wstring target;  // the name sent as SNI; empty for an address
    std::uint8_t address[16] = {};
    std::size_t address_length = 0;  // 4 or 16 for an address literal, else 0

    std::vector<std::uint8_t> input;        // received, not yet consumed
    std::vector<std::uint8_t> output;       // to send, from output_taken on
    std::size_t output_taken = 0;
    std::vector<std::uint8_t> plaintext;    // decrypted beyond what the caller could take
    std::size_t plaintext_taken = 0;

    bool ready = false;  // open() finished
    bool established = false;
    bool renegotiating = false;  // a post-handshake message is being carried through
    bool peer_closed = false;
    SecPkgContext_StreamSizes stream{};
    std::string protocol;

    std::string error;
    bool verification_failed = false;

    ~state() {
        if (have_context) DeleteSecurityContext(&context);
        if (trusted != nullptr) CertCloseStore(trusted, 0);
    }

    void fail(std::string text, bool certificate) {
        error = std::move(text);
        verification_failed = certificate;
    }

    void append_output(const void* data, std::size_t length) {
        if (length == 0) return;
        if (output_taken == output.size()) {
            output.clear();
            output_taken = 0;
        }
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        output.insert(output.end(), bytes, bytes + length);
    }

    // Drops the consumed front of the input, keeping the last `extra` bytes.
    void keep_input_tail(std::size_t extra) {
        if (extra >= input.size()) return;
        input.erase(input.begin(), input.end() - static_cast<std::ptrdiff_t>(extra));
    }

    // The header of the record at the front of the input is a TLS record's:
    // a server that speaks something else (plain HTTP on the TLS port) fails
    // at once instead of leaving the package waiting for a record that the
    // bytes seem to announce.
    bool input_looks_like_tls() {
        if (input.size() < 5) return true;
        const unsigned type = input[0];
        const unsigned length = static_cast<unsigned>(input[3]) << 8 | input[4];
        // change_cipher_spec, alert, handshake, application_data; SSL 3 to TLS 1.3;
        // at most 2^14 bytes and the largest expansion a suite may add.
        if (type >= 20 && type <= 23 && input[1] == 3 && length <= 16384 + 2048) return true;
        fail("the peer does not speak TLS (the record header is " + hex_bytes(input.data(), 5) + ")", false);
        return false;
    }

    static std::string hex_bytes(const std::uint8_t* bytes, std::size_t count) {
        static constexpr char digits[] = "0123456789abcdef";
        std::string text;
        for (std::size_t i = 0; i < count; ++i) {
            if (i > 0) text += ' ';
            text += digits[bytes[i] >> 4];
            text += digits[bytes[i] & 15];
        }
        return text;
    }

    std::size_t output_pending_count() const noexcept { return output.size() - output_taken; }

    // One InitializeSecurityContext call over the held input (none for the
    // first call, nor for the close_notify); its token joins the output. The
    // input is consumed but for what the package reports as extra.
    SECURITY_STATUS step(bool& consumed_all, bool with_input) {
        constexpr ULONG wanted = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                 ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
                                 ISC_REQ_MANUAL_CRED_VALIDATION | ISC_REQ_USE_SUPPLIED_CREDS;
        with_input = with_input && have_context;
        SecBuffer in[2] = {};
        in[0].BufferType = SECBUFFER_TOKEN;
        in[0].pvBuffer = input.data();
        in[0].cbBuffer = static_cast<ULONG>(input.size());
        in[1].BufferType = SECBUFFER_EMPTY;
        SecBufferDesc in_description{SECBUFFER_VERSION, 2, in};
        // With ISC_REQ_EXTENDED_ERROR a failure's alert comes in the token: it tells the peer why.
        SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc out_description{SECBUFFER_VERSION, 1, &out};
        ULONG granted = 0;
        TimeStamp expiry{};
        SEC_WCHAR* name = target.empty() ? nullptr : target.data();
        const SECURITY_STATUS result =
            InitializeSecurityContextW(&credentials, have_context ? &context : nullptr, name, wanted, 0, 0,
                                       with_input ? &in_description : nullptr, 0, &context,
                                       &out_description, &granted, &expiry);
        if (!have_context && (result == SEC_E_OK || result == SEC_I_CONTINUE_NEEDED)) have_context = true;
        if (out.pvBuffer != nullptr) {
            append_output(out.pvBuffer, out.cbBuffer);
            FreeContextBuffer(out.pvBuffer);
        }
        consumed_all = true;
        if (!with_input) return result;
        if (result == SEC_E_INCOMPLETE_MESSAGE) {
            consumed_all = false;
        } else if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0) {
            keep_input_tail(in[1].cbBuffer);
            consumed_all = false;
        } else if (result == SEC_I_INCOMPLETE_CREDENTIALS) {
            // The request for a client certificate is answered on the next call, with the same input.
            consumed_all = false;
        } else {
            input.clear();
        }
        return result;
    }

    // Carries the handshake (or a message after it) over the held input; a
    // message after the handshake may have to be started without input.
    status advance(bool start_without_input = false) {
        for (int round = 0; round < max_steps_per_call; ++round) {
            if (have_context && input.empty() && !start_without_input) return status::want_input;
            start_without_input = false;
            if (!input_looks_like_tls()) return status::failed;
            bool consumed_all = true;
            const SECURITY_STATUS result = step(consumed_all, true);
            if (result == SEC_E_INCOMPLETE_MESSAGE) return status::want_input;
            if (result == SEC_I_CONTINUE_NEEDED) {
                if (consumed_all) return status::want_input;
                continue;
            }
            if (result == SEC_I_INCOMPLETE_CREDENTIALS) continue;  // no client certificate is offered
            if (result != SEC_E_OK) {
                fail(status_text("InitializeSecurityContext", result), false);
                return status::failed;
            }
            return finish();
        }
        fail("InitializeSecurityContext: the handshake does not advance", false);
        return status::failed;
    }

    status finish() {
        const bool renegotiated = established;
        renegotiating = false;
        SECURITY_STATUS result = QueryContextAttributesW(&context, SECPKG_ATTR_STREAM_SIZES, &stream);
        if (result != SEC_E_OK) {
            fail(status_text("QueryContextAttributes(SECPKG_ATTR_STREAM_SIZES)", result), false);
            return status::failed;
        }
        SecPkgContext_ConnectionInfo info{};
        if (QueryContextAttributesW(&context, SECPKG_ATTR_CONNECTION_INFO, &info) == SEC_E_OK) {
            if (info.dwProtocol & SP_PROT_TLS1_3_CLIENT)
                protocol = "TLSv1.3";
            else if (info.dwProtocol & SP_PROT_TLS1_2_CLIENT)
                protocol = "TLSv1.2";
            else if (info.dwProtocol & SP_PROT_TLS1_1_CLIENT)
                protocol = "TLSv1.1";
            else if (info.dwProtocol & SP_PROT_TLS1_0_CLIENT)
                protocol = "TLSv1";
            else
                protocol = "unknown (" + hex32(info.dwProtocol) + ")";
        }
        // The credentials asked for TLS 1.2 and 1.3 only; a system that ignored
        // that (or did not say what it chose) is not trusted with the session.
        if (protocol != "TLSv1.2" && protocol != "TLSv1.3") {
            fail("the server chose " + (protocol.empty() ? std::string("an unknown protocol") : protocol) +
                     ", older than TLS 1.2",
                 false);
            protocol.clear();
            return status::failed;
        }
        // A TLS 1.3 ticket or key update keeps the certificate; a TLS 1.2
        // renegotiation may bring another one, which is checked as the first.
        if (verify_peer && (!renegotiated || protocol != "TLSv1.3") && !check_certificate()) return status::failed;
        established = true;
        return status::done;
    }

    // The chain and the name of the server's certificate; false with the reason recorded.
    bool check_certificate() {
        PCCERT_CONTEXT peer = nullptr;
        const SECURITY_STATUS result = QueryContextAttributesW(&context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &peer);
        if (result != SEC_E_OK || peer == nullptr) {
            fail("no peer certificate returned (" + status_text("QueryContextAttributes", result) + ")", true);
            return false;
        }
        const bool good = check_chain(peer);
        CertFreeCertificateContext(peer);
        return good;
    }

    bool check_chain(PCCERT_CONTEXT peer) {
        // The server's intermediates and ca_file's certificates are where the chain may be found.
        HCERTSTORE extra = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
        if (extra == nullptr) {
            fail("cannot make a certificate store (error " + std::to_string(GetLastError()) + ")", true);
            return false;
        }
        if (peer->hCertStore != nullptr) CertAddStoreToCollection(extra, peer->hCertStore, 0, 0);
        if (trusted != nullptr) CertAddStoreToCollection(extra, trusted, 0, 0);

        CERT_CHAIN_PARA parameters{};
        parameters.cbSize = sizeof parameters;
        LPSTR usages[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
        parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
        parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
        parameters.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
        PCCERT_CHAIN_CONTEXT chain = nullptr;
        if (!CertGetCertificateChain(nullptr, peer, nullptr, extra, &parameters, 0, nullptr, &chain)) {
            fail("cannot build the certificate chain (error " + std::to_string(GetLastError()) + ")", true);
            CertCloseStore(extra, 0);
            return false;
        }
        const bool good = judge(chain, peer);
        CertFreeCertificateChain(chain);
        CertCloseStore(extra, 0);
        return good;
    }

    bool judge(PCCERT_CHAIN_CONTEXT chain, PCCERT_CONTEXT peer);
    status decrypt(std::uint8_t* out, std::size_t capacity, std::size_t& produced);
};

namespace {

// The documented checks of SSL_EXTRA_CERT_CHAIN_POLICY_PARA (wininet.h's names).
constexpr DWORD ignore_unknown_ca = 0x00000100;

std::string time_text(PCCERT_CHAIN_CONTEXT chain) {
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    for (DWORD i = 0; i < simple->cElement; ++i) {
        const PCCERT_CONTEXT certificate = simple->rgpElement[i]->pCertContext;
        const LONG when = CertVerifyTimeValidity(nullptr, certificate->pCertInfo);
        if (when < 0) return "certificate is not yet valid";
        if (when > 0) return "certificate has expired";
    }
    return "certificate has expired";
}

// OpenSSL's texts for the same faults, so a host reads one reason on every system.
std::string untrusted_root_text(PCCERT_CHAIN_CONTEXT chain) {
    return chain->rgpChain[0]->cElement <= 1 ? "self-signed certificate" : "self-signed certificate in certificate chain";
}

}  // namespace

bool client_session::state::judge(PCCERT_CHAIN_CONTEXT chain, PCCERT_CONTEXT peer) {
    if (chain->cChain == 0 || chain->rgpChain[0]->cElement == 0) {
        fail("unable to get local issuer certificate", true);
        return false;
    }
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    // Revocation is not asked for (nor by OpenSSL on Linux): its status is no fault.
    DWORD faults = chain->TrustStatus.dwErrorStatus &
                   ~static_cast<DWORD>(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION |
                                       CERT_TRUST_IS_NOT_TIME_NESTED);
    bool root_accepted = false;
    if ((faults & CERT_TRUST_IS_UNTRUSTED_ROOT) != 0 && trusted != nullptr &&
        store_holds(trusted, simple->rgpElement[simple->cElement - 1]->pCertContext)) {
        faults &= ~static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT);
        root_accepted = true;
    }
    if (faults & CERT_TRUST_IS_PARTIAL_CHAIN) {
        fail("unable to get local issuer certificate", true);
        return false;
    }
    if (faults & CERT_TRUST_IS_UNTRUSTED_ROOT) {
        fail(untrusted_root_text(chain), true);
        return false;
    }
    if (faults & CERT_TRUST_IS_NOT_SIGNATURE_VALID) {
        fail("certificate signature failure", true);
        return false;
    }
    if (faults & CERT_TRUST_IS_REVOKED) {
        fail("certificate revoked", true);
        return false;
    }
    if (faults & CERT_TRUST_IS_NOT_TIME_VALID) {
        fail(time_text(chain), true);
        return false;
    }
    if (faults & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) {
        fail("unsupported certificate purpose", true);
        return false;
    }
    if (faults != 0) {
        fail("certificate chain rejected (trust status " + hex32(faults) + ")", true);
        return false;
    }

    // The name; an address is left to the check below, which the policy cannot do.
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = root_accepted ? ignore_unknown_ca : 0;
    ssl.pwszServerName = target.empty() ? nullptr : target.data();
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.dwFlags = root_accepted ? CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG : 0;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS verdict{};
    verdict.cbSize = sizeof verdict;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &verdict)) {
        fail("cannot check the certificate chain (error " + std::to_string(GetLastError()) + ")", true);
        return false;
    }
    switch (static_cast<std::uint32_t>(verdict.dwError)) {
    case 0: break;
    case 0x800B010F: fail("hostname mismatch", true); return false;                       // CERT_E_CN_NO_MATCH
    case 0x800B0101: fail(time_text(chain), true); return false;                          // CERT_E_EXPIRED
    case 0x800B0109: fail(untrusted_root_text(chain), true); return false;                // CERT_E_UNTRUSTEDROOT
    case 0x800B010A: fail("unable to get local issuer certificate", true); return false;  // CERT_E_CHAINING
    case 0x800B0110: fail("unsupported certificate purpose", true); return false;         // CERT_E_WRONG_USAGE
    case 0x800B010C: fail("certificate revoked", true); return false;                     // CERT_E_REVOKED
    case 0x80092012:  // CRYPT_E_NO_REVOCATION_CHECK
    case 0x80092013:  // CRYPT_E_REVOCATION_OFFLINE
        break;
    default: fail("certificate rejected (policy status " + hex32(verdict.dwError) + ")", true); return false;
    }
    if (address_length > 0 && !names_address(peer, address, address_length)) {
        fail("IP address mismatch", true);
        return false;
    }
    return true;
}

status client_session::state::decrypt(std::uint8_t* out, std::size_t capacity, std::size_t& produced) {
    produced = 0;
    if (plaintext_taken < plaintext.size()) {
        produced = std::min(capacity, plaintext.size() - plaintext_taken);
        std::memcpy(out, plaintext.data() + plaintext_taken, produced);
        plaintext_taken += produced;
        if (plaintext_taken == plaintext.size()) {
            plaintext.clear();
            plaintext_taken = 0;
        }
        return status::done;
    }
    if (renegotiating) {
        const status step = advance();
        if (step != status::done) return step;
    }
    for (int round = 0; round < max_steps_per_call; ++round) {
        if (peer_closed) return status::closed;
        if (input.empty()) return status::want_input;
        if (!input_looks_like_tls()) return status::failed;
        SecBuffer buffers[4] = {};
        buffers[0].BufferType = SECBUFFER_DATA;
        buffers[0].pvBuffer = input.data();
        buffers[0].cbBuffer = static_cast<ULONG>(input.size());
        for (int i = 1; i < 4; ++i) buffers[i].BufferType = SECBUFFER_EMPTY;
        SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
        // Below TLS 1.3 the record's type is in the clear; the record is decrypted in place.
        const bool alert_record = input[0] == 0x15;
        const SECURITY_STATUS result = DecryptMessage(&context, &description, 0, nullptr);
        if (result == SEC_E_INCOMPLETE_MESSAGE) return status::want_input;
        if (result != SEC_E_OK && result != SEC_I_RENEGOTIATE && result != SEC_I_CONTEXT_EXPIRED) {
            fail(status_text("DecryptMessage", result), false);
            return status::failed;
        }
        const SecBuffer* data = nullptr;
        std::size_t extra = 0;
        for (const SecBuffer& buffer : buffers) {
            if (buffer.BufferType == SECBUFFER_DATA && data == nullptr) data = &buffer;
            if (buffer.BufferType == SECBUFFER_EXTRA) extra = buffer.cbBuffer;
        }
        // The record was decrypted in place: its data leaves the input before the input moves.
        if (data != nullptr && data->cbBuffer > 0 && data->pvBuffer != nullptr) {
            const auto* bytes = static_cast<const std::uint8_t*>(data->pvBuffer);
            produced = std::min<std::size_t>(capacity, data->cbBuffer);
            std::memcpy(out, bytes, produced);
            plaintext.assign(bytes + produced, bytes + data->cbBuffer);
            plaintext_taken = 0;
        }
        if (extra == 0)
            input.clear();
        else
            keep_input_tail(extra);
        // Windows reports the peer's close_notify as SEC_I_CONTEXT_EXPIRED; wine
        // as an alert record that decrypts to nothing. A warning alert other
        // than close_notify (user_canceled) is followed by one, and no_renegotiation
        // would answer a renegotiation this client never asks for.
        if (result == SEC_I_CONTEXT_EXPIRED || (result == SEC_E_OK && alert_record && produced == 0)) {
            peer_closed = true;
            return produced > 0 ? status::done : status::closed;
        }
        if (result == SEC_I_RENEGOTIATE) {
            // A TLS 1.3 ticket or key update, or a TLS 1.2 renegotiation: the
            // handshake carries it, from the bytes behind the record.
            renegotiating = true;
            const status step = advance(true);
            if (step == status::failed) return status::failed;
            if (step == status::want_input) return produced > 0 ? status::done : status::want_input;
        }
        if (produced > 0) return status::done;
    }
    fail("DecryptMessage: no data in a long run of records", false);
    return status::failed;
}

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

bool client_session::open(const std::shared_ptr<client_context>& shared, const verification& settings,
                          const std::string&) {
    close();
    auto made = std::make_unique<state>();
    made->shared = shared;
    made->credentials = shared->native().credentials;
    // A reference of the session's own to the context's certificates.
    made->trusted = shared->native().trusted != nullptr ? CertDuplicateStore(shared->native().trusted) : nullptr;
    made->verify_peer = shared->settings().verify_peer;
    if (!settings.host.empty()) {
        std::uint8_t v4[4];
        bool named = true;
        if (parse_ipv4(settings.host, v4)) {
            std::memcpy(made->address, v4, 4);
            made->address_length = 4;
        } else if (settings.host.find(':') != std::string::npos) {
            named = parse_ipv6(settings.host, made->address);
            made->address_length = 16;
        } else {
            made->target = widen(settings.host);
            named = !made->target.empty();
        }
        if (!named) {
            made->fail("cannot check the name " + settings.host + ": not a host name or address", false);
            made->address_length = 0;
            _state = std::move(made);
            return false;
        }
    }
    made->ready = true;
    _state = std::move(made);
    return true;
}

bool client_session::is_open() const noexcept { return _state && _state->ready; }

void client_session::close() noexcept { _state.reset(); }

status client_session::handshake() {
    if (!is_open()) return status::failed;
    if (_state->established && !_state->renegotiating) return status::done;
    return _state->advance();
}

bool client_session::encrypt(const std::uint8_t* data, std::size_t length) {
    if (!is_open() || !_state->established || length == 0 || length > _state->stream.cbMaximumMessage) return false;
    state& s = *_state;
    if (s.output_taken == s.output.size()) {
        s.output.clear();
        s.output_taken = 0;
    }
    const std::size_t base = s.output.size();
    const std::size_t header = s.stream.cbHeader;
    const std::size_t trailer = s.stream.cbTrailer;
    s.output.resize(base + header + length + trailer);
    std::uint8_t* record = s.output.data() + base;
    std::memcpy(record + header, data, length);
    SecBuffer buffers[4] = {};
    buffers[0] = {static_cast<ULONG>(header), SECBUFFER_STREAM_HEADER, record};
    buffers[1] = {static_cast<ULONG>(length), SECBUFFER_DATA, record + header};
    buffers[2] = {static_cast<ULONG>(trailer), SECBUFFER_STREAM_TRAILER, record + header + length};
    buffers[3] = {0, SECBUFFER_EMPTY, nullptr};
    SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS result = EncryptMessage(&s.context, 0, &description, 0);
    if (result != SEC_E_OK) {
        s.output.resize(base);
        s.fail(status_text("EncryptMessage", result), false);
        return false;
    }
    // A suite whose trailer is shorter than the largest leaves the end unused.
    s.output.resize(base + buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
    return true;
}

std::size_t client_session::encrypt_into(const std::uint8_t* data, std::size_t length, std::uint8_t* out,
                                         std::size_t capacity) {
    if (!is_open() || !_state->established || length == 0 || length > _state->stream.cbMaximumMessage) return 0;
    state& s = *_state;
    std::size_t written = take_output(out, capacity);
    const std::size_t header = s.stream.cbHeader;
    const std::size_t trailer = s.stream.cbTrailer;
    if (s.output_pending_count() > 0 || capacity - written < header + length + trailer) {
        // No room for the record in place: through the output, in order.
        if (!encrypt(data, length)) return 0;
        return written + take_output(out + written, capacity - written);
    }
    // The record is made in place, in the caller's buffer.
    std::uint8_t* record = out + written;
    std::memcpy(record + header, data, length);
    SecBuffer buffers[4] = {};
    buffers[0] = {static_cast<ULONG>(header), SECBUFFER_STREAM_HEADER, record};
    buffers[1] = {static_cast<ULONG>(length), SECBUFFER_DATA, record + header};
    buffers[2] = {static_cast<ULONG>(trailer), SECBUFFER_STREAM_TRAILER, record + header + length};
    buffers[3] = {0, SECBUFFER_EMPTY, nullptr};
    SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS result = EncryptMessage(&s.context, 0, &description, 0);
    if (result != SEC_E_OK) {
        s.fail(status_text("EncryptMessage", result), false);
        return 0;
    }
    // A suite whose trailer is shorter than the largest leaves the end unused.
    return written + buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
}

status client_session::decrypt(std::uint8_t* out, std::size_t capacity, std::size_t& produced) {
    produced = 0;
    if (!is_open() || capacity == 0 || !_state->have_context) return status::failed;
    return _state->decrypt(out, capacity, produced);
}

bool client_session::shutdown() {
    if (!is_open() || !_state->have_context) return false;
    state& s = *_state;
    DWORD kind = SCHANNEL_SHUTDOWN;
    SecBuffer token{sizeof kind, SECBUFFER_TOKEN, &kind};
    SecBufferDesc description{SECBUFFER_VERSION, 1, &token};
    SECURITY_STATUS result = ApplyControlToken(&s.context, &description);
    if (result != SEC_E_OK) {
        s.fail(status_text("ApplyControlToken", result), false);
        return false;
    }
    // The alert comes out of the handshake call, with no input.
    bool consumed_all = true;
    const std::size_t before = s.output_pending_count();
    result = s.step(consumed_all, false);
    if (result != SEC_E_OK && result != SEC_I_CONTEXT_EXPIRED && result != SEC_I_CONTINUE_NEEDED) {
        s.fail(status_text("InitializeSecurityContext", result), false);
        return false;
    }
    return s.output_pending_count() > before;
}

void client_session::put_input(const std::uint8_t* data, std::size_t length) {
    if (!is_open() || length == 0) return;
    _state->input.insert(_state->input.end(), data, data + length);
}

void client_session::lend_input(const std::uint8_t* data, std::size_t length) { put_input(data, length); }

void client_session::return_input() {}

std::size_t client_session::input_held() const noexcept { return is_open() ? _state->input.size() : 0; }

std::size_t client_session::output_pending() const noexcept { return is_open() ? _state->output_pending_count() : 0; }

std::size_t client_session::take_output(std::uint8_t* out, std::size_t capacity) {
    if (!is_open() || capacity == 0) return 0;
    state& s = *_state;
    const std::size_t count = std::min(capacity, s.output.size() - s.output_taken);
    std::memcpy(out, s.output.data() + s.output_taken, count);
    s.output_taken += count;
    if (s.output_taken == s.output.size()) {
        s.output.clear();
        s.output_taken = 0;
    }
    return count;
}

stream_sizes client_session::sizes() const noexcept {
    if (!is_open() || !_state->established) return worst_case_sizes;
    return {static_cast<std::uint32_t>(_state->stream.cbHeader), static_cast<std::uint32_t>(_state->stream.cbTrailer),
            static_cast<std::uint32_t>(_state->stream.cbMaximumMessage)};
}

std::string client_session::protocol() const {
    return is_open() && _state->established ? _state->protocol : std::string();
}

bool client_session::resumed() const noexcept {
    if (!is_open() || !_state->established) return false;
    SecPkgContext_SessionInfo info{};
    if (QueryContextAttributesW(&_state->context, SECPKG_ATTR_SESSION_INFO, &info) != SEC_E_OK) return false;
    return (info.dwFlags & SSL_SESSION_RECONNECT) != 0;
}

std::string client_session::error_text() const { return _state ? _state->error : std::string(); }

bool client_session::verification_failed() const noexcept { return _state && _state->verification_failed; }

}  // namespace asynframe::platform::tls
