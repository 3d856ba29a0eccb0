#pragma once
// Why a TLS connect to the broker failed, in words an installer can act on:
// the MQTT library reports a broker that is down, a certificate for another
// host and one from an unknown CA all as the same connect failure.

#include <string>

namespace Cloud {

// Connects to the broker of `serverUri` ("ssl://host:port") the way the cloud
// client does (TLS 1.2 or later, `caFile` as the only trust, the host checked
// against the certificate) and tells why that fails: "host name mismatch ...",
// "unknown CA ...", "certificate expired ...", another verification or
// handshake failure, or "broker not reachable ...". Empty when it succeeds or
// the address is no TLS address. Each network step waits at most `timeoutMs`.
std::string DiagnoseTlsConnect(const std::string& serverUri, const std::string& caFile, int timeoutMs);

}  // namespace Cloud
