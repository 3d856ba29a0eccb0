#include "hardware/HardwareTestSupport.h"

#include "korvella-cansim/FrameFormat.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

namespace HardwareTest {
namespace {

using CanSim::Peer;

class CanSimHubTest : public SimBusTest {};

#ifdef KORVELLA_CANSIM_PROGRAM
// Starts a program with its input and output on /dev/null, in `directory`
// when one is given; the process id, or -1 when it could not start.
pid_t Spawn(std::vector<std::string> args, const std::string& directory = std::string()) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (!directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}
#endif

void ExpectFrame(const can_frame& actual, const can_frame& expected) {
    EXPECT_EQ(actual.can_id, expected.can_id);
    EXPECT_EQ(actual.can_dlc, expected.can_dlc);
    EXPECT_EQ(0, std::memcmp(actual.data, expected.data, expected.can_dlc));
}

TEST_F(CanSimHubTest, FrameReachesEveryOtherPeerButNeverItsSender) {
    auto a = ConnectPeer();
    auto b = ConnectPeer();
    auto c = ConnectPeer();
    const can_frame x = MakeFrame(0x123, {1, 2, 3});
    ASSERT_TRUE(a->Send(x));

    can_frame got;
    ASSERT_TRUE(b->Receive(got, kWaitMs));
    ExpectFrame(got, x);
    ASSERT_TRUE(c->Receive(got, kWaitMs));
    ExpectFrame(got, x);

    // The hub has handled x; had it gone back to a, it would come before y.
    const can_frame y = MakeFrame(0x124, {4});
    ASSERT_TRUE(b->Send(y));
    ASSERT_TRUE(a->Receive(got, kWaitMs));
    ExpectFrame(got, y);
    ASSERT_TRUE(c->Receive(got, kWaitMs));
    ExpectFrame(got, y);
}

TEST_F(CanSimHubTest, SyncFrameWithoutDataIsCarried) {
    auto a = ConnectPeer();
    auto b = ConnectPeer();
    ASSERT_TRUE(a->Send(MakeFrame(0x80, {})));
    can_frame got;
    ASSERT_TRUE(b->Receive(got, kWaitMs));
    EXPECT_EQ(got.can_id, 0x80u);
    EXPECT_EQ(got.can_dlc, 0);
}

TEST_F(CanSimHubTest, FrameLongerThanEightBytesIsRefused) {
    auto a = ConnectPeer();
    auto b = ConnectPeer();

    // The sender's write fails, as on a raw CAN socket.
    errno = 0;
    EXPECT_FALSE(a->Send(MakeFrame(0x10, 9, 0xAA)));
    EXPECT_EQ(errno, EINVAL);

    // What a careless peer writes anyway never reaches the bus.
    const can_frame tooLong = MakeFrame(0x11, 12, 0xBB);
    ASSERT_EQ(a->SendRaw(&tooLong, sizeof(tooLong)), static_cast<ssize_t>(sizeof(tooLong)));
    const unsigned char shortMessage[8] = {0x12, 0, 0, 0, 1, 0, 0, 0};
    ASSERT_EQ(a->SendRaw(shortMessage, sizeof(shortMessage)), 8);
    const can_frame good = MakeFrame(0x13, {7});
    ASSERT_TRUE(a->Send(good));

    can_frame got;
    ASSERT_TRUE(b->Receive(got, kWaitMs));
    ExpectFrame(got, good);
    EXPECT_EQ(hub.FramesRefused(), 2u);
}

TEST_F(CanSimHubTest, FrameLogHasOneLinePerFrame) {
    auto a = ConnectPeer();
    auto b = ConnectPeer();
    ASSERT_TRUE(a->Send(MakeFrame(0x10, {0x42, 0x43, 0, 0, 0, 0, 0, 0})));
    ASSERT_TRUE(a->Send(MakeFrame(0x80, {})));
    can_frame got;
    ASSERT_TRUE(b->Receive(got, kWaitMs));
    ASSERT_TRUE(b->Receive(got, kWaitMs));
    hub.Stop();

    const std::string log = TestSupport::ReadFile(root->File("frames.log"));
    std::istringstream lines(log);
    std::string first, second, extra;
    ASSERT_TRUE(std::getline(lines, first));
    ASSERT_TRUE(std::getline(lines, second));
    EXPECT_FALSE(std::getline(lines, extra));
    // "<seconds>.<microseconds> ID#DATA"
    const auto blank = first.find(' ');
    ASSERT_NE(blank, std::string::npos);
    EXPECT_EQ(first.substr(blank + 1), "010#4243000000000000");
    EXPECT_EQ(first.find('.'), blank - 7);
    EXPECT_EQ(second.substr(second.find(' ') + 1), "080#");
}

TEST(CanSimFrameFormat, IdAndDataInHex) {
    struct Case {
        can_frame frame;
        const char* text;
    };
    can_frame extended = MakeFrame(0x1ABCDEF | CAN_EFF_FLAG, {0xFF});
    can_frame remote = MakeFrame(0x7FF | CAN_RTR_FLAG, {});
    const Case cases[] = {
        {MakeFrame(0x21, {0x05, 0x80}), "021#0580"},
        {MakeFrame(0x7FF, {}), "7FF#"},
        {extended, "01ABCDEF#FF"},
        {remote, "7FF#R"},
    };
    for (const Case& c : cases) EXPECT_EQ(CanSim::FormatFrame(c.frame), c.text);
    EXPECT_EQ(CanSim::FormatLogLine(timespec{12, 3000}, MakeFrame(0x1, {0xA})), "12.000003 001#0A");
}

// Answers every frame on identifier n with identifier n + 1 and counts ticks.
class EchoDevice : public CanSim::Device {
public:
    void OnFrame(const can_frame& frame, const timespec&, CanSim::Bus& bus) override {
        ++framesSeen;
        if (frame.can_id == 0x7F0) ownFrameSeen = true;
        if (frame.can_id < 0x100) {
            can_frame answer = frame;
            answer.can_id = frame.can_id + 1;
            bus.Send(answer);
            // A device hears others, never itself: this one must not come back.
            bus.Send(MakeFrame(0x7F0, {1}));
        }
    }
    void OnTick(const timespec&, CanSim::Bus&) override { ++ticks; }
    std::atomic<int> framesSeen{0};
    std::atomic<int> ticks{0};
    std::atomic<bool> ownFrameSeen{false};
};

// Records what reaches it.
class ListeningDevice : public CanSim::Device {
public:
    void OnFrame(const can_frame& frame, const timespec&, CanSim::Bus&) override {
        std::lock_guard<std::mutex> lock(mutex);
        ids.push_back(frame.can_id);
    }
    std::vector<canid_t> Ids() {
        std::lock_guard<std::mutex> lock(mutex);
        return ids;
    }
    std::mutex mutex;
    std::vector<canid_t> ids;
};

TEST_F(CanSimHubTest, DevicesHearTheBusAndAnswerOnIt) {
    auto echo = std::make_shared<EchoDevice>();
    auto listener = std::make_shared<ListeningDevice>();
    hub.AddDevice(echo);
    hub.AddDevice(listener);
    auto peer = ConnectPeer();

    ASSERT_TRUE(peer->Send(MakeFrame(0x20, {9})));
    can_frame got;
    ASSERT_TRUE(peer->Receive(got, kWaitMs));
    EXPECT_EQ(got.can_id, 0x21u);
    EXPECT_EQ(got.data[0], 9);
    ASSERT_TRUE(peer->Receive(got, kWaitMs));
    EXPECT_EQ(got.can_id, 0x7F0u);

    // Frames from outside reach peers and devices alike.
    hub.Inject(MakeFrame(0x300, {1}));
    ASSERT_TRUE(peer->Receive(got, kWaitMs));
    EXPECT_EQ(got.can_id, 0x300u);
    hub.Stop();

    EXPECT_EQ(listener->Ids(), (std::vector<canid_t>{0x20, 0x21, 0x7F0, 0x300}));
    EXPECT_FALSE(echo->ownFrameSeen);
    EXPECT_EQ(echo->framesSeen, 2);  // 0x20 and 0x300
    EXPECT_GT(echo->ticks, 0);
}

TEST_F(CanSimHubTest, StopClosesPeersAndRemovesTheSocket) {
    auto peer = ConnectPeer();
    hub.Stop();
    can_frame got;
    EXPECT_FALSE(peer->Receive(got, kWaitMs));  // end of stream, not a time-out
    struct stat st;
    EXPECT_NE(lstat(SocketPath().c_str(), &st), 0);
    // The sender sees the bus gone without being killed by SIGPIPE.
    EXPECT_FALSE(peer->Send(MakeFrame(0x1, {1})));
    EXPECT_EQ(errno, EPIPE);
}

TEST_F(CanSimHubTest, StartChecksTheSocketPath) {
    CanSim::Hub second;
    std::string error;
    EXPECT_FALSE(second.Start(SocketPath(), "", &error));  // the first hub still answers there
    EXPECT_NE(error.find("in use"), std::string::npos) << error;

    const std::string plainFile = root->File("not-a-socket");
    TestSupport::WriteFile(plainFile, "x");
    EXPECT_FALSE(second.Start(plainFile, "", &error));
    EXPECT_EQ(TestSupport::ReadFile(plainFile), "x");

    // A socket file left behind by a hub that is gone is replaced.
    hub.Stop();
    const int stale = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, SocketPath().c_str());
    ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    close(stale);
    ASSERT_TRUE(second.Start(SocketPath(), "", &error)) << error;
    Peer peer;
    EXPECT_TRUE(peer.Connect(SocketPath()));
    second.Stop();
}

TEST_F(CanSimHubTest, SecondStartLeavesTheRunningHubAlone) {
    auto a = ConnectPeer();
    auto b = ConnectPeer();
    std::string error;
    EXPECT_FALSE(hub.Start(SocketPath(), "", &error));
    EXPECT_NE(error.find("already running"), std::string::npos) << error;

    EXPECT_TRUE(hub.IsRunning());
    struct stat st;
    EXPECT_EQ(lstat(SocketPath().c_str(), &st), 0);
    const can_frame x = MakeFrame(0x123, {1, 2, 3});
    ASSERT_TRUE(a->Send(x));
    can_frame got;
    ASSERT_TRUE(b->Receive(got, kWaitMs));
    ExpectFrame(got, x);
    Peer late;
    EXPECT_TRUE(late.Connect(SocketPath()));
}

// The program as the README starts it: runs until SIGTERM, writes its log.
TEST_F(CanSimHubTest, ProgramCarriesFramesUntilTerminated) {
#ifndef KORVELLA_CANSIM_PROGRAM
    GTEST_SKIP() << "built without the program's path";
#else
    const std::string program = KORVELLA_CANSIM_PROGRAM;
    const std::string socketPath = root->File("program.sock");
    const std::string logPath = root->File("program.log");

    const pid_t pid = Spawn({program, "--socket", socketPath, "--log", logPath});
    ASSERT_GT(pid, 0);

    Peer a;
    Peer b;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (!a.Connect(socketPath) && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(a.IsConnected());
    ASSERT_TRUE(b.Connect(socketPath));
    // The hub takes on waiting connections before it reads frames, so b
    // hears what a sends after b has connected.
    ASSERT_TRUE(a.Send(MakeFrame(0x55, {0x01, 0x02})));
    can_frame got{};
    ASSERT_TRUE(b.Receive(got, kWaitMs));
    EXPECT_EQ(got.can_id, 0x55u);

    ASSERT_EQ(kill(pid, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(TestSupport::ReadFile(logPath).find(" 055#0102\n"), std::string::npos);
#endif
}

// Started in an empty directory, the program leaves it empty: no log files of
// its own, whatever its modules log.
TEST_F(CanSimHubTest, ProgramLeavesItsWorkingDirectoryEmpty) {
#ifndef KORVELLA_CANSIM_PROGRAM
    GTEST_SKIP() << "built without the program's path";
#else
    const std::string program = KORVELLA_CANSIM_PROGRAM;
    const std::string socketPath = root->File("empty.sock");
    std::string scratch = root->File("emptyXXXXXX");
    ASSERT_NE(mkdtemp(scratch.data()), nullptr);

    const pid_t pid = Spawn({program, "--socket", socketPath, "--log", root->File("empty.log"), "--robot",
                             TestSupport::FixturePath("v2-robot.xml")},
                            scratch);
    ASSERT_GT(pid, 0);

    Peer peer;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (!peer.Connect(socketPath) && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(peer.IsConnected());
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    std::vector<std::string> left;
    DIR* dir = opendir(scratch.c_str());
    ASSERT_NE(dir, nullptr);
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") left.push_back(name);
    }
    closedir(dir);
    EXPECT_TRUE(left.empty()) << left.front();
    rmdir(scratch.c_str());
#endif
}

}  // namespace
}  // namespace HardwareTest
