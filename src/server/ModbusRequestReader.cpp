#include "server/ModbusRequestReader.h"

namespace Modbus {

void RequestReader::Append(const uint8_t* data, std::size_t length) {
    m_Buffer.insert(m_Buffer.end(), data, data + length);
}

RequestReader::Status RequestReader::Next(std::vector<uint8_t>& request) {
    if (m_Buffer.size() < HeaderLength) return Status::Incomplete;
    const int protocol = (m_Buffer[2] << 8) | m_Buffer[3];
    const int following = (m_Buffer[4] << 8) | m_Buffer[5];
    if (protocol != 0 || following < MinFollowing || following > MaxFollowing) return Status::Invalid;
    const std::size_t total = HeaderLength + static_cast<std::size_t>(following);
    if (m_Buffer.size() < total) return Status::Incomplete;
    request.assign(m_Buffer.begin(), m_Buffer.begin() + static_cast<std::ptrdiff_t>(total));
    m_Buffer.erase(m_Buffer.begin(), m_Buffer.begin() + static_cast<std::ptrdiff_t>(total));
    return Status::Complete;
}

}  // namespace Modbus
