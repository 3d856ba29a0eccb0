#include "server/HXPFrameReader.h"

#include <cstring>

namespace {

const char StartToken[] = "HXPSTART";
const char EndToken[] = "HXPEND";
constexpr int StartLength = 8;
constexpr int EndLength = 6;

}  // namespace

void HXPFrameReader::Reset() {
    std::memset(m_Buffer, 0, sizeof(m_Buffer));
    m_Length = 0;
    m_InBody = false;
}

HXPFrameReader::Result HXPFrameReader::Feed(char byte) {
    if (!m_InBody) {
        // The first eight places hold the last eight bytes read.
        std::memmove(m_Buffer, m_Buffer + 1, StartLength - 1);
        m_Buffer[StartLength - 1] = byte;
        if (std::memcmp(m_Buffer, StartToken, StartLength) == 0) {
            m_InBody = true;
            m_Length = StartLength;
        }
        return Result::NeedMore;
    }
    m_Buffer[m_Length++] = byte;
    if (m_Length >= StartLength + EndLength &&
        std::memcmp(m_Buffer + m_Length - EndLength, EndToken, EndLength) == 0)
        return Result::Frame;
    if (m_Length >= MaxFrameLength) return Result::Overflow;
    return Result::NeedMore;
}
