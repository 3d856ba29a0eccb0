// Fuzz entry point of the front-panel displays' input paths: bytes as the
// display sends them, in pieces whose size the first byte picks, go through
// the frame reader (every frame through the frame handler and the answer; the
// first byte's top bit reads each piece as the port reader does after a read
// that brought bytes) and,
// as the touch panel's send buffer, through its key and bar record scan.

#include <cstddef>
#include <cstdint>

#include "controller/Display4DS.h"
#include "controller/DisplayEDIP.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t piece = static_cast<size_t>(data[0] % 40) + 1;
    const bool justRead = (data[0] & 0x80) != 0;
    Display4DS display;
    // Unconnected: its drawing sends nothing.
    DisplayEDIP panel;
    for (size_t at = 1; at < size; at += piece) {
        const size_t length = size - at < piece ? size - at : piece;
        display.ReceiveBytes(data + at, length);
        panel.ReceiveBytes(data + at, length);
        panel.GetCommand();
        uint8_t frame[Display4DS::InputFrameSize];
        while (display.NextFrame(frame, justRead)) {
            display.HandleFrame(frame);
            display.GetCommand();
            display.BuildPositionFrame();
        }
    }
    return 0;
}
