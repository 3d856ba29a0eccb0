#pragma once
// Cuts a client's byte stream into Modbus TCP requests by the MBAP header's
// length field, so the listener reads sockets itself and never blocks on one
// client. A header with a protocol id other than 0 or a length the protocol
// does not allow makes the stream invalid: the client is to be dropped.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Modbus {

class RequestReader {
public:
    enum class Status { Incomplete, Complete, Invalid };

    // MBAP header: transaction id, protocol id, length of what follows.
    static constexpr std::size_t HeaderLength = 6;
    // Unit id and function code at the least; unit id and the longest PDU at the most.
    static constexpr int MinFollowing = 2;
    static constexpr int MaxFollowing = 254;

    void Append(const uint8_t* data, std::size_t length);
    // The next complete request into `request` (header included).
    Status Next(std::vector<uint8_t>& request);
    bool HasPending() const { return !m_Buffer.empty(); }
    std::size_t Pending() const { return m_Buffer.size(); }

private:
    std::vector<uint8_t> m_Buffer;
};

}  // namespace Modbus
