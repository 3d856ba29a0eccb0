#pragma once
// The blocking IPv4 TCP client through which the smart cameras, the
// bin-picking computer and the camera plug-in talk to their devices. It has
// no thread of its own: one owner thread connects, waits, reads and sends.
// Failures are logged and reported by the result; nothing is thrown.

#include <sys/time.h>

#include <string>

class TCPClient {
public:
    TCPClient();
    // Closes the socket.
    ~TCPClient();
    // One socket has one owner: copies would close it under each other.
    TCPClient(const TCPClient&) = delete;
    TCPClient& operator=(const TCPClient&) = delete;
    TCPClient(TCPClient&& other) noexcept;
    TCPClient& operator=(TCPClient&& other) noexcept;

    // Creates the socket unless one exists, resolves the host (dotted address
    // or name) and connects; true when connected.
    bool Setup(const std::string& host, int port);
    // Sends the whole text; false (and a log line) when the connection failed.
    bool Send(const std::string& text);
    // One read of at most size bytes, up to the first zero byte among them.
    std::string Receive(int size);
    // Reads up to and including a line feed, or up to the end of the stream.
    std::string ReadLine();
    // One read into the buffer: the bytes read, 0 once the peer has closed,
    // negative on error.
    int ReadBytes(char* buffer, int length);
    // True when a read would not block (data, end of stream or error); null waits without limit.
    bool DataAvailable(const timeval* timeout);
    void Close();

    bool IsOpen() const { return descriptor >= 0; }

private:
    int descriptor = -1;
};
