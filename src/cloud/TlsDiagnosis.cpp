#include "cloud/TlsDiagnosis.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

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

using Clock = std::chrono::steady_clock;

enum class Waited { Ready, TimedOut, Cancelled };

int RemainingMs(Clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    // Rounded up, so a wait never ends just before the deadline and spins.
    return left <= 0 ? 0 : static_cast<int>(left) + 1;
}

// Waits until the socket is ready for `events`, the deadline passed or the
// diagnosis was cancelled.
Waited WaitFor(int fd, short events, Clock::time_point end, const DiagnosisCancel* cancel) {
    while (true) {
        if (cancel != nullptr && cancel->Cancelled()) return Waited::Cancelled;
        const int left = RemainingMs(end);
        if (left == 0) return Waited::TimedOut;
        pollfd fds[2] = {{fd, events, 0}, {cancel != nullptr ? cancel->WakeFd() : -1, POLLIN, 0}};
        const int ready = poll(fds, 2, left);
        if (ready < 0 && errno != EINTR) return Waited::Ready;  // the socket call that follows fails and says why
        if (ready > 0 && fds[0].revents != 0 && (cancel == nullptr || !cancel->Cancelled())) return Waited::Ready;
    }
}

std::string Seconds(int ms) {
    char text[32];
    std::snprintf(text, sizeof(text), "%g s", ms / 1000.0);
    return text;
}

struct AddressList {
    addrinfo* first = nullptr;
    ~AddressList() {
        if (first != nullptr) freeaddrinfo(first);
    }
};

// A name lookup on a thread of its own, which the diagnosis leaves behind at
// its deadline: the resolver has no time-out a caller can set.
struct Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int result = EAI_FAIL;
    AddressList found;
};

// Resolves the address within the deadline; false with `error` (empty when cancelled).
bool Resolve(const Address& address, Clock::time_point end, int deadlineMs, const DiagnosisCancel* cancel,
             AddressList& list, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo numericHints = hints;
    numericHints.ai_flags = AI_NUMERICHOST;
    // An address literal needs no resolver.
    int resolved = getaddrinfo(address.host.c_str(), address.port.c_str(), &numericHints, &list.first);
    if (resolved == EAI_NONAME) {
        list.first = nullptr;
        auto lookup = std::make_shared<Lookup>();
        try {
            std::thread([lookup, address, hints]() {
                addrinfo* found = nullptr;
                const int result = getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found);
                std::lock_guard<std::mutex> lock(lookup->mutex);
                lookup->result = result;
                lookup->found.first = found;
                lookup->finished = true;
                lookup->done.notify_all();
            }).detach();
        } catch (const std::system_error&) {
            // No thread to spare: look it up here.
            lookup->result = getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &lookup->found.first);
            lookup->finished = true;
        }
        std::unique_lock<std::mutex> lock(lookup->mutex);
        while (!lookup->finished) {
            if (cancel != nullptr && cancel->Cancelled()) return false;
            if (Clock::now() >= end) {
                error = "broker not reachable: host '" + address.host +
                        "' not found (the name lookup timed out after " + Seconds(deadlineMs) + ")";
                return false;
            }
            lookup->done.wait_for(lock, std::chrono::milliseconds(20));
        }
        resolved = lookup->result;
        std::swap(list.first, lookup->found.first);
    }
    if (resolved != 0) {
        error = "broker not reachable: host '" + address.host + "' not found (" + gai_strerror(resolved) + ")";
        return false;
    }
    return true;
}

struct Socket {
    int fd;
    ~Socket() {
        if (fd >= 0) close(fd);
    }
};

// A connected non-blocking TCP socket, or -1 with `error` saying why not
// (empty when cancelled).
int ConnectTcp(const Address& address, Clock::time_point end, int deadlineMs, const DiagnosisCancel* cancel,
               std::string& error) {
    AddressList found;
    if (!Resolve(address, end, deadlineMs, cancel, found, error)) return -1;
    int lastError = ETIMEDOUT;
    int fd = -1;
    for (const addrinfo* a = found.first; a != nullptr && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        int result = connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
        if (result == EINPROGRESS) {
            const Waited waited = WaitFor(fd, POLLOUT, end, cancel);
            if (waited == Waited::Cancelled) {
                close(fd);
                return -1;
            }
            result = ETIMEDOUT;
            if (waited == Waited::Ready) {
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
    if (fd < 0)
        error = "broker not reachable: " + address.host + ":" + address.port + " (" + std::strerror(lastError) + ")";
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

DiagnosisCancel::DiagnosisCancel() : m_WakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

DiagnosisCancel::~DiagnosisCancel() {
    if (m_WakeFd >= 0) close(m_WakeFd);
}

void DiagnosisCancel::Cancel() {
    m_Cancelled = true;
    if (m_WakeFd >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(m_WakeFd, &one, sizeof(one));
    }
}

std::string DiagnoseTlsConnect(const std::string& serverUri, const std::string& caFile, int deadlineMs,
                               const DiagnosisCancel* cancel) {
    // One deadline for the whole diagnosis: a broker that trickles its bytes
    // must not keep it going step after step.
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(deadlineMs);
    Address address;
    if (!ParseUri(serverUri, address)) return "";
    const NoSigPipe quiet;
    // The error queue is per thread; nothing left on it may pass as this handshake's.
    ERR_clear_error();
    std::string error;
    const Socket socket{ConnectTcp(address, end, deadlineMs, cancel, error)};
    if (socket.fd < 0) return cancel != nullptr && cancel->Cancelled() ? "" : error;

    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    if (!context) return "";
    SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
    if (SSL_CTX_load_verify_locations(context.get(), caFile.c_str(), nullptr) != 1) {
        ERR_clear_error();
        return "CA file '" + FileName(caFile) + "' holds no readable certificate";
    }
    std::unique_ptr<SSL, decltype(&SSL_free)> tls(SSL_new(context.get()), SSL_free);
    if (!tls || SSL_set_fd(tls.get(), socket.fd) != 1) return "";
    if (!IsAddressLiteral(address.host)) SSL_set_tlsext_host_name(tls.get(), address.host.c_str());

    int result = 0;
    while ((result = SSL_connect(tls.get())) != 1) {
        const int wanted = SSL_get_error(tls.get(), result);
        if (wanted != SSL_ERROR_WANT_READ && wanted != SSL_ERROR_WANT_WRITE) break;
        const Waited waited = WaitFor(socket.fd, wanted == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, end, cancel);
        if (waited == Waited::Ready) continue;
        ERR_clear_error();
        if (waited == Waited::Cancelled) return "";
        return BIO_number_read(SSL_get_rbio(tls.get())) == 0
                   ? "TLS handshake timed out (the broker sent nothing within " + Seconds(deadlineMs) + ")"
                   : "TLS handshake timed out (the broker's answer was still incomplete after " + Seconds(deadlineMs) +
                         ")";
    }
    std::string reason;
    if (result != 1) {
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
    return reason;
}

}  // namespace Cloud
