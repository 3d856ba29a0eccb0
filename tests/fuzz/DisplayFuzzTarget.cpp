// Fuzz entry point of the front-panel display's input path: bytes as the
// display sends them, in pieces whose size the first byte picks, go through
// the frame reader, and every frame through the frame handler and the answer.

#include <cstddef>
#include <cstdint>

#include "controller/Display4DS.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t piece = static_cast<size_t>(data[0] % 40) + 1;
    Display4DS display;
    for (size_t at = 1; at < size; at += piece) {
        const size_t length = size - at < piece ? size - at : piece;
        display.ReceiveBytes(data + at, length);
        uint8_t frame[Display4DS::InputFrameSize];
        while (display.NextFrame(frame)) {
            display.HandleFrame(frame);
            display.GetCommand();
            display.BuildPositionFrame();
        }
    }
    return 0;
}
