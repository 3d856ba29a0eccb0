#pragma once
// Why a TLS connect to the broker failed, in words an installer can act on:
// the MQTT library reports a broker that is down, a certificate for another
// host and one from an unknown CA all as the same connect failure.

#include <atomic>
#include <string>

namespace Cloud {

// Ends a diagnosis early from another thread (the link switched off, the
// process ending): the diagnosis then returns at once with an empty reason.
class DiagnosisCancel {
public:
    DiagnosisCancel();
    ~DiagnosisCancel();
    DiagnosisCancel(const DiagnosisCancel&) = delete;
    DiagnosisCancel& operator=(const DiagnosisCancel&) = delete;

    void Cancel();
    bool Cancelled() const { return m_Cancelled.load(); }
    // Readable once cancelled, so a wait on the network wakes at once; -1 when
    // none could be made (the wait then ends at the deadline).
    int WakeFd() const { return m_WakeFd; }

private:
    std::atomic<bool> m_Cancelled{false};
    int m_WakeFd = -1;
};

// Connects to the broker of `serverUri` ("ssl://host:port") the way the cloud
// client does (TLS 1.2 or later, `caFile` as the only trust, the host checked
// against the certificate) and tells why that fails: "host name mismatch ...",
// "unknown CA ...", "certificate expired ...", another verification or
// handshake failure, "TLS handshake timed out ..." or "broker not reachable
// ...". Empty when it succeeds, the address is no TLS address, or `cancel`
// (optional) was cancelled. The whole diagnosis, name lookup included, ends
// within `deadlineMs`; no login is ever sent.
std::string DiagnoseTlsConnect(const std::string& serverUri, const std::string& caFile, int deadlineMs,
                               const DiagnosisCancel* cancel = nullptr);

}  // namespace Cloud
