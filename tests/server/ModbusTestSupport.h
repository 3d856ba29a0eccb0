#pragma once
// Modbus clients for the tests: libmodbus as a real client on loopback, and
// raw request frames for what libmodbus would never send.

#include <gtest/gtest.h>
#include <modbus/modbus.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "server/ModbusServer.h"
#include "server/ServerTestSupport.h"

namespace ModbusTest {

class Client {
public:
    Client() = default;
    ~Client() { Close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool Connect(int port) {
        Close();
        m_Context = modbus_new_tcp("127.0.0.1", port);
        if (m_Context == nullptr) return false;
        modbus_set_response_timeout(m_Context, 5, 0);
        if (modbus_connect(m_Context) != 0) {
            Close();
            return false;
        }
        return true;
    }
    void Close() {
        if (m_Context == nullptr) return;
        modbus_close(m_Context);
        modbus_free(m_Context);
        m_Context = nullptr;
    }
    modbus_t* Context() { return m_Context; }
    int Fd() const { return m_Context == nullptr ? -1 : modbus_get_socket(m_Context); }

    // Empty when the request failed; `error` then holds errno.
    std::vector<uint16_t> Holding(int address, int count) { return Registers(address, count, false); }
    std::vector<uint16_t> Input(int address, int count) { return Registers(address, count, true); }
    std::vector<uint8_t> Coils(int address, int count) { return Bits(address, count, false); }
    std::vector<uint8_t> Discrete(int address, int count) { return Bits(address, count, true); }
    uint16_t Holding1(int address) {
        const std::vector<uint16_t> v = Holding(address, 1);
        return v.empty() ? 0xDEAD : v[0];
    }
    uint16_t Input1(int address) {
        const std::vector<uint16_t> v = Input(address, 1);
        return v.empty() ? 0xDEAD : v[0];
    }
    bool WriteHolding(int address, const std::vector<uint16_t>& values) {
        const int n = values.size() == 1
                          ? modbus_write_register(m_Context, address, values[0])
                          : modbus_write_registers(m_Context, address, static_cast<int>(values.size()), values.data());
        error = errno;
        return n == static_cast<int>(values.size()) && Sync();
    }
    bool WriteCoils(int address, const std::vector<uint8_t>& values) {
        const int n = values.size() == 1 ? modbus_write_bit(m_Context, address, values[0])
                                         : modbus_write_bits(m_Context, address, static_cast<int>(values.size()),
                                                             values.data());
        error = errno;
        return n == static_cast<int>(values.size()) && Sync();
    }
    // The server acts on a write after its answer; the answer to the next
    // request comes only once that is done.
    bool Sync() {
        uint16_t value = 0;
        return modbus_read_input_registers(m_Context, 3, 1, &value) == 1;
    }

    int error = 0;

private:
    std::vector<uint16_t> Registers(int address, int count, bool input) {
        std::vector<uint16_t> values(static_cast<std::size_t>(count > 0 ? count : 1));
        const int n = input ? modbus_read_input_registers(m_Context, address, count, values.data())
                            : modbus_read_registers(m_Context, address, count, values.data());
        error = errno;
        if (n != count) return {};
        return values;
    }
    std::vector<uint8_t> Bits(int address, int count, bool discrete) {
        std::vector<uint8_t> values(static_cast<std::size_t>(count > 0 ? count : 1));
        const int n = discrete ? modbus_read_input_bits(m_Context, address, count, values.data())
                               : modbus_read_bits(m_Context, address, count, values.data());
        error = errno;
        if (n != count) return {};
        return values;
    }

    modbus_t* m_Context = nullptr;
};

// The server on a free port for the robot master, the client connected to it.
inline void StartServer(Modbus::ModbusServer* server, RobotMaster* robotMaster, Client& client) {
    server->Init(robotMaster, nullptr);
    server->SetSoftwareInfo(980, 13, 39);
    server->SetPort(0);
    server->SetMaxConnections(5);
    server->Start();
    ASSERT_TRUE(ServerTest::WaitFor([&]() { return server->IsListening(); })) << "listener did not start";
    ASSERT_TRUE(client.Connect(server->GetBoundPort()));
}

inline void StopServer(Modbus::ModbusServer* server, Client& client) {
    client.Close();
    server->Stop();
    server->Init(nullptr, nullptr);
}

// The signed 32-bit value of registers i (bits 0..15) and i + 1.
inline int32_t Int32(const std::vector<uint16_t>& regs, std::size_t i) {
    return static_cast<int32_t>(static_cast<uint32_t>(regs[i + 1]) << 16 | regs[i]);
}

// One request frame: MBAP header with unit 1, then the PDU.
inline std::string Frame(uint16_t transaction, const std::vector<uint8_t>& pdu) {
    const std::size_t following = pdu.size() + 1;
    std::string frame = {static_cast<char>(transaction >> 8), static_cast<char>(transaction & 0xFF), 0, 0,
                         static_cast<char>(following >> 8), static_cast<char>(following & 0xFF), 1};
    for (uint8_t byte : pdu) frame.push_back(static_cast<char>(byte));
    return frame;
}

// Reads one answer frame from a raw socket; empty when none came.
inline std::string Answer(int fd, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::string data;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (data.size() >= 6) {
            const std::size_t total = 6 + ((static_cast<uint8_t>(data[4]) << 8) | static_cast<uint8_t>(data[5]));
            if (data.size() >= total) return data.substr(0, total);
        }
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, 50) <= 0) continue;
        char buffer[512];
        const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0) return std::string();
        data.append(buffer, static_cast<std::size_t>(n));
    }
    return std::string();
}

}  // namespace ModbusTest
