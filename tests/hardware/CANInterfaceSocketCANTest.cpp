#include "hardware/CANInterfaceSocketCAN.h"
#include "hardware/HardwareTestSupport.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <stdexcept>
#include <thread>

namespace HardwareTest {
namespace {

using CanSim::Peer;

// A monotonic clock the test moves by hand.
std::atomic<int64_t> g_FakeNanoseconds{0};

timespec FakeClock() {
    const int64_t ns = g_FakeNanoseconds.load();
    return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

void SetFakeTime(int64_t seconds, long nanoseconds) { g_FakeNanoseconds = seconds * 1000000000 + nanoseconds; }

int CountEntries(const char* dir) {
    int count = 0;
    DIR* d = opendir(dir);
    if (d == nullptr) return -1;
    while (readdir(d) != nullptr) ++count;
    closedir(d);
    return count;
}

class CANInterfaceTest : public SimBusTest {
protected:
    void SetUp() override {
        SimBusTest::SetUp();
        unsetenv(CANInterfaceSocketCAN::SimulatedBusVariable);
    }

    // Connects can to the bus with the recorder's callbacks; listener (when
    // given) is connected first and takes the connect test frame.
    void ConnectToBus(CANInterfaceSocketCAN& can, Peer* listener = nullptr) {
        can.receiveCallback = &CallbackRecorder::OnReceive;
        can.monitorCallback = &CallbackRecorder::OnMonitor;
        can.SetSimulatedBus(SocketPath());
        // The hub takes on waiting connections before it reads any frame, so
        // what a peer sends from now on reaches can.
        ASSERT_TRUE(can.Connect());
        if (listener != nullptr) {
            can_frame test;
            ASSERT_TRUE(listener->Receive(test, kWaitMs));
            ASSERT_EQ(test.can_id, 0x10u);
        }
    }
};

TEST(CANInterfaceSocketCAN, WithoutSocketCANConnectFailsAndSaysWhy) {
    unsetenv(CANInterfaceSocketCAN::SimulatedBusVariable);
    LogCapture log;
    CANInterfaceSocketCAN can;
    ASSERT_TRUE(can.GetSimulatedBus().empty());

    // What this machine's kernel says to a CAN socket.
    std::string expected;
    const int probe = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (probe < 0) {
        expected = std::string("Could not create socket: ") + std::strerror(errno);
    } else {
        close(probe);
        expected = "Could not bind CAN socket: ";  // a kernel with CAN but no can0
    }

    EXPECT_FALSE(can.Connect());
    EXPECT_FALSE(can.IsConnected());
    EXPECT_TRUE(log.Has("....... SocketCAN connect ......"));
    const auto failures = log.StartingWith("Could not connect to CAN module via SocketCAN! (1): ");
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].rfind("Could not connect to CAN module via SocketCAN! (1): " + expected, 0), 0u)
        << failures[0];
    EXPECT_FALSE(log.Has("Connected to CAN module via SocketCAN..."));
}

TEST_F(CANInterfaceTest, SimulatedBusIsTakenFromTheEnvironment) {
    setenv(CANInterfaceSocketCAN::SimulatedBusVariable, SocketPath().c_str(), 1);
    CANInterfaceSocketCAN can;
    unsetenv(CANInterfaceSocketCAN::SimulatedBusVariable);
    EXPECT_EQ(can.GetSimulatedBus(), SocketPath());
    EXPECT_TRUE(can.Connect());
    can.Disconnect();
}

TEST_F(CANInterfaceTest, ConnectLogsAndSendsTheTestFrame) {
    auto listener = ConnectPeer();
    CANInterfaceSocketCAN can;
    can.SetSimulatedBus(SocketPath());
    ASSERT_TRUE(can.Connect());
    EXPECT_TRUE(can.IsConnected());

    can_frame test;
    ASSERT_TRUE(listener->Receive(test, kWaitMs));
    EXPECT_EQ(test.can_id, 0x10u);
    EXPECT_EQ(test.can_dlc, 8);
    const unsigned char bc[8] = {0x42, 0x43, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(test.data, bc, 8));

    EXPECT_FALSE(can.Disconnect());
    EXPECT_FALSE(can.IsConnected());
    const auto lines = log.Lines();
    const std::vector<std::string> expected = {
        "....... SocketCAN connect ......", "Connected to CAN module via SocketCAN...",
        "Starting SocketCAN ReadLoop..",    "SocketCAN ReadLoop has stopped...",
        "CAN interface SocketCAN disconnected.",
    };
    for (const std::string& line : expected) EXPECT_EQ(log.Count(line), 1) << line;
    EXPECT_LT(std::find(lines.begin(), lines.end(), expected[0]), std::find(lines.begin(), lines.end(), expected[1]));
    EXPECT_LT(std::find(lines.begin(), lines.end(), expected[3]), std::find(lines.begin(), lines.end(), expected[4]));
}

TEST_F(CANInterfaceTest, MissingBusFailsWithoutLeakingTheSocket) {
    CANInterfaceSocketCAN can;
    can.SetSimulatedBus(root->File("no-such.sock"));
    const int fds = CountEntries("/proc/self/fd");
    EXPECT_FALSE(can.Connect());
    EXPECT_EQ(log.StartingWith("Could not connect to CAN module via SocketCAN! (1): Could not bind CAN socket: ")
                  .size(),
              1u);
    EXPECT_FALSE(can.Connect());
    EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
}

TEST(CANInterfaceSocketCAN, LastFrameTableBeforeAnyFrame) {
    CANInterfaceSocketCAN can;
    int dlc = -5;
    unsigned char data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const unsigned char untouched[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    // Not connected: nothing copied.
    EXPECT_EQ(can.GetLastMessage(0x21, &dlc, data, nullptr), 0);
    EXPECT_EQ(dlc, -5);
    EXPECT_EQ(0, std::memcmp(data, untouched, 8));

    for (int id : {-1, 2048, 100000}) {
        try {
            can.GetLastMessage(id, &dlc, data, nullptr);
            ADD_FAILURE() << "no exception for id " << id;
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "invalid message id!");
        }
    }
}

TEST_F(CANInterfaceTest, UnusedRecordsLookOldAndHoldDefinedValues) {
    SetFakeTime(5000, 0);
    CANInterfaceSocketCAN can(FakeClock);
    ConnectToBus(can);
    const unsigned char filler[8] = {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};
    // Below 256 as before, and the records above too.
    for (int id : {0x21, 0xFF, 0x100, 0x581, 0x7FF}) {
        int dlc = -1;
        unsigned char data[8] = {};
        EXPECT_GE(can.GetLastMessage(id, &dlc, data, nullptr), 100000) << id;
        EXPECT_EQ(dlc, 0) << id;
        EXPECT_EQ(0, std::memcmp(data, filler, 8)) << id;
    }
    can.Disconnect();
}

TEST_F(CANInterfaceTest, FramesFillTheTableAndReachTheCallbacks) {
    SetFakeTime(1000, 900000000);
    CANInterfaceSocketCAN can(FakeClock);
    auto peer = ConnectPeer();
    ConnectToBus(can, peer.get());

    ASSERT_TRUE(peer->Send(MakeFrame(0x7FF, {0xA1, 0xA2})));
    ASSERT_TRUE(peer->Send(MakeFrame(0x800, {0xB1})));
    ASSERT_TRUE(peer->Send(MakeFrame(0x21, {0x05, 0x80, 0x01})));
    ASSERT_TRUE(CallbackRecorder::WaitForReceived(0x21));

    const auto received = CallbackRecorder::Received();
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[0].id, 0x7FF);
    EXPECT_EQ(received[1].id, 0x800);  // not stored, still passed on
    EXPECT_EQ(received[2].dlc, 3);
    EXPECT_EQ(received[2].time.tv_sec, 1000);
    EXPECT_TRUE(CallbackRecorder::Monitored().empty());  // operation mode 0

    int dlc = 0;
    unsigned char data[8] = {};
    EXPECT_EQ(can.GetLastMessage(0x7FF, &dlc, data, nullptr), 0);
    EXPECT_EQ(dlc, 2);
    EXPECT_EQ(data[0], 0xA1);
    EXPECT_EQ(data[1], 0xA2);
    EXPECT_EQ(data[2], 0x00);

    // Ages in 100 us units, borrowing a second from the nanoseconds.
    SetFakeTime(1002, 100000000);
    EXPECT_EQ(can.GetLastMessage(0x21, &dlc, data, nullptr), 12000);
    EXPECT_EQ(dlc, 3);
    EXPECT_EQ(data[0], 0x05);
    EXPECT_EQ(data[1], 0x80);
    can.Disconnect();
}

TEST_F(CANInterfaceTest, AgesBeyondSixtyHoursSaturateInsteadOfTurningFresh) {
    SetFakeTime(100, 0);
    CANInterfaceSocketCAN can(FakeClock);
    auto peer = ConnectPeer();
    ConnectToBus(can, peer.get());
    ASSERT_TRUE(peer->Send(MakeFrame(0x30, {1})));
    ASSERT_TRUE(CallbackRecorder::WaitForReceived(0x30));

    SetFakeTime(100 + 61 * 3600, 0);
    int dlc = 0;
    unsigned char data[8];
    EXPECT_EQ(can.GetLastMessage(0x30, &dlc, data, nullptr), INT_MAX);
    EXPECT_EQ(can.GetLastMessage(0xFF, &dlc, data, nullptr), INT_MAX);  // never received
    can.Disconnect();
}

TEST_F(CANInterfaceTest, FrameWithoutDataIsDropped) {
    CANInterfaceSocketCAN can;
    auto peer = ConnectPeer();
    ConnectToBus(can, peer.get());
    can.SetCanDumpSize(8);
    ASSERT_TRUE(peer->Send(MakeFrame(0x22, {})));
    ASSERT_TRUE(peer->Send(MakeFrame(0x23, {0x01})));  // marker: the empty frame was read before it
    ASSERT_TRUE(CallbackRecorder::WaitForReceived(0x23));

    const auto received = CallbackRecorder::Received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].id, 0x23);
    int dlc = -1;
    unsigned char data[8];
    can.GetLastMessage(0x22, &dlc, data, nullptr);
    EXPECT_EQ(dlc, 0);
    EXPECT_EQ(data[0], 0x80);

    log.Clear();
    can.WriteCanDump();
    const auto dump = log.StartingWith("I --> ");
    ASSERT_EQ(dump.size(), 1u);
    EXPECT_NE(dump[0].find("ID: 0x23"), std::string::npos);
    can.Disconnect();
}

TEST_F(CANInterfaceTest, MonitorCallbackOnlyInBridgeMode) {
    struct Case {
        operationMode mode;
        bool consumes;
        bool monitored;
        bool received;
    };
    const Case cases[] = {
        {opModeNormal, true, false, true},
        {opModeSeriousFail, true, false, true},
        {opModeCANBridge, true, true, false},
        {opModeCANBridge, false, true, true},
    };
    CANInterfaceSocketCAN can;
    auto peer = ConnectPeer();
    ConnectToBus(can, peer.get());
    unsigned char n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "mode " << c.mode << " consumes " << c.consumes);
        CallbackRecorder::Reset(c.consumes ? 0x40 : -1);
        LogSingleton::instance()->set_opMode(c.mode);
        ++n;
        ASSERT_TRUE(peer->Send(MakeFrame(0x40, {n})));
        // A frame the monitor never consumes marks the first as handled.
        ASSERT_TRUE(peer->Send(MakeFrame(0x41, {n})));
        ASSERT_TRUE(CallbackRecorder::WaitForReceived(0x41, n));
        const auto monitored = CallbackRecorder::Monitored();
        const auto received = CallbackRecorder::Received();
        EXPECT_EQ(!monitored.empty() && monitored[0].id == 0x40, c.monitored);
        EXPECT_EQ(!received.empty() && received[0].id == 0x40, c.received);
    }
    LogSingleton::instance()->set_opMode(opModeNormal);
    can.Disconnect();
}

TEST_F(CANInterfaceTest, DumpLineFormat) {
    SetFakeTime(1234, 567000);
    CANInterfaceSocketCAN can(FakeClock);
    auto peer = ConnectPeer();
    ConnectToBus(can, peer.get());
    can.SetCanDumpSize(16);
    EXPECT_EQ(log.Count("Setting CAN Dump size to 16 messages"), 1);
    can.SetCanDumpSize(16);
    EXPECT_EQ(log.Count("Setting CAN Dump size to 16 messages"), 1);

    ASSERT_TRUE(peer->Send(MakeFrame(0x21, {0x05, 0x80})));
    ASSERT_TRUE(CallbackRecorder::WaitForReceived(0x21));
    SetFakeTime(7, 1000);
    const unsigned char bytes[8] = {0xAB, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    can.WriteMessage(0x5, 3, bytes);
    can.WriteMessage(0x605, 12, bytes);  // refused: length over 8

    log.Clear();
    can.WriteCanDump();
    std::vector<std::string> dump = log.StartingWith("I --> ");
    for (const std::string& line : log.StartingWith("O <-- ")) dump.push_back(line);
    const std::vector<std::string> expected = {
        "I -->   0 1234.000567 ID: 0x21 DLC: 2 MSG: 05 80",
        "O <--   1  7.000001 ID: 0x05 DLC: 3 MSG: ab 0c 00",
        "O <--   2  7.000001 ID: 0x605 DLC: 12 MSG: ab 0c 00 00 00 00 00 00 ERROR: Invalid argument",
    };
    EXPECT_EQ(dump, expected);
    can.Disconnect();
}

TEST_F(CANInterfaceTest, DumpRingKeepsTheNewestEntriesOldestFirst) {
    CANInterfaceSocketCAN can;
    auto peer = ConnectPeer();
    ConnectToBus(can, peer.get());
    can.SetCanDumpSize(4);
    for (unsigned char i = 1; i <= 6; ++i) can.WriteMessage(0x30 + i, 1, &i);

    log.Clear();
    can.WriteCanDump();
    const auto lines = log.StartingWith("O <-- ");
    ASSERT_EQ(lines.size(), 4u);
    const std::regex line(R"(O <--   (\d) +\d+\.\d{6} ID: 0x(\w+) DLC: 1 MSG: (\w\w))");
    for (size_t k = 0; k < lines.size(); ++k) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[k], m, line)) << lines[k];
        EXPECT_EQ(m[1], std::to_string(k));
        EXPECT_EQ(m[2], std::to_string(33 + k));  // 0x33 .. 0x36
        EXPECT_EQ(m[3], "0" + std::to_string(3 + k));
    }
    log.Clear();
    can.WriteCanDump();
    EXPECT_TRUE(log.StartingWith("O <-- ").empty());
    can.Disconnect();
}

TEST_F(CANInterfaceTest, WriteFailuresAreLoggedOnASchedule) {
    CANInterfaceSocketCAN can;
    auto peer = ConnectPeer();
    ConnectToBus(can, peer.get());
    const unsigned char data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const std::string first = "CAN write failed on ID 16 (first byte 1): Invalid argument";

    log.Clear();
    for (int i = 0; i < 12; ++i) can.WriteMessage(0x10, 12, data);
    EXPECT_EQ(log.StartingWith("CAN write failed"), (std::vector<std::string>{first, first + " (10)"}));

    // A success ends the run; the next failure starts a new one.
    can.WriteMessage(0x10, 8, data);
    log.Clear();
    for (int i = 0; i < 151; ++i) can.WriteMessage(0x10, 12, data);
    EXPECT_EQ(log.StartingWith("CAN write failed"), (std::vector<std::string>{first, first + " (10)", first + " (25)", first + " (50)",
                                                       first + " (100)", first + " (150)"}));

    // Only the good frame reached the bus.
    can_frame got;
    ASSERT_TRUE(peer->Receive(got, kWaitMs));
    EXPECT_EQ(got.can_dlc, 8);
    can.Disconnect();
}

TEST_F(CANInterfaceTest, NegativeLengthCopiesNothing) {
    CANInterfaceSocketCAN can;
    auto peer = ConnectPeer();
    ConnectToBus(can, peer.get());
    const unsigned char one = 0x77;
    log.Clear();
    can.WriteMessage(0x12, -1, &one);  // length 255 after the cut: refused
    can.WriteMessage(0x13, 0, nullptr);
    EXPECT_EQ(log.StartingWith("CAN write failed"),
              (std::vector<std::string>{"CAN write failed on ID 18 (first byte 0): Invalid argument"}));
    can_frame got;
    ASSERT_TRUE(peer->Receive(got, kWaitMs));
    EXPECT_EQ(got.can_id, 0x13u);
    EXPECT_EQ(got.can_dlc, 0);
    can.Disconnect();
}

TEST_F(CANInterfaceTest, BusGoneIsReportedWithoutSigpipe) {
    CANInterfaceSocketCAN can;
    ConnectToBus(can);
    can.SetCanDumpSize(4);
    hub.Stop();
    const unsigned char data[2] = {9, 9};
    can.WriteMessage(0x20, 2, data);  // would raise SIGPIPE on a careless socket
    EXPECT_EQ(log.StartingWith("CAN write failed on ID 32 (first byte 9): ").size(), 1u);
    // The read thread notices the end of the bus.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (log.StartingWith("SocketCAN ReadLoop: failed to read: ").empty() &&
           std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    can.Disconnect();
    // Reported, but a bus that has gone does not keep the read thread spinning.
    const size_t readFailures = log.StartingWith("SocketCAN ReadLoop: failed to read: ").size();
    EXPECT_GE(readFailures, 1u);
    EXPECT_LE(readFailures, 2u);
}

TEST_F(CANInterfaceTest, ReconnectingLeaksNoSocketOrThread) {
    CANInterfaceSocketCAN can;
    const int fds = CountEntries("/proc/self/fd");
    const int threads = CountEntries("/proc/self/task");
    for (int i = 0; i < 3; ++i) {
        ConnectToBus(can);
        EXPECT_TRUE(can.Connect());  // again without a disconnect in between
        EXPECT_FALSE(can.Disconnect());
    }
    WaitForPeersAtMost(0);  // the hub's ends of the closed connections
    EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
    EXPECT_EQ(CountEntries("/proc/self/task"), threads);
    EXPECT_EQ(log.Count("Starting SocketCAN ReadLoop.."), 6);
    EXPECT_EQ(log.Count("SocketCAN ReadLoop has stopped..."), 6);
    EXPECT_EQ(log.Count("CAN interface SocketCAN disconnected."), 3);

    // Destroyed while connected: the thread is stopped first.
    auto temporary = std::make_unique<CANInterfaceSocketCAN>();
    ConnectToBus(*temporary);
    temporary.reset();
    WaitForPeersAtMost(0);
    // The hub closes its end of the socket on its own thread: a leak stays, a close in flight goes.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (CountEntries("/proc/self/fd") != fds && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
    EXPECT_EQ(CountEntries("/proc/self/task"), threads);
}

// The robot thread polls the table while the read thread rewrites it: every
// record read must be one whole frame.
TEST_F(CANInterfaceTest, TableReadsAreNeverTorn) {
    CANInterfaceSocketCAN can;
    auto peer = ConnectPeer();
    ConnectToBus(can, peer.get());

    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        while (!done.load()) {
            int dlc = 0;
            unsigned char data[8];
            can.GetLastMessage(0x50, &dlc, data, nullptr);
            for (int i = 1; i < 8; ++i) {
                if (data[i] != data[0]) ++torn;
            }
            if (dlc != 0 && dlc != data[0] % 8 + 1) ++torn;
            ++reads;
        }
    });
    for (int batch = 0; batch < 20; ++batch) {
        for (int i = 0; i < 100; ++i) {
            const unsigned char v = static_cast<unsigned char>(batch * 100 + i);
            ASSERT_TRUE(peer->Send(MakeFrame(0x50, v % 8 + 1, v)));
        }
        // Paced so no frame is dropped for a full socket.
        ASSERT_TRUE(peer->Send(MakeFrame(0x51, {static_cast<unsigned char>(batch)})));
        ASSERT_TRUE(CallbackRecorder::WaitForReceived(0x51, batch));
    }
    done = true;
    reader.join();
    EXPECT_EQ(torn, 0);
    EXPECT_GT(reads, 0);
    can.Disconnect();
}

}  // namespace
}  // namespace HardwareTest
