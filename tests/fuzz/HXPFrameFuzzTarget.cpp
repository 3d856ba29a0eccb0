// Fuzz entry point of the remote-control input path: bytes as a client sends
// them go through the frame reader, and every complete frame through the
// command interpreter; the raw bytes are also handed to the interpreter as
// one frame. Nothing may crash, and no exception may leave the interpreter:
// a handler's refusal is answered, and the connection goes on.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "controller/CommandRunner.h"
#include "controller/RobotMaster.h"
#include "server/ComServer.h"
#include "server/HXPFrameReader.h"

namespace {

void Parse(ComServer& connection, char* frame, int length) { connection.ParseMessage(frame, length); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A remote power-off or reboot must never reach the shell here.
    static const bool noShell = [] {
        CommandRunner::SetRunFunction([](const std::string&) { return -1; });
        return true;
    }();
    (void)noShell;
    // Camera and Modbus settings start real devices, network clients and listeners; not here.
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (text.find("SetCamera") != std::string::npos || text.find("SetModbus") != std::string::npos) return 0;
    static RobotMaster* robotMaster = new RobotMaster();
    // The first byte picks the role: acting keywords are served only when active.
    const bool active = size > 0 && (data[0] & 1) != 0;
    auto connection = std::make_shared<ComServer>(robotMaster, nullptr, nullptr, -1);
    connection->SetActive(active);

    HXPFrameReader reader;
    for (size_t i = 0; i < size; ++i) {
        switch (reader.Feed(static_cast<char>(data[i]))) {
            case HXPFrameReader::Result::Frame:
                Parse(*connection, reader.Data(), reader.Length());
                reader.Reset();
                break;
            case HXPFrameReader::Result::Overflow: reader.Reset(); break;
            case HXPFrameReader::Result::NeedMore: break;
        }
    }

    const size_t length = size < static_cast<size_t>(HXPFrameReader::MaxFrameLength) ? size
                                                                                    : HXPFrameReader::MaxFrameLength;
    std::vector<char> whole(data, data + length);
    whole.push_back('\0');
    if (length > 0) Parse(*connection, whole.data(), static_cast<int>(length));

    int32_t code = 0, parameter = 0;
    float value = 0.0f;
    while (connection->TakePendingCommand(code, parameter, value)) {
    }
    float jog[9];
    connection->GetJogValues(jog);
    // The robot master outlives every input: the loads an input started must
    // end before the next input or the exit tears down what they log to.
    for (const IPO* ipo : {&robotMaster->ipoMain, &robotMaster->ipoLogic, &robotMaster->ipoDirect})
        while (!ipo->ThreadsDone()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 0;
}
