// A remote client on a slow link beside a camera that sends whole pictures,
// over loopback with a main loop running its passes: the client reads at a
// fixed rate, stays connected, gets every picture line whole, and its
// commands are acted on at once rather than after the pictures queued before.

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/LogSingleton.h"
#include "controller/RobotMaster.h"
#include "datatypes/RobotState.h"
#include "server/ComServer.h"
#include "server/ComServerManager.h"
#include "server/ServerTestSupport.h"
#include "support/LogCapture.h"
#include "vision/CameraInterface.h"
#include "vision/CameraManager.h"
#include "vision/Image.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ServerTest::Client;
using ServerTest::WaitFor;

// The size of a smart camera's picture line as seen on site.
constexpr std::size_t PictureLength = 481000;

// A picture whose text is one letter, PictureLength times.
class LetterPicture : public Imaging::Image {
public:
    explicit LetterPicture(char letter) : Image(1, 1), letter(letter) {}
    void EncodeHXP(std::vector<char>& out, bool) const override {
        out.assign(PictureLength, letter);
        out.push_back('\0');
    }
    void EncodeCloud(std::vector<unsigned char>& out) const override { out.clear(); }

private:
    char letter;
};

class PictureCamera : public Camera::CameraInterface {
public:
    PictureCamera() : CameraInterface("Test", "cell") {}
    void Start() override {}
    void Stop() override {}
    bool GetTargetPos(DataTypes::Vector3&, DataTypes::Vector3&, int&) const override { return false; }
    int Read(tinyxml2::XMLElement&) override { return 0; }
    tinyxml2::XMLElement* Write(tinyxml2::XMLDocument&) override { return nullptr; }
    std::string GetHXPConfigString(int count) const override {
        return "CONFIG Camera " + std::to_string(count) + " Test cell";
    }
    int GetStatus() const override { return 2; }
};

class RemoteSlowClient : public ::testing::Test {
protected:
    void SetUp() override {
        LogSingleton::instance()->set_opMode(opModeNormal);
        Camera::CameraManager::Instance()->Clear();
        manager = ComServerManager::Instance();
        manager->SetPort(0);
        manager->Init(&rm, nullptr, nullptr);
        manager->Start();
        ASSERT_TRUE(WaitFor([&]() { return manager->GetBoundPort() != 0; })) << "listener did not start";
        camera = new PictureCamera();
        Camera::CameraManager::Instance()->Add(camera);
        ASSERT_TRUE(WaitFor([] { return Camera::CameraManager::Instance()->Count() == 1; }));
        // The main loop's passes: status lines (the pictures among them) and the clients' commands.
        mainLoop = std::thread([this]() {
            DataTypes::RobotState state;
            while (!stop) {
                manager->CallSetCurrentPos(state);
                manager->CallPublishData();
                manager->SendServerMessages();
                manager->CallPublishLogMessage();
                int32_t code = 0, parameter = 0;
                float value = 0;
                if (manager->TakePendingCommand(code, parameter, value)) {
                    std::lock_guard<std::mutex> lock(takenMutex);
                    taken.push_back({code, Clock::now()});
                }
                std::this_thread::sleep_for(25ms);
            }
        });
        // The camera sends a new picture four times a second.
        pictures = std::thread([this]() {
            for (char letter = 'A'; !stop; letter = letter == 'Z' ? 'A' : static_cast<char>(letter + 1)) {
                camera->SetImage(std::make_shared<LetterPicture>(letter));
                camera->CheckEncodeHXPImage();
                for (int i = 0; i < 25 && !stop; ++i) std::this_thread::sleep_for(10ms);
            }
        });
    }
    void TearDown() override {
        StopThreads();
        manager->Shutdown();
        Camera::CameraManager::Instance()->Clear();
        WaitFor([] { return Camera::CameraManager::Instance()->Count() == 0; });
    }
    void StopThreads() {
        stop = true;
        if (mainLoop.joinable()) mainLoop.join();
        if (pictures.joinable()) pictures.join();
    }
    // When the main loop took a command of the code first at or after `since`.
    bool TakenAfter(int code, Clock::time_point since, Clock::time_point& when) {
        std::lock_guard<std::mutex> lock(takenMutex);
        for (const auto& t : taken)
            if (t.first == code && t.second >= since) {
                when = t.second;
                return true;
            }
        return false;
    }

    RobotMaster rm;
    ComServerManager* manager = nullptr;
    PictureCamera* camera = nullptr;  // owned by the camera manager
    std::atomic<bool> stop{false};
    std::thread mainLoop;
    std::thread pictures;
    std::mutex takenMutex;
    std::vector<std::pair<int, Clock::time_point>> taken;
    TestSupport::LogCapture log;
};

// Reads at most `bytesPerSecond` in steps of 20 ms, from a socket with a small
// window, and keeps what the frames said.
class SlowReader {
public:
    SlowReader(Client& client, int bytesPerSecond) : client(client), step(bytesPerSecond / 50) {
        thread = std::thread([this]() { Run(); });
    }
    ~SlowReader() { Stop(); }
    void Stop() {
        stop = true;
        if (thread.joinable()) thread.join();
    }
    std::vector<std::string> Replies() {
        std::lock_guard<std::mutex> lock(mutex);
        return replies;
    }
    std::atomic<int> pictures{0};        // whole picture lines of the camera
    std::atomic<int> brokenPictures{0};  // picture lines that were not one picture text
    std::atomic<bool> closed{false};

private:
    void Run() {
        std::string pending;
        std::vector<char> buffer(static_cast<std::size_t>(step));
        auto next = Clock::now();
        while (!stop) {
            next += 20ms;
            std::this_thread::sleep_until(next);
            const ssize_t n = recv(client.Fd(), buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n == 0) {
                closed = true;
                return;
            }
            if (n < 0) continue;
            pending.append(buffer.data(), static_cast<std::size_t>(n));
            for (std::size_t end = pending.find(" HXPEND\n"); end != std::string::npos;
                 end = pending.find(" HXPEND\n")) {
                Take(pending.substr(0, end));
                pending.erase(0, end + 8);
            }
        }
    }
    void Take(const std::string& frame) {
        const std::size_t body = frame.find(' ', 9);
        if (body == std::string::npos) return;
        const std::string text = frame.substr(body + 1);
        const std::string prefix = "CAMINFO CameraImage cell ";
        if (text.rfind(prefix, 0) == 0) {
            const std::string picture = text.substr(prefix.size());
            const bool whole = picture.size() == PictureLength &&
                               picture.find_first_not_of(picture[0]) == std::string::npos;
            ++(whole ? pictures : brokenPictures);
        } else if (text.rfind("CMD", 0) == 0) {
            std::lock_guard<std::mutex> lock(mutex);
            replies.push_back(text);
        }
    }

    Client& client;
    const int step;
    std::atomic<bool> stop{false};
    std::thread thread;
    std::mutex mutex;
    std::vector<std::string> replies;
};

TEST(PictureQueue, ACamerasNewerPictureReplacesItsOlderOneStillQueued) {
    RobotMaster rm;
    ComServer connection(&rm, nullptr, nullptr, -1);
    for (const char* body : {"CAMINFO CameraImage cell AAAA", "STATUS one", "CAMINFO CameraImage side BBBB",
                             "CAMINFO CameraResult Test cell CONNECTED 0 0 0 0 0 0 -1", "CAMINFO CameraImage cell CC",
                             "STATUS two", "CAMINFO CameraImage cel DDDD", "CAMINFO CameraImage cell NOIMAGE"})
        connection.SendToClient(body);
    const std::vector<std::string> expected = {"STATUS one", "CAMINFO CameraImage side BBBB",
                                               "CAMINFO CameraResult Test cell CONNECTED 0 0 0 0 0 0 -1",
                                               "STATUS two", "CAMINFO CameraImage cel DDDD",
                                               "CAMINFO CameraImage cell NOIMAGE"};
    EXPECT_EQ(connection.QueuedBodies(), expected);
    std::size_t bytes = 0;
    for (const std::string& body : expected) bytes += body.size();
    EXPECT_EQ(connection.QueuedBytes(), bytes);
}

TEST_F(RemoteSlowClient, AClientReadingSlowlyBesideAPictureCameraStaysAndHasItsCommandsActedOnAtOnce) {
    // 100 kB/s (a cellular or VPN link): far less than the camera's pictures
    // need, far more than the status lines need.
    Client client;
    const int window = 16 * 1024;
    ASSERT_TRUE(client.Connect(manager->GetBoundPort(), window));
    ASSERT_TRUE(WaitFor([&]() { return manager->GetActiveServer() != nullptr; }));
    const std::shared_ptr<ComServer> connection = manager->GetActiveServer();
    // Loopback would let the kernel take megabytes on the server's side; a slow
    // link holds little more than it carries, as here.
    const int linkBuffer = 32 * 1024;
    ASSERT_EQ(setsockopt(connection->GetSocket(), SOL_SOCKET, SO_SNDBUF, &linkBuffer, sizeof(linkBuffer)), 0);
    SlowReader reader(client, 100 * 1000);

    // Commands now and then while pictures flow; a stop and a pause among them.
    const int commands[] = {4, 3, 10, 4};
    const char* const keywords[] = {"StopProgram", "PauseProgram", "Reset", "StopProgram"};
    std::chrono::milliseconds longest{0};
    std::size_t peak = 0;
    for (int i = 0; i < 4; ++i) {
        const auto until = Clock::now() + 3s;
        while (Clock::now() < until) {
            peak = std::max(peak, connection->QueuedBytes());
            std::this_thread::sleep_for(50ms);
        }
        const auto sent = Clock::now();
        ASSERT_TRUE(client.SendFrame(10 + i, std::string("CMD ") + keywords[i]));
        Clock::time_point when;
        ASSERT_TRUE(WaitFor([&]() { return TakenAfter(commands[i], sent, when); }, 30s))
            << keywords[i] << " was never acted on";
        longest = std::max(longest, std::chrono::duration_cast<std::chrono::milliseconds>(when - sent));
    }
    std::printf("longest wait of a command: %lld ms; largest queue %zu bytes; %d whole pictures read\n",
                static_cast<long long>(longest.count()), peak, reader.pictures.load());
    // Normally a pass or two; the bound is generous for a loaded machine.
    EXPECT_LT(longest, 1000ms);
    EXPECT_TRUE(connection->IsRunning());
    EXPECT_FALSE(log.HasErrorContaining("does not read its messages"));

    // Once the camera stops, the client reads the rest: every picture came whole,
    // and every command was answered.
    StopThreads();
    ASSERT_TRUE(WaitFor([&]() { return reader.Replies().size() >= 5; }, 60s));
    reader.Stop();
    EXPECT_FALSE(reader.closed);
    EXPECT_GE(reader.pictures, 1);
    EXPECT_EQ(reader.brokenPictures, 0);
    EXPECT_EQ(reader.Replies(), (std::vector<std::string>{"CMD Active true", "CMDACK 10", "CMDACK 11", "CMDACK 12",
                                                           "CMDACK 13"}));
}

}  // namespace
