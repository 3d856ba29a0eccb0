#pragma once
// The serial front-panel display of the control cabinet: it sends 17-byte input
// frames (jog page, override, nine jog bytes, a button) and gets one answer
// frame for each (joint positions, a message or a program file name). Runs in
// the main loop only and never waits there.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "datatypes/FilterAverage.h"

namespace DataTypes {
class RobotState;
}

class Display4DS {
public:
    static constexpr std::size_t InputFrameSize = 17;
    static constexpr std::size_t MessageFrameSize = 38;
    static constexpr std::size_t FilenameFrameSize = 25;
    static constexpr std::size_t PositionFrameSize = 103;
    // Passes without a valid frame after which the display's jog values count as released.
    static constexpr int StalePasses = 20;

    Display4DS();
    virtual ~Display4DS();
    Display4DS(const Display4DS&) = delete;
    Display4DS& operator=(const Display4DS&) = delete;

    // Tries the named port, else searches the usual ones; true once a display answered.
    bool Connect(const std::string& portName);
    // One read, at most one input frame handled and answered.
    void update();
    void SetValues(const DataTypes::RobotState& state);
    // The posted command code, cleared.
    int GetCommand();
    void ResetJogValues();
    bool IsConnected() const { return connected; }

    // ---- Input side without a port (the reader of update, for tests and fuzzing) ----
    // Appends bytes to the pending input; what does not fit is dropped.
    void ReceiveBytes(const uint8_t* data, std::size_t length);
    // Takes the next complete frame from the pending input, skipping bytes before a frame header.
    // A frame counts only when the byte after it starts the next frame, or when nothing follows it
    // yet; with `moreMayFollow` (a read just brought bytes) a frame that ends in a header byte and
    // ends the input waits, since it may have taken the next frame's header.
    bool NextFrame(uint8_t frame[InputFrameSize], bool moreMayFollow = false);
    void HandleFrame(const uint8_t frame[InputFrameSize]);
    static int JogStep(uint8_t jogByte);

    // ---- Answer frames ----
    static std::vector<uint8_t> BuildMessageFrame(const std::string& text);
    static std::vector<uint8_t> BuildFilenameFrame(const std::string& name);
    std::vector<uint8_t> BuildPositionFrame() const;

    // Dead band of the jog bytes, from the robot file's "JogBias".
    static int jogBias;

    // Ports tried in turn when the configured one gives nothing.
    std::vector<std::string> searchPorts{"/dev/serial0", "/dev/ttyO0", "/dev/ttyO1", "/dev/ttyO2", "/dev/ttyO3"};

    // ---- Read and cleared by the main loop ----
    // Atomic: an operator stop on another thread (Modbus, PLC) clears them.
    std::atomic<float> jogValues[9] = {};
    int override = 0;
    int parameter = 0;
    int value = 0;
    int jogPage = 0;

private:
    int OpenPort(const std::string& name);
    void Send(const std::vector<uint8_t>& frame);

    bool connected = false;
    int port = -1;
    int commandCode = 0;

    // What the position frame shows, copied by SetValues.
    float jointValues[9] = {};
    int jointErrorCodes[9] = {};
    int boardTemperatures[9] = {};
    int referencingState = 0;
    int referencedMask = 0;
    int supply = 0;
    int totalCurrent = 0;
    DataTypes::FilterAverage supplyFilter{5};
    DataTypes::FilterAverage currentFilter{1};
    float platformValues[4] = {};
    int platformErrorCodes[4] = {};
    int kinematicState = 0;
    float stateOverride = 0.0f;
    std::string statusText;
    int operatingInformation[4] = {};  // values 4, 3, 1, 2
    char infoText[20];
    int ioMasks[6] = {};
    bool digitalInputs[64] = {};
    bool digitalOutputs[64] = {};

    bool messagePending = false;
    std::string message = "testMessage             ";
    bool filenamePending = false;
    std::string filename;

    // Bytes of a frame not yet complete, kept between passes.
    std::vector<uint8_t> pending;
    int passesWithoutFrame = 0;
};
