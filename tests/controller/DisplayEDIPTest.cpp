// The touch panel link: packets and checksum, the number field and spinner,
// and the panel on a pseudo-terminal: start-up, pages, keys, the bar, records
// cut by a read, an absent port and a panel that stops reading.

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include <cmath>
#include <future>
#include <string>
#include <vector>

#include "controller/DisplayEDIP.h"
#include "controller/PtyDevice.h"
#include "datatypes/RobotState.h"
#include "support/LogCapture.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(DisplayEDIPPacket, FramesDataWithLengthChecksumAndLineEnd) {
    const uint8_t clearText[] = {0x1B, 'T', 'A'};
    EXPECT_EQ(DisplayEDIP::BuildPacket(clearText, 3), (Bytes{0x11, 0x03, 0x1B, 0x54, 0x41, 0xC4, 0x0A, 0x0D}));
    // The checksum wraps at 256.
    const Bytes big(200, 0xFF);
    const Bytes packet = DisplayEDIP::BuildPacket(big.data(), big.size());
    EXPECT_EQ(packet.size(), 205u);
    EXPECT_EQ(packet[1], 200);
    EXPECT_EQ(packet[202], static_cast<uint8_t>((0x11 + 200 + 200 * 0xFF) & 0xFF));
}

TEST(DisplayEDIPPacket, NumberFieldIsSixCharactersWithOneDecimal) {
    const struct {
        double v;
        const char* text;
    } cases[] = {{12.3, "  12.3"},  {-5.0, "  -5.0"}, {123.4, " 123.4"}, {-123.4, "-123.4"}, {-12.3, " -12.3"},
                 {0.0, "   0.0"},   {-0.04, "   0.0"}, {105.0, " 105.0"}, {0.05, "   0.1"}, {99.96, " 100.0"},
                 {5000.0, " 999.9"}, {-5000.0, "-999.9"}};
    for (const auto& c : cases) EXPECT_EQ(DisplayEDIP::FormatDouble(c.v), c.text) << c.v;
    EXPECT_EQ(DisplayEDIP::FormatDouble(std::nan("")).size(), 6u);
}

TEST(DisplayEDIPPacket, SpinnerWritesOnEvenStepsOnly) {
    const std::vector<std::string> texts = {"\\|", "", "/", "", "-", "", "\\\\", ""};
    for (int step = 0; step < 8; ++step) EXPECT_EQ(DisplayEDIP::AliveSignText(step), texts[step]) << step;
}

// Packets (DC1 ... checksum 0A 0D) and buffer requests (DC2 ...) the controller sent.
struct Sent {
    std::vector<Bytes> packets;
    int requests = 0;
    bool wellFormed = true;
};

Sent Split(const Bytes& stream) {
    Sent sent;
    std::size_t i = 0;
    while (i < stream.size()) {
        if (stream[i] == 0x12 && i + 3 < stream.size()) {
            sent.wellFormed = sent.wellFormed && stream[i + 1] == 0x01 && stream[i + 2] == 'S' && stream[i + 3] == 0x66;
            ++sent.requests;
            i += 4;
            continue;
        }
        if (stream[i] != 0x11 || i + 1 >= stream.size()) {
            sent.wellFormed = false;
            break;
        }
        const std::size_t n = stream[i + 1];
        if (i + n + 5 > stream.size()) {
            sent.wellFormed = false;
            break;
        }
        Bytes data(stream.begin() + static_cast<std::ptrdiff_t>(i + 2),
                   stream.begin() + static_cast<std::ptrdiff_t>(i + 2 + n));
        const Bytes again = DisplayEDIP::BuildPacket(data.data(), data.size());
        sent.wellFormed = sent.wellFormed && std::equal(again.begin(), again.end(), stream.begin() + static_cast<std::ptrdiff_t>(i));
        sent.packets.push_back(data);
        i += n + 5;
    }
    return sent;
}

bool HasText(const Sent& sent, const std::string& text) {
    for (const Bytes& p : sent.packets) {
        if (p.size() > 5 && p[0] == 0x1B && p[1] == 'Z' && p[2] == 'L' &&
            std::string(p.begin() + 5, p.end() - 1) == text)
            return true;
    }
    return false;
}

bool HasCommand(const Sent& sent, const Bytes& command) {
    for (const Bytes& p : sent.packets) {
        if (p.size() >= command.size() && std::equal(command.begin(), command.end(), p.begin())) return true;
    }
    return false;
}

// A key record as the panel's send buffer holds it.
Bytes KeyRecord(int code) { return {0x1B, 'A', 1, static_cast<uint8_t>(code)}; }
Bytes BarRecord(int v) { return {0x1B, 'B', 2, 1, static_cast<uint8_t>(v)}; }

class DisplayEDIPPort : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pty.Ok()); }

    // Connects and runs the start-up passes; the enable page is up afterwards.
    void ConnectAndStart() {
        ASSERT_TRUE(panel.Connect(pty.Name()));
        for (int i = 0; i < DisplayEDIP::StartUpPasses; ++i) panel.update();
        pty.Read(100);
    }

    // The panel's answer to the next buffer request, then one pass; what the pass sent.
    Sent Pass(const Bytes& records) {
        if (!records.empty()) {
            Bytes answer = {0x06, 0x11, static_cast<uint8_t>(records.size())};
            answer.insert(answer.end(), records.begin(), records.end());
            answer.push_back(0);  // checksum: not checked by the scan
            EXPECT_TRUE(pty.Write(answer));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        panel.update();
        return Split(pty.Read(100));
    }

    PtyTest::PtyDevice pty;
    DisplayEDIP panel;
    TestSupport::LogCapture log;
};

TEST_F(DisplayEDIPPort, ConnectsClearsShowsTheStartUpMessageAndThenTheEnablePage) {
    ASSERT_TRUE(panel.Connect(pty.Name()));
    EXPECT_TRUE(log.Has("Display: Connecting..."));
    EXPECT_TRUE(log.Has("Display: Successfully connected to " + pty.Name()));
    Sent sent = Split(pty.Read());
    ASSERT_TRUE(sent.wellFormed);
    ASSERT_FALSE(sent.packets.empty());
    EXPECT_EQ(sent.packets[0], (Bytes{0x1B, 'D', 'L'}));
    EXPECT_TRUE(HasText(sent, "Korvella"));
    EXPECT_EQ(panel.statusText, "NC");
    EXPECT_EQ(panel.override, 40);

    // Start-up: the spinner at 80,80 on even steps, nothing read.
    int spinners = 0;
    for (int i = 1; i < DisplayEDIP::StartUpPasses; ++i) {
        panel.update();
        sent = Split(pty.Read(20));
        EXPECT_EQ(sent.requests, 0);
        for (const Bytes& p : sent.packets) spinners += p.size() > 4 && p[3] == 80 && p[4] == 80 ? 1 : 0;
    }
    EXPECT_EQ(spinners, 14);
    EXPECT_EQ(panel.GetStartUpCount(), 1);
    panel.update();
    sent = Split(pty.Read());
    EXPECT_TRUE(sent.wellFormed);
    EXPECT_TRUE(HasCommand(sent, {0x1B, 'D', 'L'}));
    EXPECT_TRUE(HasCommand(sent, {0x1B, 'A', 'T', 10, 20, 90, 45, 33, 34}));  // "Reset"
    EXPECT_TRUE(HasCommand(sent, {0x1B, 'B', 'A', 1, 40}));                    // the bar at the override
    EXPECT_EQ(panel.GetPage(), DisplayEDIP::PageEnable);

    // Then every pass asks for the buffer and shows the status.
    sent = Pass({});
    EXPECT_EQ(sent.requests, 1);
    EXPECT_TRUE(HasText(sent, "NC"));
}

TEST_F(DisplayEDIPPort, KeysPostCommandsAndJogByPage) {
    ConnectAndStart();
    const struct {
        int key;
        int code;
    } enableKeys[] = {{33, 10}, {35, 11}, {37, 13}, {34, 0}, {53, 0}};
    for (const auto& k : enableKeys) {
        Pass(KeyRecord(k.key));
        EXPECT_EQ(panel.GetCommand(), k.code) << k.key;
    }

    // Jog page: select joint 3 (key 7), minus, release, plus.
    Sent sent = Pass(KeyRecord(DisplayEDIP::KeyJogPage));
    EXPECT_EQ(panel.GetPage(), DisplayEDIP::PageJog);
    EXPECT_TRUE(HasCommand(sent, {0x1B, 'A', 'T', 10, 16, 40, 30, 1, 2}));
    Pass(KeyRecord(7));
    EXPECT_EQ(panel.GetActiveJoint(), 3);
    Pass(KeyRecord(17));
    EXPECT_EQ(panel.jogValues[3], -100.0f);
    Pass(KeyRecord(18));
    EXPECT_EQ(panel.jogValues[3], 0.0f);
    Pass(KeyRecord(19));
    EXPECT_EQ(panel.jogValues[3], 100.0f);
    Pass(KeyRecord(20));
    EXPECT_EQ(panel.jogValues[3], 0.0f);
    Pass(KeyRecord(33));
    EXPECT_EQ(panel.GetCommand(), 0) << "enable keys do nothing on the jog page";
    // The shown joint values, six number fields.
    DataTypes::RobotState state;
    state.jointSetPoint[0] = 12.3f;
    state.jointSetPoint[5] = -5.0f;
    panel.SetValues(state);
    sent = Pass({});
    EXPECT_TRUE(HasCommand(sent, {0x1B, 'Z', 'L', 60, 20, ' ', ' ', '1', '2', '.', '3', 0}));
    EXPECT_TRUE(HasCommand(sent, {0x1B, 'Z', 'L', 60, 100, ' ', ' ', '-', '5', '.', '0', 0}));

    // Program page.
    const struct {
        int key;
        int code;
    } programKeys[] = {{53, 2}, {55, 3}, {57, 4}, {49, 0}, {51, 0}};
    Pass(KeyRecord(DisplayEDIP::KeyProgramPage));
    EXPECT_EQ(panel.GetPage(), DisplayEDIP::PageProgram);
    for (const auto& k : programKeys) {
        Pass(KeyRecord(k.key));
        EXPECT_EQ(panel.GetCommand(), k.code) << k.key;
    }
}

TEST_F(DisplayEDIPPort, BarSetsTheOverrideAndRecordsCutByAReadWaitForTheirRest) {
    ConnectAndStart();
    Pass(BarRecord(73));
    EXPECT_EQ(panel.GetCommand(), 33);
    EXPECT_EQ(panel.value, 73);
    EXPECT_EQ(panel.override, 73);

    // A key record split over two reads counts once, when whole.
    ASSERT_TRUE(pty.Write({0x06, 0x11, 0x04, 0x1B, 'A'}));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    panel.update();
    EXPECT_EQ(panel.GetCommand(), 0);
    ASSERT_TRUE(pty.Write({1, 35, 0}));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    panel.update();
    EXPECT_EQ(panel.GetCommand(), 11);
    // Two records in one read: both handled, the later command stays.
    Pass([] {
        Bytes two = KeyRecord(33);
        const Bytes bar = BarRecord(20);
        two.insert(two.end(), bar.begin(), bar.end());
        return two;
    }());
    EXPECT_EQ(panel.GetCommand(), 33);
    EXPECT_EQ(panel.override, 20);
}

TEST_F(DisplayEDIPPort, AnAbsentPortLeavesItUnconnectedAndSilent) {
    DisplayEDIP absent;
    EXPECT_FALSE(absent.Connect("/nonexistent/ttyZ"));
    EXPECT_TRUE(log.HasError("Display: unable to open /nonexistent/ttyZ"));
    EXPECT_FALSE(absent.IsConnected());
    const uint8_t data[] = {0x1B, 'D', 'L'};
    EXPECT_FALSE(absent.SendData(data, sizeof(data)));
    absent.update();
    EXPECT_EQ(absent.GetSpinnerStep(), 0);
}

TEST_F(DisplayEDIPPort, AHeldJogKeyIsReleasedWhenThePanelFallsSilent) {
    ConnectAndStart();
    Pass(KeyRecord(DisplayEDIP::KeyJogPage));
    Pass(KeyRecord(19));
    ASSERT_EQ(panel.jogValues[0], 100.0f);
    // A live panel answers every buffer request, with nothing in it while the key stays down.
    const Bytes empty = {0x06, 0x11, 0x00, 0x11};
    for (int i = 0; i < 3 * DisplayEDIP::StalePasses; ++i) {
        ASSERT_TRUE(pty.Write(empty));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        panel.update();
    }
    EXPECT_EQ(panel.jogValues[0], 100.0f) << "held while the panel talks";
    pty.Read(50);
    // Silent: the key counts as released after as many passes as the front panel waits.
    for (int i = 1; i < DisplayEDIP::StalePasses; ++i) panel.update();
    EXPECT_EQ(panel.jogValues[0], 100.0f);
    panel.update();
    EXPECT_EQ(panel.jogValues[0], 0.0f);
    for (int i = 0; i < DisplayEDIP::StalePasses; ++i) panel.update();
    EXPECT_EQ(panel.jogValues[0], 0.0f);
    pty.Read(50);
    Pass(KeyRecord(19));
    EXPECT_EQ(panel.jogValues[0], 100.0f);
}

TEST_F(DisplayEDIPPort, AFullPortGetsWholePacketsOrNone) {
    ConnectAndStart();
    pty.Read(50);
    // Long status packets, so the port's room runs out in the middle of one.
    panel.statusText = std::string(240, 'S');
    // Stuff the port from the test's own end of it, then make a little room.
    fcntl(pty.slave, F_SETFL, fcntl(pty.slave, F_GETFL) | O_NONBLOCK);
    const Bytes junk(4096, 0x20);
    std::size_t stuffed = 0;
    for (int i = 0; i < 10000; ++i) {
        const ssize_t n = write(pty.slave, junk.data(), junk.size());
        if (n <= 0) break;
        stuffed += static_cast<std::size_t>(n);
    }
    std::size_t taken = 0;
    uint8_t buffer[4096];
    while (taken < 3000) {
        const ssize_t n = read(pty.master, buffer, std::min<std::size_t>(sizeof(buffer), 3000 - taken));
        if (n <= 0) break;
        taken += static_cast<std::size_t>(n);
    }
    for (int i = 0; i < 200 && panel.DroppedPackets() < 10; ++i) panel.update();
    EXPECT_GE(panel.DroppedPackets(), 10);

    // The panel reads again: after the junk, only whole packets and requests.
    Bytes stream;
    for (int i = 0; i < 5; ++i) {
        const Bytes got = pty.Read(100);
        stream.insert(stream.end(), got.begin(), got.end());
        panel.update();
    }
    const Bytes rest = pty.Read(100);
    stream.insert(stream.end(), rest.begin(), rest.end());
    ASSERT_GE(stream.size(), stuffed - taken);
    EXPECT_TRUE(std::all_of(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(stuffed - taken),
                            [](uint8_t b) { return b == 0x20; }));
    const Sent sent = Split(Bytes(stream.begin() + static_cast<std::ptrdiff_t>(stuffed - taken), stream.end()));
    EXPECT_TRUE(sent.wellFormed);
    EXPECT_GT(sent.requests, 0);
    EXPECT_TRUE(HasText(sent, panel.statusText));
}

TEST_F(DisplayEDIPPort, APanelThatStopsReadingNeverBlocks) {
    ConnectAndStart();
    Pass(KeyRecord(DisplayEDIP::KeyJogPage));
    // Fill what the panel would read until nothing more fits.
    fcntl(pty.slave, F_SETFL, fcntl(pty.slave, F_GETFL) | O_NONBLOCK);
    const Bytes chunk(4096, 0x20);
    for (int i = 0; i < 10000 && write(pty.slave, chunk.data(), chunk.size()) > 0; ++i) {
    }
    auto passes = std::async(std::launch::async, [this]() {
        for (int i = 0; i < 100; ++i) panel.update();
    });
    if (passes.wait_for(std::chrono::seconds(120)) != std::future_status::ready) {
        ADD_FAILURE() << "update blocked on a full port";
        close(pty.master);
        pty.master = -1;
    }
    passes.wait();
    EXPECT_GT(panel.DroppedPackets(), 0);
}

}  // namespace
