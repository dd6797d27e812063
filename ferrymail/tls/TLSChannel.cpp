#include "tls/TLSChannel.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <utility>

#include "kinbook/foundation/Sync.h"

namespace {

// The reason of the first error OpenSSL queued for this thread; the queue is emptied.
std::string QueuedError() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return "unknown error";
    const char* reason = ERR_reason_error_string(code);
    return reason != nullptr ? reason : "error " + std::to_string(code);
}

// Contexts with the same checks and the same trusted certificates are shared: reading
// the system's store for every connection would cost more than the handshake. A CA
// file is keyed by its contents, so a changed file is read again. Contexts live as long
// as the process.
//
// The last session each context had with each server name is kept too, so that the next
// connection resumes it (RFC 8446 section 2.2) and skips the server's signature and the
// certificate check, which the session passed when it was made.
struct SContextCache {
    CCritical lock;
    std::map<std::string, SSL_CTX*> contexts;      // guarded by lock
    std::map<std::string, SSL_SESSION*> sessions;  // guarded by lock; one reference each
};

SContextCache& Cache() {
    static SContextCache* cache = new SContextCache;
    return *cache;
}

// A new session of a connection whose application data is its key in the cache: it
// replaces the one kept before. OpenSSL calls this only for a completed handshake.
int KeepSession(SSL* ssl, SSL_SESSION* session) {
    const auto* key = static_cast<const std::string*>(SSL_get_app_data(ssl));
    if (key == nullptr)
        return 0;
    SContextCache& cache = Cache();
    CLock guard(&cache.lock);
    SSL_SESSION*& kept = cache.sessions[*key];
    if (kept != nullptr)
        SSL_SESSION_free(kept);
    kept = session;
    return 1;  // the reference is the cache's
}

// Offers the session kept for `key`, if any.
void ResumeSession(SSL* ssl, const std::string& key) {
    SContextCache& cache = Cache();
    CLock guard(&cache.lock);
    auto found = cache.sessions.find(key);
    if (found != cache.sessions.end() && SSL_SESSION_is_resumable(found->second))
        SSL_set_session(ssl, found->second);
}

// The file and directory OpenSSL's defaults read (SSL_CERT_FILE and SSL_CERT_DIR, else its
// own), which a context made with them trusts.
std::string DefaultTrustLocations() {
    std::string locations;
    for (const auto& [variable, fallback] :
         {std::pair{X509_get_default_cert_file_env(), X509_get_default_cert_file()},
          {X509_get_default_cert_dir_env(), X509_get_default_cert_dir()}}) {
        const char* named = std::getenv(variable);
        locations.append(named != nullptr ? named : fallback).append("\n");
    }
    return locations;
}

// The system's trusted certificates: see SystemTrustDirectory.
void TrustSystemStore(SSL_CTX* context, const std::string& directory) {
    if (directory.empty() || SSL_CTX_load_verify_dir(context, directory.c_str()) != 1) {
        ERR_clear_error();
        SSL_CTX_set_default_verify_paths(context);
    }
}

SSL_CTX* MakeContext(const CTLSChannel::SOptions& options, const std::string& trustDirectory,
                     std::string& error) {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) {
        error = "cannot set up TLS: " + QueuedError();
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE);
    SSL_CTX_set_session_cache_mode(context,
                                   SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(context, KeepSession);
    if (!options.verify) {
        SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
        return context;
    }
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    TrustSystemStore(context, trustDirectory);
    if (!options.caFile.empty() &&
        SSL_CTX_load_verify_locations(context, options.caFile.c_str(), nullptr) != 1) {
        error = "cannot read the CA file " + options.caFile + ": " + QueuedError();
        SSL_CTX_free(context);
        return nullptr;
    }
    return context;
}

// The context for `options`; `key` receives its key in the cache.
SSL_CTX* ContextFor(const CTLSChannel::SOptions& options, std::string& key, std::string& error) {
    key = options.verify ? "verify\n" : "none\n";
    const std::string trustDirectory =
        options.verify ? CTLSChannel::SystemTrustDirectory() : std::string();
    key += trustDirectory + "\n";
    if (options.verify && trustDirectory.empty())
        key += DefaultTrustLocations() + "\n";
    if (options.verify && !options.caFile.empty()) {
        std::ifstream file(options.caFile, std::ios::binary);
        if (!file) {
            error = "cannot read the CA file " + options.caFile;
            return nullptr;
        }
        key += options.caFile + "\n";
        key.append(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    SContextCache& cache = Cache();
    CLock guard(&cache.lock);
    auto found = cache.contexts.find(key);
    if (found != cache.contexts.end())
        return found->second;
    SSL_CTX* context = MakeContext(options, trustDirectory, error);
    if (context != nullptr)
        cache.contexts.emplace(key, context);
    return context;
}

// A name to check against the certificate: an address literal is matched against its
// IP entries, anything else as a DNS name (RFC 6125), and only a name is sent as the
// server name indication (RFC 6066 forbids literals there).
bool SetPeerName(SSL* ssl, const std::string& host) {
    X509_VERIFY_PARAM* parameters = SSL_get0_param(ssl);
    X509_VERIFY_PARAM_set_hostflags(parameters, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (X509_VERIFY_PARAM_set1_ip_asc(parameters, host.c_str()) == 1)
        return true;
    ERR_clear_error();
    return SSL_set1_host(ssl, host.c_str()) == 1 &&
           SSL_set_tlsext_host_name(ssl, host.c_str()) == 1;
}

}  // namespace

// A directory of certificates named by subject hash (as update-ca-certificates keeps
// /etc/ssl/certs) is searched only for the issuers a chain names, so a new context costs
// nothing; OpenSSL's defaults would first parse the whole bundle file, some 140
// certificates, tens of milliseconds before the first handshake of every run.
std::string CTLSChannel::SystemTrustDirectory() {
    if (std::getenv(X509_get_default_cert_file_env()) != nullptr)
        return std::string();
    const char* named = std::getenv(X509_get_default_cert_dir_env());
    const std::string directory = named != nullptr ? named : X509_get_default_cert_dir();
    std::error_code error;
    for (std::filesystem::directory_iterator entry(directory, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (name.size() >= 10 && name[8] == '.' &&
            name.find_first_not_of("0123456789abcdef") == 8 &&
            name.find_first_not_of("0123456789", 9) == std::string::npos)
            return directory;
    }
    return std::string();
}

bool CTLSChannel::Prepare(const SOptions& options, std::string& error) {
    std::string key;
    return ContextFor(options, key, error) != nullptr;
}

struct CTLSChannel::SState {
    SSL* ssl = nullptr;
    BIO* in = nullptr;       // the peer's ciphertext, to be decoded (owned by ssl)
    BIO* out = nullptr;      // ciphertext for the peer (owned by ssl)
    std::string sessionKey;  // the context's key and the server name, for its sessions
    ~SState() {
        if (ssl != nullptr)
            SSL_free(ssl);
    }
};

CTLSChannel::CTLSChannel() = default;

CTLSChannel::~CTLSChannel() = default;

bool CTLSChannel::Start(const SOptions& options) {
    m_state.reset();
    m_out.clear();
    m_outStart = 0;
    m_established = m_closed = m_moreToRead = false;
    m_error.clear();
    std::string contextKey;
    SSL_CTX* context = ContextFor(options, contextKey, m_error);
    if (context == nullptr)
        return false;
    auto state = std::make_unique<SState>();
    state->sessionKey = contextKey + "\n" + options.hostName;
    state->ssl = SSL_new(context);
    if (state->ssl != nullptr) {
        state->in = BIO_new(BIO_s_mem());
        state->out = BIO_new(BIO_s_mem());
    }
    if (state->in == nullptr || state->out == nullptr) {
        BIO_free(state->in);
        BIO_free(state->out);
        m_error = "cannot set up TLS: " + QueuedError();
        return false;
    }
    SSL_set_bio(state->ssl, state->in, state->out);
    if (options.verify && !SetPeerName(state->ssl, options.hostName)) {
        m_error = "cannot check the server's name " + options.hostName + ": " + QueuedError();
        return false;
    }
    SSL_set_app_data(state->ssl, &state->sessionKey);
    ResumeSession(state->ssl, state->sessionKey);
    SSL_set_connect_state(state->ssl);
    m_state = std::move(state);
    return Handshake() != EResult::kFailed;
}

void CTLSChannel::TakeOutput() {
    char* data = nullptr;
    const long size = BIO_get_mem_data(m_state->out, &data);
    if (size <= 0)
        return;
    if (m_outStart > 0 && m_outStart == m_out.size()) {
        m_out.clear();
        m_outStart = 0;
    }
    m_out.append(data, static_cast<size_t>(size));
    (void)BIO_reset(m_state->out);
}

void CTLSChannel::Fail(int sslError, const char* during) {
    const long verified = SSL_get_verify_result(m_state->ssl);
    if (!m_established && verified != X509_V_OK) {
        m_error =
            std::string("certificate not accepted: ") + X509_verify_cert_error_string(verified);
        ERR_clear_error();
        return;
    }
    if (sslError == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) {
        m_error = std::string("connection ended during the ") + during;
        return;
    }
    m_error = std::string("TLS ") + during + " failed: " + QueuedError();
}

CTLSChannel::EResult CTLSChannel::Handshake() {
    if (m_state == nullptr)
        return EResult::kFailed;
    if (m_established)
        return EResult::kDone;
    ERR_clear_error();
    const int result = SSL_do_handshake(m_state->ssl);
    TakeOutput();
    if (result == 1) {
        m_established = true;
        // Application data may have come with the handshake's last flight.
        m_moreToRead = true;
        return EResult::kDone;
    }
    const int error = SSL_get_error(m_state->ssl, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
        return EResult::kWant;
    Fail(error, "handshake");
    return EResult::kFailed;
}

void CTLSChannel::Feed(const char* data, size_t size) {
    if (m_state != nullptr && size > 0)
        BIO_write(m_state->in, data, static_cast<int>(size));
}

const char* CTLSChannel::Output(size_t& size) const {
    size = m_out.size() - m_outStart;
    return m_out.data() + m_outStart;
}

void CTLSChannel::Consume(size_t size) {
    m_outStart += size;
    if (m_outStart >= m_out.size()) {
        m_out.clear();
        m_outStart = 0;
    }
}

int CTLSChannel::Read(char* data, int size) {
    if (m_state == nullptr || !m_established || m_closed)
        return -1;
    ERR_clear_error();
    const int got = SSL_read(m_state->ssl, data, size);
    // A key update or a session ticket may want an answer.
    TakeOutput();
    // Until a read finds nothing, more may be decoded without new input.
    m_moreToRead = got > 0;
    if (got > 0)
        return got;
    const int error = SSL_get_error(m_state->ssl, got);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
        return 0;
    if (error == SSL_ERROR_ZERO_RETURN) {
        m_closed = true;
        return -1;
    }
    Fail(error, "read");
    return -1;
}

int CTLSChannel::Write(const char* data, int size) {
    if (m_state == nullptr || !m_established || m_closed)
        return -1;
    ERR_clear_error();
    int done = 0;
    while (done < size) {
        const int wrote = SSL_write(m_state->ssl, data + done, size - done);
        if (wrote <= 0) {
            Fail(SSL_get_error(m_state->ssl, wrote), "write");
            TakeOutput();
            return -1;
        }
        done += wrote;
    }
    TakeOutput();
    return done;
}

void CTLSChannel::Shutdown() {
    if (m_state == nullptr || !m_established)
        return;
    ERR_clear_error();
    SSL_shutdown(m_state->ssl);
    ERR_clear_error();
    TakeOutput();
}

bool CTLSChannel::HasBufferedInput() const {
    if (m_state == nullptr || !m_established || m_closed)
        return false;
    return m_moreToRead || SSL_pending(m_state->ssl) > 0;
}

std::string CTLSChannel::Description() const {
    if (m_state == nullptr || !m_established)
        return std::string();
    return std::string(SSL_get_version(m_state->ssl)) + " " +
           SSL_CIPHER_get_name(SSL_get_current_cipher(m_state->ssl)) +
           (SSL_session_reused(m_state->ssl) ? ", session resumed" : "");
}
