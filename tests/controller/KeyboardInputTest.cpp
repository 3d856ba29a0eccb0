// The console reader: command keys, override steps, jog keys in both
// layouts, SDO lines (only exact numbers in range are queued), the help text,
// and the reader thread on a pipe (lines, end of input, stop while waiting).

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "controller/KeyboardInput.h"
#include "support/LogCapture.h"

namespace {

using Log = TestSupport::LogCapture;

bool WaitFor(const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

// A reader without a thread: lines are handed to it directly.
class KeyboardLines : public ::testing::Test {
protected:
    struct Command {
        int code = 0;
        int parameter = -1;
        int value = -1;
    };
    Command Take() {
        Command c;
        if (!keys.TakeCommand(c.code, c.parameter, c.value)) c = Command{};
        return c;
    }
    float Jog(int axis) const {
        float values[9];
        keys.GetJogValues(values);
        return values[axis];
    }

    Log log;
    std::ostringstream out;
    KeyboardInput keys{-1, out};
};

TEST(KeyboardToNumber, HexAndDecimalMustBeWholeNumbersInRange) {
    const struct {
        const char* text;
        bool ok;
        int value;
    } cases[] = {
        {"0x6040", true, 0x6040},  {"0X1a", true, 26},          {"15", true, 15},
        {"-3", true, -3},          {"+7", true, 7},             {"0", true, 0},
        {"0xFFFFFFFF", true, -1},  {"0x80000000", true, -2147483647 - 1},
        {"2147483647", true, 2147483647}, {"-2147483648", true, -2147483647 - 1},
        {"", false, 0},            {"abc", false, 0},           {"12abc", false, 0},
        {"0x", false, 0},          {"0x60G0", false, 0},        {"0x100000000", false, 0},
        {"2147483648", false, 0},  {"-2147483649", false, 0},   {"-", false, 0},
        {"1 ", false, 0},          {" 1", false, 0},            {"1.5", false, 0},
        {"nan", false, 0},         {"inf", false, 0},           {"99999999999999999999", false, 0},
    };
    for (const auto& c : cases) {
        int result = 12345;
        EXPECT_EQ(ToNumber(c.text, result), c.ok) << '"' << c.text << '"';
        EXPECT_EQ(result, c.ok ? c.value : 12345) << '"' << c.text << "\" leaves the result alone when rejected";
    }
}

TEST_F(KeyboardLines, CommandKeysPostTheirDispatchCodes) {
    const struct {
        const char* line;
        int code;
    } cases[] = {{"5", 2}, {"6", 3}, {"7", 4}, {"1", 10}, {"2", 11}, {"8", 14}, {"9", 16}, {"0", 13}};
    for (const auto& c : cases) {
        keys.HandleLine(c.line);
        const Command taken = Take();
        EXPECT_EQ(taken.code, c.code) << c.line;
        EXPECT_EQ(taken.parameter, 0) << c.line;
        EXPECT_EQ(Take().code, 0) << "taking clears it";
    }
    // Only the last of two lines typed before the main loop takes one is run.
    keys.HandleLine("1");
    keys.HandleLine("6");
    EXPECT_EQ(Take().code, 3);
    EXPECT_EQ(Take().code, 0);
}

TEST_F(KeyboardLines, OverrideStepsByTenBetweenTenAndHundred) {
    EXPECT_EQ(keys.GetOverride(), 40);
    std::vector<int> up;
    for (int i = 0; i < 8; ++i) {
        keys.HandleLine("o");
        const Command taken = Take();
        EXPECT_EQ(taken.code, 33);
        up.push_back(taken.value);
    }
    EXPECT_EQ(up, (std::vector<int>{50, 60, 70, 80, 90, 100, 100, 100}));

    KeyboardInput fresh(-1, out);
    std::vector<int> down;
    for (int i = 0; i < 4; ++i) {
        fresh.HandleLine("l");
        int code = 0, parameter = 0, value = 0;
        ASSERT_TRUE(fresh.TakeCommand(code, parameter, value));
        EXPECT_EQ(code, 33);
        down.push_back(value);
    }
    EXPECT_EQ(down, (std::vector<int>{30, 20, 10, 10}));
}

TEST_F(KeyboardLines, JogKeysOfBothLayouts) {
    struct Key {
        const char* line;
        int axis;
        float after;  // jog value of the axis after the key, starting from 0
    };
    std::vector<Key> german = {{"q", 0, 10}, {"y", 0, -10}, {"w", 1, 10}, {"x", 1, -10}, {"e", 2, 10},
                                     {"c", 2, -10}, {"r", 3, 10}, {"v", 3, -10}, {"t", 4, 10}, {"b", 4, -10},
                                     {"z", 5, 10}, {"n", 5, -10}, {"u", 6, 10}, {"m", 6, -10}};
    std::vector<Key> us(german);
    for (Key& k : us) {
        if (k.axis == 0 && k.after < 0) k.line = "z";
        if (k.axis == 5 && k.after > 0) k.line = "y";
    }
    const char* zeroKeys[7] = {"a", "s", "d", "f", "g", "h", "j"};

    for (const auto& layout : {std::make_pair("de", &german), std::make_pair("us", &us)}) {
        keys.HandleLine(layout.first);
        for (const Key& k : *layout.second) {
            keys.ResetJogValues();
            keys.HandleLine(k.line);
            for (int axis = 0; axis < 9; ++axis)
                EXPECT_EQ(Jog(axis), axis == k.axis ? k.after : 0.0f) << layout.first << " " << k.line << " " << axis;
            keys.HandleLine(zeroKeys[k.axis]);
            EXPECT_EQ(Jog(k.axis), 0.0f) << layout.first << " " << zeroKeys[k.axis];
        }
    }
    EXPECT_EQ(Take().code, 0) << "jog keys post no command";
    EXPECT_EQ(log.Count("Keyboard layout changed to US"), 1);
    EXPECT_EQ(log.Count("Keyboard layout changed to GER"), 1);
    EXPECT_EQ(keys.GetKeyLayout(), KeyboardInput::KeyLayoutUS);
}

TEST_F(KeyboardLines, RepeatedJogKeysAddUpUntilZeroedOrReset) {
    for (int i = 0; i < 3; ++i) keys.HandleLine("q");
    keys.HandleLine("n");
    EXPECT_EQ(Jog(0), 30.0f);
    EXPECT_EQ(Jog(5), -10.0f);
    keys.HandleLine("a");
    EXPECT_EQ(Jog(0), 0.0f);
    EXPECT_EQ(Jog(5), -10.0f);
    keys.ResetJogValues();
    EXPECT_EQ(Jog(5), 0.0f);
    // Not limited here: the robot master limits to 100.
    for (int i = 0; i < 12; ++i) keys.HandleLine("u");
    EXPECT_EQ(Jog(6), 120.0f);
}

TEST_F(KeyboardLines, OtherLinesAreEchoedAndIgnored) {
    for (const char* line : {"5 ", " 5", "Q", "sdo", "hello", "qq", "55"}) {
        keys.HandleLine(line);
        EXPECT_EQ(Take().code, 0) << '"' << line << '"';
        EXPECT_FALSE(keys.IsSDOPending()) << '"' << line << '"';
    }
    keys.HandleLine("");
    const std::string text = out.str();
    EXPECT_NE(text.find("You entered: \"5 \"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("You entered: \"sdo\"\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("You entered: \"\""), std::string::npos) << "empty lines are not echoed";
    float values[9];
    keys.GetJogValues(values);
    for (float v : values) EXPECT_EQ(v, 0.0f);
}

TEST_F(KeyboardLines, SdoLineQueuesTheRequestAndLogsItsEcho) {
    keys.HandleLine("sdo 5 0x6040 0 15");
    EXPECT_EQ(log.Count("You entered: sdo device 5 address 6040 subaddress 0 value 15 (0xf)"), 1);
    KeyboardInput::SDORequest request;
    ASSERT_TRUE(keys.TakeSDORequest(request));
    EXPECT_EQ(request.device, 5);
    EXPECT_EQ(request.address, 0x6040);
    EXPECT_EQ(request.subaddress, 0);
    EXPECT_EQ(request.value, 15);
    EXPECT_FALSE(keys.TakeSDORequest(request)) << "taking clears it";

    // Full 32-bit values and negative numbers are values too.
    keys.HandleLine("sdo 127 0x1017 0x00 0xFFFFFFFF");
    ASSERT_TRUE(keys.TakeSDORequest(request));
    EXPECT_EQ(request.value, -1);
    EXPECT_EQ(log.Count("You entered: sdo device 127 address 1017 subaddress 0 value -1 (0xffffffff)"), 1);
    // Words after the fourth number are ignored.
    keys.HandleLine("sdo 5 0x6041 1 16 trailing words");
    ASSERT_TRUE(keys.TakeSDORequest(request));
    EXPECT_EQ(request.address, 0x6041);
    EXPECT_EQ(request.value, 16);
    EXPECT_EQ(Take().code, 0) << "an SDO line is no command";
    EXPECT_EQ(out.str(), "") << "SDO lines are logged, not echoed";
}

TEST_F(KeyboardLines, SdoLinesWithoutFourNumbersInRangeQueueNothing) {
    const struct {
        const char* line;
        const char* logged;
    } cases[] = {
        {"sdo 5 0x6040 0", "Invalid command for SDO: Got '5' '0x6040' '0' ''"},
        {"sdo 5", "Invalid command for SDO: Got '5' '' '' ''"},
        {"sdo ", "Invalid command for SDO: Got '' '' '' ''"},
        {"sdo 5 0x60G0 0 15", "Invalid command for SDO: Got '5' '0x60G0' '0' '15'"},
        {"sdo five 0x6040 0 15", "Invalid command for SDO: Got 'five' '0x6040' '0' '15'"},
        {"sdo 5 0x6040 0 15abc", "Invalid command for SDO: Got '5' '0x6040' '0' '15abc'"},
        {"sdo 5 0x6040 0 nan", "Invalid command for SDO: Got '5' '0x6040' '0' 'nan'"},
        {"sdo 0 0x6040 0 15", "Invalid command for SDO: Got '0' '0x6040' '0' '15'"},
        {"sdo 128 0x6040 0 15", "Invalid command for SDO: Got '128' '0x6040' '0' '15'"},
        {"sdo 5 0x10000 0 15", "Invalid command for SDO: Got '5' '0x10000' '0' '15'"},
        {"sdo 5 -1 0 15", "Invalid command for SDO: Got '5' '-1' '0' '15'"},
        {"sdo 5 0x6040 256 15", "Invalid command for SDO: Got '5' '0x6040' '256' '15'"},
    };
    for (const auto& c : cases) {
        log.Clear();
        // A request still waiting is dropped by the next SDO line, good or bad.
        keys.HandleLine("sdo 1 0x1000 0 0");
        ASSERT_TRUE(keys.IsSDOPending());
        log.Clear();
        keys.HandleLine(c.line);
        EXPECT_FALSE(keys.IsSDOPending()) << c.line;
        EXPECT_EQ(log.Lines(), std::vector<std::string>{c.logged}) << c.line;
    }
    EXPECT_EQ(out.str(), "");
}

TEST_F(KeyboardLines, HelpTextOnRequest) {
    keys.HandleLine("help");
    const std::string expected =
        "You entered: \"help\"\n"
        "\n\n"
        "Keyboard Commands:\n"
        "1: Load Joint Values and Reset\n"
        "2: Enable Motors\n"
        "567: Start/Pause/Stop\n"
        "8: Change motion mode Joint/Cart\n"
        "9: Reference All\n"
        "0: Set Joints to Zero\n"
        "qay: Joint 0 (qaz in US layout)\n"
        "wsx: Joint 1\n"
        "edc: Joint 2\n"
        "rfv: Joint 3\n"
        "tgb: Joint 4\n"
        "zhn: Joint 5 (yhn in US layout)\n"
        "ujm: Ext 1\n"
        "ol:  Override +/-\n"
        "\"sdo\" <device id> <address> <subaddress> <value>: Send CANopen SDO\n"
        "\n"
        "\"help\": print this help\n"
        "\"us\": use US key layout\n"
        "\"de\": use GER key layout (default)\n"
        "\n";
    EXPECT_EQ(out.str(), expected);
}

// ---------------------------------------------------------------- the reader thread

class Pipe {
public:
    Pipe() { EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0); }
    ~Pipe() {
        CloseWriteEnd();
        if (fds[0] >= 0) close(fds[0]);
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    int ReadEnd() const { return fds[0]; }
    void Type(const std::string& text) {
        ASSERT_EQ(write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void CloseWriteEnd() {
        if (fds[1] >= 0) close(fds[1]);
        fds[1] = -1;
    }

private:
    int fds[2] = {-1, -1};
};

TEST(KeyboardReader, ReadsTypedLinesAndEndsAtTheEndOfInput) {
    Log log;
    Pipe input;
    std::ostringstream out;
    KeyboardInput keys(input.ReadEnd(), out);
    EXPECT_TRUE(keys.IsReaderRunning());

    input.Type("5\n");
    int code = 0, parameter = 0, value = 0;
    ASSERT_TRUE(WaitFor([&]() { return keys.TakeCommand(code, parameter, value); }));
    EXPECT_EQ(code, 2);

    // Several lines at once, a line end from another system, and a last line without its line end.
    input.Type("q\r\nq\nsdo 5 0x6040 0 15\nz");
    input.CloseWriteEnd();
    ASSERT_TRUE(WaitFor([&]() { return !keys.IsReaderRunning(); })) << "the reader ends at the end of input";
    float jog[9];
    keys.GetJogValues(jog);
    EXPECT_EQ(jog[0], 20.0f);
    EXPECT_EQ(jog[5], 10.0f) << "the last line counted";
    EXPECT_TRUE(keys.IsSDOPending());
    const std::string text = out.str();
    EXPECT_NE(text.find("You entered: \"5\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("You entered: \"q\"\n"), std::string::npos) << text;
}

TEST(KeyboardReader, AnOverlongLineIsDroppedWholeAndTheNextOneRead) {
    Log log;
    Pipe input;
    std::ostringstream out;
    KeyboardInput keys(input.ReadEnd(), out);
    // Long enough to need several reads; its tail "7" must not count as a line.
    input.Type(std::string(5000, ' ') + "7\n6\n");
    input.CloseWriteEnd();
    ASSERT_TRUE(WaitFor([&]() { return !keys.IsReaderRunning(); }));
    int code = 0, parameter = 0, value = 0;
    ASSERT_TRUE(keys.TakeCommand(code, parameter, value));
    EXPECT_EQ(code, 3);
    EXPECT_EQ(log.Count("KeyboardInput: console line too long, ignored"), 1);
    EXPECT_EQ(out.str(), "You entered: \"6\"\n");
}

TEST(KeyboardReader, DestructionStopsAReaderThatWaitsForInput) {
    Pipe input;
    std::ostringstream out;
    {
        KeyboardInput keys(input.ReadEnd(), out);
        input.Type("1\n");
        ASSERT_TRUE(WaitFor([&]() {
            int code = 0, parameter = 0, value = 0;
            return keys.TakeCommand(code, parameter, value);
        }));
        // Nothing more is typed: the reader waits; the destructor must still return.
    }
    // Stop is harmless on a reader that never ran.
    KeyboardInput none(-1, out);
    EXPECT_FALSE(none.IsReaderRunning());
    none.Stop();
    // Input that came after the stop is not read.
    input.Type("5\n");
}

}  // namespace
