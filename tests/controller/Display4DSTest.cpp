// The front-panel display link: jog bytes and pages, buttons, the three answer
// frames byte for byte, the frame reader over split and noisy input, and the
// port on a pseudo-terminal (handshake, absent and silent ports, a display that
// stops reading or sending).

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <future>
#include <limits>
#include <string>
#include <vector>

#include "common/LogSingleton.h"
#include "controller/Display4DS.h"
#include "controller/PtyDevice.h"
#include "datatypes/RobotState.h"
#include "support/LogCapture.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes InputFrame(int page, int override, const std::vector<int>& jog = {}, int button = 0) {
    Bytes f(Display4DS::InputFrameSize, 0);
    f[0] = 0xFF;
    f[1] = 0x00;
    f[3] = static_cast<uint8_t>(page);
    f[4] = static_cast<uint8_t>(override);
    for (int i = 0; i < 9; ++i) f[5 + i] = static_cast<uint8_t>(i < static_cast<int>(jog.size()) ? jog[i] : 128);
    f[14] = static_cast<uint8_t>(button);
    return f;
}

void Handle(Display4DS& d, const Bytes& frame) { d.HandleFrame(frame.data()); }

std::vector<float> Jog(const Display4DS& d) { return std::vector<float>(d.jogValues, d.jogValues + 9); }

// Keeps the bias of the other tests.
class BiasGuard {
public:
    explicit BiasGuard(int bias) : saved(Display4DS::jogBias) { Display4DS::jogBias = bias; }
    ~BiasGuard() { Display4DS::jogBias = saved; }

private:
    int saved;
};

TEST(Display4DSInput, JogBytesBecomeStepsAroundTheDeadBand) {
    const struct {
        int bias;
        int byte;
        int step;
    } cases[] = {{30, 128, 0}, {30, 158, 0}, {30, 157, 0}, {30, 99, 0},  {30, 98, 0},  {30, 97, -0},
                 {30, 190, 16}, {30, 255, 48}, {30, 0, -49}, {30, 96, -1}, {0, 129, 0}, {0, 130, 1},
                 {0, 255, 50}, {0, 0, -50},   {10, 0, -50}, {10, 139, 0}};
    for (const auto& c : cases) {
        BiasGuard bias(c.bias);
        EXPECT_EQ(Display4DS::JogStep(static_cast<uint8_t>(c.byte)), c.step) << "bias " << c.bias << " byte " << c.byte;
    }
}

TEST(Display4DSInput, JogPagesMapTheNineStepsToTheAxes) {
    BiasGuard bias(30);
    // Steps s0..s8 = 1..9.
    std::vector<int> jog;
    for (int i = 0; i < 9; ++i) jog.push_back(158 + 2 * (i + 1));
    const struct {
        int page;
        std::vector<float> values;
    } cases[] = {
        {0, {-1, -2, 3, 4, -5, 6, 0, 0, 0}}, {1, {-1, -2, 3, 4, -5, 6, 0, 0, 0}},
        {2, {-2, 3, -1, 4, -5, 6, 0, 0, 0}}, {3, {-2, 3, -1, 4, -5, 6, 0, 0, 0}},
        {4, {-2, 3, -1, 4, -5, 6, 0, 0, 0}}, {5, {-2, 3, -1, 4, -5, 6, 0, 0, 0}},
        {6, {0, 0, 0, 0, 0, 0, 7, 8, 9}},    {7, {-2, -1, -3, 0, 0, 0, 0, 0, 0}},
        {8, {0, 0, 0, 0, 0, 0, 0, 0, 0}},    {255, {0, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        Display4DS d;
        Handle(d, InputFrame(6, 0, jog));  // something else first: every page sets all nine
        Handle(d, InputFrame(c.page, 42, jog));
        EXPECT_EQ(Jog(d), c.values) << "page " << c.page;
        EXPECT_EQ(d.jogPage, c.page);
        EXPECT_EQ(d.override, 42);
    }
}

TEST(Display4DSInput, ButtonsPostTheirCommands) {
    const struct {
        int button;
        int code;
        int parameter;
    } cases[] = {{10, 21, 0},  {11, 21, 0},  {12, 22, 0},  {13, 22, 0},  {14, 23, 0},  {15, 23, 0},  {17, 24, 0},
                 {30, 10, 0},  {40, 13, 0},  {50, 11, 0},  {70, 15, 0},  {71, 15, 1},  {72, 15, 2},  {73, 15, 3},
                 {74, 15, 4},  {75, 15, 6},  {79, 16, 0},  {80, 61, 0},  {81, 3, 0},   {82, 4, 0},   {83, 62, 0},
                 {85, 7, 0},   {86, 8, 0},   {87, 9, 0},   {90, 5, 0},   {91, 52, 0},  {92, 50, 0},  {93, 54, 0},
                 {94, 55, 0},  {95, 83, 0},  {96, 56, 0},  {97, 57, 0},  {100, 80, 0}, {101, 81, 0}, {102, 82, 0},
                 {103, 84, 0}, {110, 70, 0}, {111, 71, 0}, {120, 31, 0}, {121, 32, 1}, {183, 32, 63}, {150, 31, 30},
                 {1, 0, 0},    {16, 0, 0},   {76, 0, 0},   {119, 0, 0},  {184, 0, 0},  {255, 0, 0}};
    DataTypes::RobotState state;
    state.digitalOutputs[1] = true;
    state.digitalOutputs[63] = true;
    for (const auto& c : cases) {
        Display4DS d;
        d.SetValues(state);
        Handle(d, InputFrame(0, 10, {}, c.button));
        EXPECT_EQ(d.GetCommand(), c.code) << "button " << c.button;
        if (c.code != 0) {
            EXPECT_EQ(d.parameter, c.parameter) << "button " << c.button;
        }
        EXPECT_EQ(d.GetCommand(), 0) << "taking clears it";
    }

    Display4DS d;
    Handle(d, InputFrame(0, 77, {}, 60));
    EXPECT_EQ(d.value, 77);
    // A later button replaces a command not yet taken; a frame without one keeps it.
    Handle(d, InputFrame(0, 20, {}, 30));
    Handle(d, InputFrame(0, 20, {}, 0));
    EXPECT_EQ(d.GetCommand(), 10);
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

TEST(Display4DSAnswer, MessageAndFileNameFramesPadOrCutTheText) {
    EXPECT_EQ(Display4DS::BuildMessageFrame("Hello"),
              Concat({{0xFF, 2, 0x22}, Text("Hello"), {0x00}, Bytes(27, ' '), {0x42, 0xFF}}));
    const std::string forty = "0123456789abcdefghijABCDEFGHIJ0123456789";
    EXPECT_EQ(Display4DS::BuildMessageFrame(forty), Concat({{0xFF, 2, 0x22}, Text(forty.substr(0, 33)), {0x42, 0xFF}}));
    EXPECT_EQ(Display4DS::BuildMessageFrame(""), Concat({{0xFF, 2, 0x22}, {0x00}, Bytes(32, ' '), {0x42, 0xFF}}));
    EXPECT_EQ(Display4DS::BuildFilenameFrame("Demo.xml"),
              Concat({{0xFF, 1, 0x14}, Text("Demo.xml"), {0x00}, Bytes(11, ' '), {0x42, 0xFF}}));
    EXPECT_EQ(Display4DS::BuildFilenameFrame("a_very_long_program_name.xml"),
              Concat({{0xFF, 1, 0x14}, Text("a_very_long_program_"), {0x42, 0xFF}}));
}

TEST(Display4DSAnswer, PositionFrameCarriesTheRobotState) {
    DataTypes::RobotState state;
    const float joints[9] = {-360.0f, 0.0f, 12.34f, 9999.0f, std::numeric_limits<float>::quiet_NaN(), 5.0f,
                             -1.25f, -7000.0f, 0.05f};
    for (int i = 0; i < 9; ++i) {
        state.jointSetPoint[i] = joints[i];
        state.jointErrorCodes[i] = 0x100 + i;
        state.jointTemperatures[i] = 40.9f + static_cast<float>(i);
    }
    state.jointErrorCodes[10] = 0x55;
    state.platformSetPoint[0] = 1.5f;
    state.platformSetPoint[3] = -2.0f;
    state.supply = 24987;
    state.currentAll = 1234;
    state.override = 55.9f;
    state.kinematicState = 3;
    state.programValue4 = 7;
    state.programState = 1;
    state.programCommandIndex = -4;
    state.programCommandCount = 70000;
    state.programText = "running a long program text";
    state.referenceStatus = 2;
    state.jointsReferenced[0] = true;
    state.jointsReferenced[9] = true;
    state.digitalInputs[20] = true;
    state.digitalInputs[27] = true;
    state.digitalInputs[47] = true;
    state.digitalInputs[19] = true;  // outside the groups
    state.digitalOutputs[30] = true;
    state.errorText = "NoError";

    Display4DS d;
    for (int i = 0; i < 5; ++i) d.SetValues(state);  // fills the supply window
    const Bytes frame = d.BuildPositionFrame();
    ASSERT_EQ(frame.size(), Display4DS::PositionFrameSize);

    Bytes expected(Display4DS::PositionFrameSize, 0);
    expected[0] = 0xFF;
    expected[2] = 0x1C;
    // Joint entry 6 shows the first external axis.
    const int fields[9] = {0, 3600, 3723, 65535, 3600, 3588, 3588, 0, 3600};
    for (int i = 0; i < 9; ++i) {
        expected[3 + 4 * i] = static_cast<uint8_t>(fields[i] >> 8);
        expected[4 + 4 * i] = static_cast<uint8_t>(fields[i] & 0xFF);
        expected[5 + 4 * i] = static_cast<uint8_t>(i);
        expected[6 + 4 * i] = static_cast<uint8_t>(40 + i);
    }
    expected[39] = 24980 >> 8;
    expected[40] = 24980 & 0xFF;
    expected[41] = 0;
    expected[42] = 123;
    expected[43] = 55;
    expected[44] = 3;
    expected[45] = 7;
    expected[46] = 1;
    expected[47] = 0;  // a negative command index shows as 0
    expected[48] = 0;
    expected[49] = 0xFF;  // 70000 does not fit
    expected[50] = 0xFF;
    const std::string info = "running a long progr";
    std::copy(info.begin(), info.end(), expected.begin() + 52);
    expected[72] = 2;
    expected[73] = 0x02;
    expected[74] = 0x01;
    expected[75] = 0x81;
    expected[77] = 0x80;
    expected[79] = 0x01;
    const std::string status = "NoError             ";
    std::copy(status.begin(), status.end(), expected.begin() + 81);
    expected[101] = 0x42;
    expected[102] = 0xFF;
    EXPECT_EQ(frame, expected);

    // Page 7 shows the four platform values instead, the other entries empty.
    Handle(d, InputFrame(7, 0));
    const Bytes platform = d.BuildPositionFrame();
    EXPECT_EQ(Bytes(platform.begin() + 3, platform.begin() + 19),
              (Bytes{0x0E, 0x1F, 0x08, 0, 0x0E, 0x10, 0, 0, 0x0E, 0x10, 0x55, 0, 0x0D, 0xFC, 0, 0}));
    EXPECT_EQ(Bytes(platform.begin() + 19, platform.begin() + 39), Bytes(20, 0));
}

TEST(Display4DSAnswer, UnsetDisplayShowsItsDefaults) {
    Display4DS d;
    const Bytes frame = d.BuildPositionFrame();
    EXPECT_EQ(Bytes(frame.begin() + 52, frame.begin() + 72), Text("na                  "));
    EXPECT_EQ(frame[3], 0x0E);
    EXPECT_EQ(frame[4], 0x10);
}

// ---- The frame reader ----

class Display4DSReader : public ::testing::Test {
protected:
    // The frames the reader hands out for the bytes, fed in the given pieces.
    std::vector<Bytes> Frames(const std::vector<Bytes>& pieces) {
        std::vector<Bytes> frames;
        for (const Bytes& piece : pieces) {
            d.ReceiveBytes(piece.data(), piece.size());
            uint8_t frame[Display4DS::InputFrameSize];
            while (d.NextFrame(frame)) frames.emplace_back(frame, frame + Display4DS::InputFrameSize);
        }
        return frames;
    }
    Display4DS d;
};

TEST_F(Display4DSReader, JoinsSplitFramesAndSkipsNoise) {
    const Bytes a = InputFrame(1, 10, {}, 30);
    const Bytes b = InputFrame(2, 20, {}, 40);
    EXPECT_EQ(Frames({Bytes(a.begin(), a.begin() + 5), Bytes(a.begin() + 5, a.end())}), std::vector<Bytes>{a});
    EXPECT_EQ(Frames({Concat({{0x01, 0xFF, 0x7F, 0x00}, a, {0xFF}, b})}), (std::vector<Bytes>{a, b}));
    // A lone 0xFF at the end may begin the next header.
    EXPECT_EQ(Frames({Concat({a, {0xFF}}), Bytes(b.begin() + 1, b.end())}), (std::vector<Bytes>{a, b}));
}

// A frame missing the byte at `at`.
Bytes Cut(const Bytes& frame, std::size_t at) {
    Bytes cut = frame;
    cut.erase(cut.begin() + static_cast<std::ptrdiff_t>(at));
    return cut;
}

TEST_F(Display4DSReader, CutOrLongFramesAreDroppedAndTheFramesAfterThemKept) {
    const Bytes a = InputFrame(1, 99, {128, 255}, 30);
    const Bytes b = InputFrame(2, 20);
    const Bytes c = InputFrame(3, 30, {}, 40);
    const struct {
        const char* what;
        std::vector<Bytes> pieces;
        std::vector<Bytes> frames;
    } cases[] = {
        {"last byte missing", {Concat({Cut(a, 16), b, c})}, {b, c}},
        {"jog byte missing", {Concat({Cut(a, 5), b, c})}, {b, c}},
        {"header byte missing", {Concat({Cut(a, 1), b})}, {b}},
        {"one byte too many", {Concat({a, {0x33}, b, c})}, {b, c}},
        {"cut frame read alone, the next one later", {Cut(a, 16), b, c}, {b, c}},
        {"cut frame and the next header in one read", {Concat({Cut(a, 16), {0xFF}}), Bytes(b.begin() + 1, b.end())},
         {b}},
        {"two cut frames in a row", {Concat({Cut(a, 16), Cut(c, 10), b})}, {b}},
        {"a good frame before a cut one", {Concat({c, Cut(a, 16), b})}, {c, b}},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(t.what);
        Display4DS fresh;
        std::vector<Bytes> frames;
        for (const Bytes& piece : t.pieces) {
            fresh.ReceiveBytes(piece.data(), piece.size());
            uint8_t frame[Display4DS::InputFrameSize];
            // As the port reader does after a read that brought bytes.
            while (fresh.NextFrame(frame, true)) frames.emplace_back(frame, frame + Display4DS::InputFrameSize);
        }
        EXPECT_EQ(frames, t.frames);
    }
}

TEST_F(Display4DSReader, BoundsWhatItKeeps) {
    const Bytes noise(10000, 0xFF);
    Frames({noise});
    const Bytes a = InputFrame(1, 10);
    // The buffer never grew past its bound, and a header after the noise is found.
    EXPECT_EQ(Frames({Bytes{0x01}, a}).back(), a);
}

// ---- On a pseudo-terminal ----

class Display4DSPort : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.Ok());
        std::string drained;
        LogSingleton::instance()->DisplayGetFilename(&drained);
        d.searchPorts.clear();
    }

    void ConnectTalking() {
        pty.StartSending(InputFrame(0, 50), 5);
        ASSERT_TRUE(d.Connect(pty.Name()));
        pty.StopSending();
        // Answer what queued up during the handshake.
        for (int quiet = 0; quiet < 3;) {
            d.update();
            quiet = pty.Read(30).empty() ? quiet + 1 : 0;
        }
    }

    // One pass after the bytes reached the port; what it answered.
    Bytes Pass(const Bytes& in) {
        if (!in.empty()) {
            EXPECT_TRUE(pty.Write(in));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        d.update();
        return pty.Read(100);
    }

    PtyTest::PtyDevice pty;
    Display4DS d;
    TestSupport::LogCapture log;
};

TEST_F(Display4DSPort, ConnectsAndAnswersEveryFrame) {
    ConnectTalking();
    EXPECT_TRUE(d.IsConnected());
    for (const char* line :
         {"Display 4DS: Connecting...", "Display 4DS: Opened successfully. Configuring...",
          "Display 4DS: Port successfully configured, checking connection", "Display 4DS: Connection successful"}) {
        EXPECT_TRUE(log.Has(line)) << line;
    }
    EXPECT_TRUE(log.Has("Display 4DS: Trying serial port " + pty.Name()));
    EXPECT_FALSE(log.Has("Display 4DS: Detecting serial port"));

    DataTypes::RobotState state;
    state.jointSetPoint[0] = -360.0f;
    d.SetValues(state);
    Bytes answer = Pass(InputFrame(0, 50));
    ASSERT_EQ(answer.size(), Display4DS::PositionFrameSize);
    EXPECT_EQ(answer, d.BuildPositionFrame());
    EXPECT_EQ(answer[3], 0);
    EXPECT_EQ(answer[4], 0);

    LogSingleton::instance()->DisplaySetFilename("Demo.xml");
    EXPECT_EQ(Pass(InputFrame(0, 50)), Display4DS::BuildFilenameFrame("Demo.xml"));
    EXPECT_EQ(Pass(InputFrame(0, 50)).size(), Display4DS::PositionFrameSize);

    // Split over two passes: nothing for the first half, the answer for the whole.
    const Bytes f = InputFrame(0, 50, {}, 30);
    EXPECT_TRUE(Pass(Bytes(f.begin(), f.begin() + 9)).empty());
    EXPECT_EQ(Pass(Bytes(f.begin() + 9, f.end())).size(), Display4DS::PositionFrameSize);
    EXPECT_EQ(d.GetCommand(), 10);
    // Behind noise, and two frames at once: one answer per pass, in order.
    EXPECT_EQ(Pass(Concat({{0x12, 0x00, 0xFF}, InputFrame(0, 50, {}, 40), InputFrame(0, 50, {}, 50)})).size(),
              Display4DS::PositionFrameSize);
    EXPECT_EQ(d.GetCommand(), 13);
    EXPECT_EQ(Pass({}).size(), Display4DS::PositionFrameSize);
    EXPECT_EQ(d.GetCommand(), 11);
    EXPECT_TRUE(Pass({}).empty());
}

TEST_F(Display4DSPort, ACutFrameActsOnNothingAndTheFrameAfterItIsAnswered) {
    ConnectTalking();
    // Override 99 with the last byte lost, then a good frame in the same read.
    const Bytes overriding = InputFrame(0, 99, {}, 60);
    const Bytes good = InputFrame(0, 50, {}, 30);
    EXPECT_EQ(Pass(Concat({Cut(overriding, 16), good})).size(), Display4DS::PositionFrameSize);
    EXPECT_EQ(d.override, 50);
    EXPECT_EQ(d.GetCommand(), 10) << "the good frame's button";
    EXPECT_TRUE(Pass({}).empty()) << "nothing else was taken for a frame";
    // The read stops right after the next frame's header byte: held until the rest shows it was cut.
    EXPECT_TRUE(Pass(Concat({Cut(overriding, 16), {0xFF}})).empty());
    EXPECT_EQ(Pass(Bytes(good.begin() + 1, good.end())).size(), Display4DS::PositionFrameSize);
    EXPECT_EQ(d.override, 50);
    EXPECT_EQ(d.GetCommand(), 10);
    // A whole frame that happens to end in 0xFF waits one pass at most.
    Bytes endsInHeader = InputFrame(0, 70);
    endsInHeader[16] = 0xFF;
    EXPECT_TRUE(Pass(endsInHeader).empty());
    EXPECT_EQ(Pass({}).size(), Display4DS::PositionFrameSize);
    EXPECT_EQ(d.override, 70);

    // Axis 2 jogged, its frame missing the page byte: no pass jogs a neighbour.
    const Bytes jog = InputFrame(0, 50, {128, 255});
    EXPECT_EQ(Pass(Concat({Cut(jog, 3), good})).size(), Display4DS::PositionFrameSize);
    EXPECT_EQ(Jog(d), std::vector<float>(9, 0.0f));
    EXPECT_TRUE(Pass({}).empty());
    Pass(jog);
    EXPECT_EQ(d.jogValues[1], -48.0f);
    EXPECT_EQ(d.jogValues[0], 0.0f);
}

TEST_F(Display4DSPort, MessagesGoBeforeFileNames) {
    ConnectTalking();
    LogSingleton::instance()->DisplaySetFilename("sub/");
    LogSingleton::instance()->DisplayAndServerSetMessage("Hello");
    EXPECT_EQ(Pass(InputFrame(0, 50)), Display4DS::BuildMessageFrame("Hello"));
    // The message stays for a while; the file name waits for it.
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    Bytes answer;
    for (int i = 0; i < 5 && answer != Display4DS::BuildFilenameFrame("sub/"); ++i) answer = Pass(InputFrame(0, 50));
    EXPECT_EQ(answer, Display4DS::BuildFilenameFrame("sub/"));
}

TEST_F(Display4DSPort, HandshakeLeftoversCompleteTheFirstFrame) {
    // The display sends one frame; the handshake takes its header.
    pty.StartSending(InputFrame(0, 50, {}, 30), 400);
    ASSERT_TRUE(d.Connect(pty.Name()));
    pty.StopSending();
    d.update();
    EXPECT_EQ(pty.Read().size(), Display4DS::PositionFrameSize);
    EXPECT_EQ(d.GetCommand(), 10);
}

TEST_F(Display4DSPort, AbsentSilentAndNonTerminalPortsLeaveItUnconnected) {
    EXPECT_FALSE(d.Connect("/nonexistent/ttyX"));
    EXPECT_TRUE(log.HasError("Display 4DS: Port not available"));
    EXPECT_TRUE(log.Has("Display 4DS: Detecting serial port"));

    log.Clear();
    d.searchPorts = {"/nonexistent/ttyY", "/dev/null"};
    EXPECT_FALSE(d.Connect(""));
    EXPECT_FALSE(log.Has("Display 4DS: Trying serial port "));
    EXPECT_TRUE(log.Has("Display 4DS: Trying serial port /nonexistent/ttyY"));
    EXPECT_TRUE(log.HasError("Error: device is not a tty..."));

    log.Clear();
    d.searchPorts.clear();
    // Noise without a frame header, then silence.
    ASSERT_TRUE(pty.Write(Bytes(20, 0x11)));
    EXPECT_FALSE(d.Connect(pty.Name()));
    EXPECT_TRUE(log.HasError("Display 4DS: Port available but no display connected"));
    EXPECT_FALSE(d.IsConnected());
    // Unconnected: nothing is read or answered.
    pty.Write(InputFrame(0, 50, {}, 30));
    d.update();
    EXPECT_EQ(d.GetCommand(), 0);
}

TEST_F(Display4DSPort, ADisplayThatStopsSendingReleasesItsJogKeys) {
    ConnectTalking();
    Pass(InputFrame(0, 50, {255}));
    EXPECT_EQ(d.jogValues[0], -48.0f);
    for (int i = 1; i < Display4DS::StalePasses; ++i) d.update();
    EXPECT_EQ(d.jogValues[0], -48.0f);
    d.update();
    EXPECT_EQ(d.jogValues[0], 0.0f);
    Pass(InputFrame(0, 50, {255}));
    EXPECT_EQ(d.jogValues[0], -48.0f);
}

TEST_F(Display4DSPort, ADisplayThatStopsReadingNeverBlocks) {
    ConnectTalking();
    // Frames keep coming, answers are never read: the port's buffer fills up.
    auto passes = std::async(std::launch::async, [this]() {
        const Bytes frame = InputFrame(0, 50);
        for (int i = 0; i < 3000; ++i) {
            if (write(pty.master, frame.data(), frame.size()) < 0) {
            }
            d.update();
        }
    });
    if (passes.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ADD_FAILURE() << "update blocked on a full port";
        // Unblock the writer so the test can end.
        close(pty.master);
        pty.master = -1;
    }
    passes.wait();
}

}  // namespace
