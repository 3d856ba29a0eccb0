#pragma once
// An IFM O2D200 or O2D500 smart camera over TCP. The camera recognises the
// objects itself; the connection thread keeps the connection, asks for the
// live picture and the device information, and turns the camera's result
// messages into the latest target, in robot coordinates through a transfer
// matrix built from the configured camera pose. Robot programs read only the
// latest result, which is one record under a lock.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <regex>
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

class CameraIFMO2D : public CameraInterface {
public:
    static const char* const TYPE_ID;
    enum CameraModel : int { ModelUnknown = 0, ModelO2D200 = 1, ModelO2D500 = 2 };
    enum CoordinateKind : int { ImageCoordinates = 0, RobotCoordinates = 1 };

    static constexpr std::size_t kMessageBufferSize = 256;
    static constexpr int32_t kMaxImageSize = 2097152;
    static constexpr int kTimeoutSeconds = 5;

    explicit CameraIFMO2D(const std::string& name, MonotonicClock clock = MonotonicNow);
    // Stops and joins the connection thread.
    ~CameraIFMO2D() override;

    void Start() override;
    // Ends the connection thread and waits for it.
    void Stop() override;
    bool GetTargetPos(DataTypes::Vector3& position, DataTypes::Vector3& orientation, int& modelClass) const override;
    int Read(tinyxml2::XMLElement& element) override;
    tinyxml2::XMLElement* Write(tinyxml2::XMLDocument& document) override;
    // Stores a failed result, then asks the camera for a recognition.
    void TriggerImageRecognition() override;
    std::string GetHXPConfigString(int cameraCount) const override;
    int GetStatus() const override;

    void PrintConfig() const;
    bool IsConnected() const { return connected; }
    bool IsRunning() const { return thread.IsRunning(); }
    int GetModel() const { return model; }
    int GetProtocolVersion() const { return protocolVersion; }
    void SetModel(int newModel);
    void SetProtocolVersion(int version);
    int ResolutionX() const { return model == ModelO2D500 ? 1280 : 640; }
    int ResolutionY() const { return model == ModelO2D500 ? 960 : 480; }

    // Frames and sends one request; nothing while not connected.
    void SendMessage(int ticket, const std::string& text);

    // ---- Receiving half: run by the connection thread, public for tests and the fuzz target ----
    // Bytes the next read asks for: 128 for messages, picture data by what is missing.
    std::size_t NextReadSize() const;
    // Hands the bytes of one read to the picture or to the message parser.
    void HandleRead(const char* data, std::size_t length);
    void ConsumePartialMessage(const char* data, std::size_t length);
    void ParsePartialMessage();
    void ConsumePartialImageData(const char* data, std::size_t length);
    void ReserveImageDataBuffer(std::size_t size);
    void AcceptImageData();
    void DiscardImageData();
    bool IsReadingImageData() const { return bytesAnnounced != 0; }
    std::size_t MessageBufferFill() const { return messageFill; }

    void SetCameraResultPass(int x, int y, double angle, int modelClass);
    void SetCameraResultPass(const DataTypes::Vector3& position, double angle, int modelClass);
    void SetCameraResultFail();
    void SetCameraResultError();
    int SetImageCoordinate(int x, int y, double angle);
    int SetRobotCoordinate(const DataTypes::Vector3& position, double angle);
    void CreateTransferMatrix();
    // The camera plane to robot transform of a camera pose: up and look are
    // made an orthonormal pair in place (look becomes x when the two are less
    // than 5 degrees apart); columns up, look x up, look, origin.
    static DataTypes::Matrix44 BuildTransferMatrix(DataTypes::Vector3& up, DataTypes::Vector3& look,
                                                   const DataTypes::Vector3& origin);
    // Whether a result is held and counts as valid, whatever the connection.
    bool HasValidResult() const;
    // For tests of the receiving half, which runs without a connection.
    void SetConnectedForTest(bool value) { connected = value; }

    // The first occurrence of the pattern in buffer[from, length), or -1.
    static int Find(const char* buffer, int from, int length, const std::string& pattern);

private:
    void MainLoop();
    void Connected();
    void RequestKeepalive();
    void RequestPictureData();
    void RequestDeviceInfo();
    void DropMessageFront(std::size_t count);
    // The robot position of a pixel position.
    DataTypes::Vector3 Transform(int x, int y) const;
    void StoreResult(const TargetResult& stored);
    bool ParsePictureReply();
    bool ParseDeviceInfo();
    int64_t NowMs() const { return ToMilliseconds(clock()); }
    int64_t NowSeconds() const { return static_cast<int64_t>(clock().tv_sec); }

    // Configuration, guarded by configMutex (the thread rebuilds Up and Look).
    mutable std::mutex configMutex;
    std::string ip;
    int port = 0;
    int coordinateType = ImageCoordinates;
    double scaleX = 1.0;
    double scaleY = 1.0;
    DataTypes::Vector3 origin, look, up;
    double zDistance = 0.0;
    bool transferMatrixCreated = false;
    DataTypes::Matrix44 transferMatrix;

    LatestTarget latest;

    std::atomic<bool> connected{false};
    std::atomic<int> model{ModelUnknown};
    std::atomic<int> protocolVersion{1};
    std::atomic<int64_t> lastDataSeconds{0};
    int64_t connectSeconds = 0;
    int64_t lastKeepaliveMs = 0;
    int64_t lastPictureRequestMs = 0;
    int64_t lastDeviceRequestMs = 0;

    // Sends come from the connection thread and from triggers on the robot
    // thread; the lock keeps them off a socket being closed or replaced.
    std::mutex clientMutex;
    TCPClient client;

    char messageBuffer[kMessageBufferSize] = {};
    std::size_t messageFill = 0;
    std::vector<unsigned char> imageBuffer;
    std::size_t bytesAnnounced = 0;
    std::size_t bytesReceived = 0;

    const std::regex resultPattern;
    const std::regex modelPattern;
    const std::regex devicePattern;

    MonotonicClock clock;
    CameraThread thread;
};

}  // namespace Camera
