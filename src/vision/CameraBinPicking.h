#pragma once
// The bin-picking vision computer over TCP. The connection thread polls it
// with "REQUEST", collects its answers ("0000start" ... "stop", a picture of
// 308278 bytes possibly inside), and keeps the recognised part's angle and
// model class for robot programs and the picture for the clients.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "datatypes/Matrix44.h"
#include "datatypes/Vector3.h"
#include "vision/CameraInterface.h"
#include "vision/CameraTarget.h"
#include "vision/CameraThread.h"
#include "vision/MonotonicClock.h"
#include "vision/TCPClient.h"

namespace Camera {

class CameraBinPicking : public CameraInterface {
public:
    static const char* const TYPE_ID;
    static constexpr std::size_t kPictureSize = 308278;
    static constexpr std::size_t kMessageCapacity = 309000;
    static constexpr std::size_t kReceiveSize = 8192;
    // Shortest time between two requests.
    static constexpr std::chrono::milliseconds kRequestInterval{10};

    explicit CameraBinPicking(const std::string& name, MonotonicClock clock = MonotonicNow);
    ~CameraBinPicking() override;

    void Start() override;
    void Stop() override;
    bool GetTargetPos(DataTypes::Vector3& position, DataTypes::Vector3& orientation, int& modelClass) const override;
    int Read(tinyxml2::XMLElement& element) override;
    tinyxml2::XMLElement* Write(tinyxml2::XMLDocument& document) override;
    std::string GetHXPConfigString(int cameraCount) const override;
    int GetStatus() const override;

    void PrintConfig() const;
    bool IsConnected() const { return connected; }
    bool IsRunning() const { return thread.IsRunning(); }
    void CreateTransferMatrix();
    int SetImageCoordinate(int x, int y, double angle);

    // ---- Receiving half, public for tests and the fuzz target ----
    // Adds bytes of one read to the message being collected and parses every
    // message that is complete.
    void Collect(const char* data, std::size_t length);
    // Parses one message (the bytes before its "stop").
    void ParseMessage(const char* message, std::size_t length);
    void ResetCollection();
    std::size_t CollectedBytes() const { return messageFill; }
    bool HasValidResult() const;
    void SetConnectedForTest(bool value) { connected = value; }

    // The seven "#"-separated fields of a pass (float, four ints, two floats)
    // from `from` on, read as a scan would: reading stops at the first field
    // that is missing, which keeps 0. False when a number is out of range or
    // not finite.
    static bool ScanPassFields(const std::string& text, std::size_t from, double floats[3], int ints[4]);

private:
    void ThreadMainLoop();
    void Connected(::TCPClient& client);

    mutable std::mutex configMutex;
    std::string ip;
    int port = 0;
    DataTypes::Vector3 origin, look, up;
    double zDistance = 0.0;
    bool transferMatrixCreated = false;
    DataTypes::Matrix44 transferMatrix;

    // Its position stays (0, 0, 0): the computer reports the angle and class only.
    LatestTarget latest;

    std::atomic<bool> connected{false};
    int64_t lastDataSeconds = 0;

    std::vector<char> message;
    std::size_t messageFill = 0;
    bool pictureExpected = false;

    MonotonicClock clock;
    CameraThread thread;
};

}  // namespace Camera
