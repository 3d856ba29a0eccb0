#pragma once
// Collects the bytes of one remote-control frame as they arrive: skips
// everything before the start token "HXPSTART", then keeps bytes up to and
// including the end token "HXPEND". A frame (both tokens included) is at most
// MaxFrameLength bytes; the buffer behind it stays zero, so a complete frame
// is also a NUL-terminated string.

#include <cstddef>

class HXPFrameReader {
public:
    static constexpr int BufferSize = 1024;
    static constexpr int MaxFrameLength = 1019;

    enum class Result { NeedMore, Frame, Overflow };

    HXPFrameReader() { Reset(); }

    // Clears the buffer and starts looking for the next start token.
    void Reset();
    Result Feed(char byte);

    // True once the start token was seen (the body is being read).
    bool InBody() const { return m_InBody; }
    char* Data() { return m_Buffer; }
    int Length() const { return m_Length; }

private:
    char m_Buffer[BufferSize];
    int m_Length = 0;
    bool m_InBody = false;
};
