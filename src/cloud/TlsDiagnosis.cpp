#include "cloud/TlsDiagnosis.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>

namespace Cloud {

namespace {

struct Address {
    std::string host;
    std::string port = "8883";
};

bool ParseUri(const std::string& uri, Address& address) {
    static const char* const schemes[] = {"ssl://", "mqtts://"};
    std::string rest;
    for (const char* scheme : schemes) {
        const std::size_t length = std::strlen(scheme);
        if (uri.compare(0, length, scheme) == 0) rest = uri.substr(length);
    }
    if (rest.empty()) return false;
    rest = rest.substr(0, rest.find('/'));
    if (!rest.empty() && rest.front() == '[') {  // [v6 address]:port
        const std::size_t close = rest.find(']');
        if (close == std::string::npos) return false;
        address.host = rest.substr(1, close - 1);
        if (close + 1 < rest.size() && rest[close + 1] == ':') address.port = rest.substr(close + 2);
    } else {
        const std::size_t colon = rest.rfind(':');
        address.host = rest.substr(0, colon);
        if (colon != std::string::npos) address.port = rest.substr(colon + 1);
    }
    return !address.host.empty() && !address.port.empty();
}

bool IsAddressLiteral(const std::string& host) {
    unsigned char buffer[sizeof(struct in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buffer) == 1 || inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

// A connected TCP socket, or -1 with `error` saying why not.
int ConnectTcp(const Address& address, int timeoutMs, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int resolved = getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found);
    if (resolved != 0) {
        error = "broker not reachable: host '" + address.host + "' not found (" + gai_strerror(resolved) + ")";
        return -1;
    }
    int lastError = ETIMEDOUT;
    int fd = -1;
    for (const addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        int result = connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
        if (result == EINPROGRESS) {
            pollfd wait{fd, POLLOUT, 0};
            result = ETIMEDOUT;
            if (poll(&wait, 1, timeoutMs) == 1) {
                socklen_t length = sizeof(result);
                if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &length) != 0) result = errno;
            }
        }
        if (result != 0) {
            lastError = result;
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd < 0) {
        error = "broker not reachable: " + address.host + ":" + address.port + " (" + std::strerror(lastError) + ")";
        return -1;
    }
    // The handshake below runs blocking, bounded by these time-outs.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
    return fd;
}

std::string FileName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string VerifyFailure(long result, const std::string& caFile) {
    const std::string text = X509_verify_cert_error_string(result);
    switch (result) {
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_CERT_SIGNATURE_FAILURE:
            return "unknown CA: the broker's certificate is not signed by the CA of '" + FileName(caFile) + "' (" +
                   text + ")";
        case X509_V_ERR_CERT_HAS_EXPIRED:
            return "certificate expired: the broker's certificate is no longer valid (" + text + ")";
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return "certificate not yet valid: check the controller's clock (" + text + ")";
        default:
            return "certificate refused (" + text + ")";
    }
}

// Blocks SIGPIPE on this thread while it lives: the handshake writes to a
// socket the broker may already have closed. A SIGPIPE raised meanwhile is
// taken before the old mask comes back.
class NoSigPipe {
public:
    NoSigPipe() {
        sigemptyset(&m_Pipe);
        sigaddset(&m_Pipe, SIGPIPE);
        sigset_t pending;
        m_WasPending = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &m_Pipe, &m_Old);
    }
    ~NoSigPipe() {
        sigset_t pending;
        if (!m_WasPending && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
            const timespec none{0, 0};
            sigtimedwait(&m_Pipe, nullptr, &none);
        }
        pthread_sigmask(SIG_SETMASK, &m_Old, nullptr);
    }
    NoSigPipe(const NoSigPipe&) = delete;
    NoSigPipe& operator=(const NoSigPipe&) = delete;

private:
    sigset_t m_Pipe;
    sigset_t m_Old;
    bool m_WasPending = false;
};

}  // namespace

std::string DiagnoseTlsConnect(const std::string& serverUri, const std::string& caFile, int timeoutMs) {
    Address address;
    if (!ParseUri(serverUri, address)) return "";
    const NoSigPipe quiet;
    std::string error;
    const int fd = ConnectTcp(address, timeoutMs, error);
    if (fd < 0) return error;

    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    if (!context) {
        close(fd);
        return "";
    }
    SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
    if (SSL_CTX_load_verify_locations(context.get(), caFile.c_str(), nullptr) != 1) {
        ERR_clear_error();
        close(fd);
        return "CA file '" + FileName(caFile) + "' holds no readable certificate";
    }
    std::unique_ptr<SSL, decltype(&SSL_free)> tls(SSL_new(context.get()), SSL_free);
    if (!tls || SSL_set_fd(tls.get(), fd) != 1) {
        close(fd);
        return "";
    }
    if (!IsAddressLiteral(address.host)) SSL_set_tlsext_host_name(tls.get(), address.host.c_str());

    std::string reason;
    if (SSL_connect(tls.get()) != 1) {
        const long verified = SSL_get_verify_result(tls.get());
        const unsigned long queued = ERR_peek_last_error();
        if (verified != X509_V_OK) {
            reason = VerifyFailure(verified, caFile);
        } else if (queued != 0) {
            char text[256];
            ERR_error_string_n(queued, text, sizeof(text));
            reason = std::string("TLS handshake failed (") + text + ")";
        } else {
            reason = "TLS handshake failed (the broker closed the connection)";
        }
    } else {
        X509* certificate = SSL_get1_peer_certificate(tls.get());
        const bool named = certificate != nullptr &&
                           (X509_check_host(certificate, address.host.c_str(), address.host.size(), 0, nullptr) == 1 ||
                            X509_check_ip_asc(certificate, address.host.c_str(), 0) == 1);
        X509_free(certificate);
        if (!named) reason = "host name mismatch: the broker's certificate does not name '" + address.host + "'";
    }
    ERR_clear_error();
    tls.reset();
    close(fd);
    return reason;
}

}  // namespace Cloud
