#pragma once
// A serial graphic touch panel that speaks the eDIP small protocol (packets
// framed by DC1 with a checksum): the same services to the main loop as the
// front-panel display, on three touch pages (enable, joint jogging, program
// control). Nothing in the controller builds one; a build may use it in place
// of Display4DS. Main loop only; never waits on the panel.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace DataTypes {
class RobotState;
}

class DisplayEDIP {
public:
    // Touch key codes the panel reports (press codes; releases are one higher).
    enum Key : int {
        KeyEnablePage = 113,
        KeyJogPage = 115,
        KeyProgramPage = 117,
        KeyReset = 33,
        KeyEnable = 35,
        KeyZero = 37,
        KeyMinus = 17,
        KeyPlus = 19,
        KeyRefresh = 49,
        KeyLoad = 51,
        KeyStart = 53,
        KeyPause = 55,
        KeyStop = 57,
    };
    enum Page : int { PageEnable = 0, PageJog = 1, PageProgram = 3 };
    static constexpr int StartUpPasses = 30;
    // Passes without a byte from the panel after which its jog keys count as released.
    static constexpr int StalePasses = 20;

    DisplayEDIP();
    virtual ~DisplayEDIP();
    DisplayEDIP(const DisplayEDIP&) = delete;
    DisplayEDIP& operator=(const DisplayEDIP&) = delete;

    bool Connect(const std::string& portName = "/dev/ttyO1");
    void update();
    void SetValues(const DataTypes::RobotState& state);
    int GetCommand();
    bool IsConnected() const { return connected; }

    // ---- Drawing ----
    void clearDisplay();
    void initGeneral();
    void initEnable();
    void initJogJoint();
    void initProgram();
    void SetOverride(int percent);
    void SetActiveJoint(int joint);
    void sendStartUpMessage();
    void sendStatus(int column, int row);
    void sendAliveSign(int column, int row);
    void sendDouble(double v, int column, int row);

    // ---- Packets ----
    // One packet; false when not connected or when it could not be written whole now. The wire only
    // ever carries whole packets: one the port took in part is finished before any other goes out,
    // and one that finds no room (or the rest of an earlier one still waiting) is dropped whole.
    bool SendData(const uint8_t* data, std::size_t length);
    // Asks the panel for its send buffer and handles the touch records that came.
    void readBuffer();
    static std::vector<uint8_t> BuildPacket(const uint8_t* data, std::size_t length);
    // Scans bytes from the panel for key and bar records; a record cut off by the read waits for the rest.
    void ReceiveBytes(const uint8_t* data, std::size_t length);

    // The number field: one decimal in six characters, right-aligned.
    static std::string FormatDouble(double v);
    // What the spinner writes at a step; empty on odd steps.
    static std::string AliveSignText(int step);

    // ---- Read and cleared by the main loop ----
    float jogValues[9] = {};
    int override = 40;
    int value = 0;
    std::string statusText = "NC";

    int GetPage() const { return page; }
    int GetActiveJoint() const { return activeJoint; }
    int GetSpinnerStep() const { return spinnerStep; }
    int GetStartUpCount() const { return startUpCount; }
    // Packets dropped whole (the port had no room) since Connect.
    int DroppedPackets() const { return droppedPackets; }

private:
    void HandleKey(int code);
    void HandleBar(int barValue, const uint8_t* record);
    void SendText(int column, int row, const std::string& text);
    void SendKey(int x1, int y1, int x2, int y2, int press, int release, const std::string& label);
    void ShowPage(int newPage);
    // Writes the bytes whole or not at all (see SendData); true when all of them went out now.
    bool WritePacket(const uint8_t* data, std::size_t length);
    // Writes what is left of a packet the port took in part; true once nothing is left.
    bool FlushUnsent();

    bool connected = false;
    int port = -1;
    int commandCode = 0;
    float shownValues[6] = {};
    int jointCount = 6;
    int valuePositions[6][2] = {{60, 20}, {60, 36}, {60, 52}, {60, 68}, {60, 84}, {60, 100}};
    int activeJoint = 0;
    int page = PageEnable;
    int spinnerStep = 0;
    int startUpCount = 0;
    bool busy = false;
    int droppedPackets = 0;
    // Bytes of a record cut off by the last read.
    std::vector<uint8_t> pending;
    // The rest of a packet the port took only in part.
    std::vector<uint8_t> unsent;
    int passesWithoutAnswer = 0;
};
