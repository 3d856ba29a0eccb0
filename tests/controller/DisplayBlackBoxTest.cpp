// The controller program with its front-panel display on a pseudo-terminal that
// the test plays: connection, answers to every frame, the override button and
// the program browser's buttons.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "controller/Display4DS.h"
#include "controller/PtyDevice.h"
#include "controller/RobotMasterSimBus.h"

using SimBusTest::Controller;
using SimBusTest::Sample;
using SimBusTest::WaitFor;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes InputFrame(int button, int override = 50) {
    Bytes f(Display4DS::InputFrameSize, 128);
    f[0] = 0xFF;
    f[1] = 0x00;
    f[2] = 0;
    f[3] = 0;
    f[4] = static_cast<uint8_t>(override);
    f[14] = static_cast<uint8_t>(button);
    f[15] = 0;
    f[16] = 0;
    return f;
}

// The display's side: one frame out, one answer back.
class PlayedDisplay {
public:
    explicit PlayedDisplay(PtyTest::PtyDevice& pty) : pty(pty) {}

    // The next whole answer frame, empty when none came in time.
    Bytes ReadAnswer(int ms = 5000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (true) {
            while (!rx.empty() && rx[0] != 0xFF) rx.erase(rx.begin());
            if (rx.size() >= 2) {
                const std::size_t size = rx[1] == 2   ? Display4DS::MessageFrameSize
                                         : rx[1] == 1 ? Display4DS::FilenameFrameSize
                                                      : Display4DS::PositionFrameSize;
                if (rx.size() >= size) {
                    Bytes frame(rx.begin(), rx.begin() + static_cast<std::ptrdiff_t>(size));
                    rx.erase(rx.begin(), rx.begin() + static_cast<std::ptrdiff_t>(size));
                    return frame;
                }
            }
            if (std::chrono::steady_clock::now() > end) return {};
            const Bytes got = pty.Read(50);
            rx.insert(rx.end(), got.begin(), got.end());
        }
    }

    Bytes Exchange(int button = 0, int override = 50) {
        EXPECT_TRUE(pty.Write(InputFrame(button, override)));
        Bytes answer = ReadAnswer();
        if (answer.empty()) ++unanswered;
        return answer;
    }

    // Plays until an answer meets the condition; that answer, or empty.
    Bytes ExchangeUntil(const std::function<bool(const Bytes&)>& wanted, int limit = 200) {
        for (int i = 0; i < limit; ++i) {
            const Bytes answer = Exchange();
            if (!answer.empty() && wanted(answer)) return answer;
        }
        return {};
    }

    int unanswered = 0;

private:
    PtyTest::PtyDevice& pty;
    Bytes rx;
};

std::string TextOf(const Bytes& frame, std::size_t from, std::size_t length) {
    std::string text(frame.begin() + static_cast<std::ptrdiff_t>(from),
                     frame.begin() + static_cast<std::ptrdiff_t>(from + length));
    const std::size_t end = text.find('\0');
    if (end != std::string::npos) text.resize(end);
    return text;
}

bool IsFilename(const Bytes& f, const std::string& name) {
    return f.size() == Display4DS::FilenameFrameSize && TextOf(f, 3, 20) == name;
}

TEST(DisplayBlackBox, AnswersEveryFrameSetsTheOverrideAndBrowsesAndLoadsPrograms) {
    PtyTest::PtyDevice pty;
    ASSERT_TRUE(pty.Ok());
    Sample sample;
    sample.EditRobot([&](tinyxml2::XMLElement* robot) {
        robot->FirstChildElement("Korvella")->SetAttribute("DisplayPort", pty.Name().c_str());
    });
    TestSupport::WriteFile(sample.File("Data/Programs/sub/Inner.xml"),
                           TestSupport::ReadFile(sample.File("Data/Programs/DemoTally.xml")));
    sample.StartBus();
    // The display talks on its own until the controller answered the handshake.
    pty.StartSending(InputFrame(0), 20);
    Controller c(sample);
    ASSERT_TRUE(c.WaitForMessage("Display 4DS: Connection successful"));
    EXPECT_EQ(c.Count("Display 4DS: Trying serial port " + pty.Name()), 1);
    pty.StopSending();
    PlayedDisplay display(pty);

    // The start message with the version, then positions.
    const Bytes greeting = display.ExchangeUntil([](const Bytes& f) {
        return f.size() == Display4DS::MessageFrameSize && TextOf(f, 3, 33) == "Korvella R980-13-039";
    });
    ASSERT_FALSE(greeting.empty()) << "no start message on the display";
    const Bytes position =
        display.ExchangeUntil([](const Bytes& f) { return f.size() == Display4DS::PositionFrameSize; });
    ASSERT_FALSE(position.empty());
    EXPECT_EQ(position[101], 0x42);
    EXPECT_EQ(position[102], 0xFF);

    // The positions are the robot's joints, as the status line logs them.
    ASSERT_TRUE(WaitFor([&]() { return !c.StartingWith("Pos: ").empty(); }, std::chrono::seconds(30)));
    const std::string status = c.StartingWith("Pos: ").back();
    std::istringstream joints(status.substr(status.find("Joints: ") + 8));
    const Bytes now = display.ExchangeUntil([](const Bytes& f) { return f.size() == Display4DS::PositionFrameSize; });
    ASSERT_FALSE(now.empty());
    for (int i = 0; i < 5; ++i) {
        double joint = 0.0;
        joints >> joint;
        const int field = now[3 + 4 * i] << 8 | now[4 + 4 * i];
        EXPECT_NEAR((field - 3600) / 10.0, joint, 0.15) << "joint " << i + 1 << " in " << status;
    }

    // The browser: show the selection, enter the directory and leave it by "../".
    display.Exchange(103);
    EXPECT_FALSE(display.ExchangeUntil([](const Bytes& f) { return IsFilename(f, "sub/"); }, 50).empty());
    display.Exchange(102);
    EXPECT_FALSE(display.ExchangeUntil([](const Bytes& f) { return IsFilename(f, "../"); }, 50).empty());
    display.Exchange(100);
    EXPECT_FALSE(display.ExchangeUntil([](const Bytes& f) { return IsFilename(f, "Inner.xml"); }, 50).empty());
    display.Exchange(101);
    display.Exchange(102);
    EXPECT_FALSE(display.ExchangeUntil([](const Bytes& f) { return IsFilename(f, "sub/"); }, 50).empty());
    EXPECT_EQ(c.Count("IPO: Changing program directory sub/"), 1);
    // Walking directories stops nothing and queues no project rewrite: none by the next status line.
    const std::size_t statusLines = c.StartingWith("Pos: ").size();
    ASSERT_TRUE(WaitFor(
        [&]() {
            display.Exchange();
            return c.StartingWith("Pos: ").size() > statusLines;
        },
        std::chrono::seconds(30)));
    EXPECT_TRUE(c.StartingWith("ProjectManager: Start program set to").empty());
    EXPECT_TRUE(c.StartingWith("IPO: Loading program").empty());

    // Button 60 sets the override from the frame's override byte.
    display.Exchange(60, 30);
    // Next and previous.
    display.Exchange(100);
    EXPECT_FALSE(display.ExchangeUntil([](const Bytes& f) { return IsFilename(f, "Demo.xml"); }, 50).empty());
    display.Exchange(100);
    EXPECT_FALSE(display.ExchangeUntil([](const Bytes& f) { return IsFilename(f, "DemoTally.xml"); }, 50).empty());
    display.Exchange(101);
    EXPECT_FALSE(display.ExchangeUntil([](const Bytes& f) { return IsFilename(f, "Demo.xml"); }, 50).empty());
    display.Exchange(100);
    EXPECT_FALSE(display.ExchangeUntil([](const Bytes& f) { return IsFilename(f, "DemoTally.xml"); }, 50).empty());
    // Button 82 loads the selected program; the project file names it with the new override.
    display.Exchange(102);
    ASSERT_TRUE(c.WaitForMessage("IPO: Loading program DemoTally.xml"));
    ASSERT_TRUE(WaitFor(
        [&]() {
            display.Exchange();
            return c.Count("ProjectManager: Start program set to DemoTally.xml, override 30.0, repeat 1") > 0;
        },
        std::chrono::seconds(40)));
    const std::string project = TestSupport::ReadFile(sample.ProjectFile());
    EXPECT_NE(project.find("File=\"DemoTally.xml\""), std::string::npos) << project;
    EXPECT_NE(project.find("Override=\"30\""), std::string::npos) << project;
    EXPECT_EQ(display.unanswered, 0);
    c.Stop();
}

}  // namespace
