// Front-panel display link: port set-up and handshake, input frames to jog
// values and commands, and the answer frames.

#include "controller/Display4DS.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "common/LogSingleton.h"
#include "datatypes/RobotState.h"

int Display4DS::jogBias = 30;

namespace {

// A few frames; a display never sends more than one ahead of its answer.
constexpr std::size_t PendingCapacity = 256;
constexpr uint8_t FrameStart = 0xFF;
constexpr uint8_t FrameEnd = 0x42;

void WaitMs(int ms) { usleep(static_cast<useconds_t>(ms) * 1000u); }

// 16-bit fields cannot hold what lies outside them; not-a-number shows as 0.
int ClampField(double v, int low, int high) {
    if (!std::isfinite(v)) return low > 0 ? low : (high < 0 ? high : 0);
    if (v < low) return low;
    if (v > high) return high;
    return static_cast<int>(v);
}

void Put16(std::vector<uint8_t>& frame, std::size_t at, int v) {
    const int clamped = ClampField(v, 0, 0xFFFF);
    frame[at] = static_cast<uint8_t>(clamped >> 8);
    frame[at + 1] = static_cast<uint8_t>(clamped & 0xFF);
}

// Text cut to the field; a shorter text ends with one 0x00, then blanks.
void PutText(std::vector<uint8_t>& frame, std::size_t at, std::size_t length, const std::string& text) {
    for (std::size_t i = 0; i < length; ++i) {
        if (i < text.size()) {
            frame[at + i] = static_cast<uint8_t>(text[i]);
        } else {
            frame[at + i] = i == text.size() ? 0x00 : ' ';
        }
    }
}

// Entry of a joint or platform value: value x 10 around 3600.
int JointField(float v) {
    if (!std::isfinite(v)) return 3600;
    return ClampField(std::trunc(static_cast<double>(v) * 10.0) + 3600.0, 0, 0xFFFF);
}

}  // namespace

Display4DS::Display4DS() {
    std::memset(infoText, ' ', sizeof(infoText));
    infoText[0] = 'n';
    infoText[1] = 'a';
}

Display4DS::~Display4DS() {
    if (port >= 0) close(port);
}

int Display4DS::OpenPort(const std::string& name) {
    LogSingleton* log = LogSingleton::instance();
    log->add("Display 4DS: Trying serial port " + name);
    const int fd = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    WaitMs(100);
    if (fd < 0) {
        log->addError("Display 4DS: Port not available");
        return -1;
    }
    log->add("Display 4DS: Opened successfully. Configuring...");
    auto fail = [&](const char* text) {
        log->addError(text);
        close(fd);
        return -1;
    };
    if (!isatty(fd)) return fail("Error: device is not a tty...");
    termios settings {};
    if (tcgetattr(fd, &settings) != 0) return fail("Display 4DS: Error: cannot get current tty configuration...");
    settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                               IXOFF | IXANY);
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
    settings.c_cflag |= CS8 | CREAD | CLOCAL;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    if (cfsetispeed(&settings, B115200) != 0 || cfsetospeed(&settings, B115200) != 0)
        return fail("Display 4DS: Error: cannot set baud rate...");
    if (tcsetattr(fd, TCSAFLUSH, &settings) != 0) return fail("Display 4DS: Error: cannot set new configuration...");
    WaitMs(100);

    log->add("Display 4DS: Port successfully configured, checking connection");
    int previous = -1;
    for (int attempt = 0; attempt < 50; ++attempt) {
        uint8_t byte = 0;
        if (read(fd, &byte, 1) == 1) {
            if (previous == FrameStart && byte == 0x00) {
                log->add("Display 4DS: Connection successful");
                return fd;
            }
            previous = byte;
        } else {
            WaitMs(20);
        }
    }
    return fail("Display 4DS: Port available but no display connected");
}

bool Display4DS::Connect(const std::string& portName) {
    LogSingleton* log = LogSingleton::instance();
    log->add(" ");
    log->add("Display 4DS: Connecting...");
    if (port >= 0) close(port);
    port = -1;
    connected = false;
    pending.clear();
    if (!portName.empty()) port = OpenPort(portName);
    if (port < 0) {
        log->add("Display 4DS: Detecting serial port");
        for (const std::string& name : searchPorts) {
            port = OpenPort(name);
            if (port >= 0) break;
        }
    }
    if (port >= 0) {
        connected = true;
        // The handshake took the header of the frame under way: its other 15 bytes complete it.
        pending = {FrameStart, 0x00};
    }
    for (int& t : boardTemperatures) t = 33;
    for (int i = 0; i < 6; ++i) jogValues[i] = 0.0f;
    commandCode = 0;
    passesWithoutFrame = 0;
    log->add(" ");
    return connected;
}

int Display4DS::GetCommand() {
    const int code = commandCode;
    commandCode = 0;
    return code;
}

void Display4DS::ResetJogValues() {
    for (auto& v : jogValues) v = 0.0f;
}

void Display4DS::ReceiveBytes(const uint8_t* data, std::size_t length) {
    const std::size_t room = PendingCapacity - std::min(pending.size(), PendingCapacity);
    pending.insert(pending.end(), data, data + std::min(length, room));
}

bool Display4DS::NextFrame(uint8_t frame[InputFrameSize], bool moreMayFollow) {
    std::size_t start = 0;
    bool found = false;
    while (true) {
        while (start < pending.size()) {
            if (pending[start] == FrameStart && (start + 1 == pending.size() || pending[start + 1] == 0x00)) break;
            ++start;
        }
        if (pending.size() - start < InputFrameSize) break;
        // Input frames carry no end mark: a frame that lost a byte shows only in that the next
        // header does not follow it. Such a frame is skipped, never acted on.
        const std::size_t after = start + InputFrameSize;
        if (after < pending.size()) {
            if (pending[after] == FrameStart) {
                found = true;
                break;
            }
            ++start;
            continue;
        }
        // Nothing read after it yet: a display sends its next frame only after the answer.
        found = !(moreMayFollow && pending[after - 1] == FrameStart);
        break;
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(start));
    if (!found) return false;
    std::copy(pending.begin(), pending.begin() + InputFrameSize, frame);
    pending.erase(pending.begin(), pending.begin() + InputFrameSize);
    return true;
}

int Display4DS::JogStep(uint8_t jogByte) {
    int v = static_cast<int>(jogByte) - 128;
    if (v > -jogBias && v < jogBias) {
        v = 0;
    } else {
        v = v > 0 ? v - jogBias : v + jogBias;
    }
    v = std::max(-100, std::min(100, v));
    return v / 2;
}

void Display4DS::HandleFrame(const uint8_t frame[InputFrameSize]) {
    jogPage = frame[3];
    override = frame[4];
    int s[9];
    for (int i = 0; i < 9; ++i) s[i] = JogStep(frame[5 + i]);
    int v[9] = {};
    switch (jogPage) {
        case 0:
        case 1: {
            const int m[6] = {-s[0], -s[1], s[2], s[3], -s[4], s[5]};
            std::copy(m, m + 6, v);
            break;
        }
        case 2:
        case 3:
        case 4:
        case 5: {
            const int m[6] = {-s[1], s[2], -s[0], s[3], -s[4], s[5]};
            std::copy(m, m + 6, v);
            break;
        }
        case 6:
            v[6] = s[6];
            v[7] = s[7];
            v[8] = s[8];
            break;
        case 7:
            v[0] = -s[1];
            v[1] = -s[0];
            v[2] = -s[2];
            break;
        default:
            break;
    }
    for (int i = 0; i < 9; ++i) jogValues[i] = static_cast<float>(v[i]);

    const int button = frame[14];
    int code = 0;
    int param = 0;
    switch (button) {
        case 10: case 11: code = 21; break;
        case 12: case 13: code = 22; break;
        case 14: case 15: code = 23; break;
        case 17: code = 24; break;
        case 30: code = 10; break;
        case 40: code = 13; break;
        case 50: code = 11; break;
        case 60:
            code = 33;
            value = frame[4];
            break;
        case 70: case 71: case 72: case 73: case 74:
            code = 15;
            param = button - 70;
            break;
        case 75:
            code = 15;
            param = 6;
            break;
        case 79: code = 16; break;
        case 80: code = 61; break;
        case 81: code = 3; break;
        case 82: code = 4; break;
        case 83: code = 62; break;
        case 85: code = 7; break;
        case 86: code = 8; break;
        case 87: code = 9; break;
        case 90: code = 5; break;
        case 91: code = 52; break;
        case 92: code = 50; break;
        case 93: code = 54; break;
        case 94: code = 55; break;
        case 95: code = 83; break;
        case 96: code = 56; break;
        case 97: code = 57; break;
        case 100: code = 80; break;
        case 101: code = 81; break;
        case 102: code = 82; break;
        case 103: code = 84; break;
        case 110: code = 70; break;
        case 111: code = 71; break;
        default:
            if (button >= 120 && button <= 183) {
                param = button - 120;
                code = digitalOutputs[param] ? 32 : 31;
            }
            break;
    }
    if (code != 0) {
        commandCode = code;
        parameter = param;
    }
}

void Display4DS::Send(const std::vector<uint8_t>& frame) {
    // Non-blocking: a display that stops reading loses answers, never the main loop's time.
    const ssize_t written = write(port, frame.data(), frame.size());
    (void)written;
}

void Display4DS::update() {
    if (!connected) return;
    uint8_t buffer[PendingCapacity];
    const std::size_t room = PendingCapacity - std::min(pending.size(), PendingCapacity);
    bool received = false;
    if (room > 0) {
        const ssize_t got = read(port, buffer, room);
        received = got > 0;
        if (received) ReceiveBytes(buffer, static_cast<std::size_t>(got));
    }
    uint8_t frame[InputFrameSize];
    if (!NextFrame(frame, received)) {
        // A display unplugged while a jog key was held must not keep the robot moving.
        if (passesWithoutFrame < StalePasses && ++passesWithoutFrame == StalePasses) ResetJogValues();
        return;
    }
    passesWithoutFrame = 0;
    HandleFrame(frame);

    LogSingleton* log = LogSingleton::instance();
    std::string text;
    if (log->DisplayGetMessage(&text)) {
        message = text;
        messagePending = true;
    }
    if (log->DisplayGetFilename(&text)) {
        filename = text;
        filenamePending = true;
    }
    if (messagePending) {
        Send(BuildMessageFrame(message));
        messagePending = false;
    } else if (filenamePending) {
        Send(BuildFilenameFrame(filename));
        filenamePending = false;
    } else {
        Send(BuildPositionFrame());
    }
}

namespace {

// Message and file-name frames: header, kind, the display's code of the kind, the text field, end.
std::vector<uint8_t> TextFrame(uint8_t kind, uint8_t code, std::size_t fieldLength, const std::string& text) {
    std::vector<uint8_t> frame(fieldLength + 5, 0);
    frame[0] = FrameStart;
    frame[1] = kind;
    frame[2] = code;
    PutText(frame, 3, fieldLength, text);
    frame[fieldLength + 3] = FrameEnd;
    frame[fieldLength + 4] = FrameStart;
    return frame;
}

}  // namespace

std::vector<uint8_t> Display4DS::BuildMessageFrame(const std::string& text) { return TextFrame(2, 0x22, 33, text); }

std::vector<uint8_t> Display4DS::BuildFilenameFrame(const std::string& name) { return TextFrame(1, 0x14, 20, name); }

std::vector<uint8_t> Display4DS::BuildPositionFrame() const {
    std::vector<uint8_t> frame(PositionFrameSize, 0);
    frame[0] = FrameStart;
    frame[1] = 0x00;
    frame[2] = 0x1C;
    if (jogPage == 7) {
        for (std::size_t i = 0; i < 4; ++i) {
            Put16(frame, 3 + 4 * i, JointField(platformValues[i]));
            frame[5 + 4 * i] = static_cast<uint8_t>(platformErrorCodes[i] & 0xFF);
        }
    } else {
        for (std::size_t i = 0; i < 9; ++i) {
            Put16(frame, 3 + 4 * i, JointField(jointValues[i]));
            frame[5 + 4 * i] = static_cast<uint8_t>(jointErrorCodes[i] & 0xFF);
            frame[6 + 4 * i] = static_cast<uint8_t>(boardTemperatures[i] & 0xFF);
        }
    }
    const int shownSupply = ClampField(supplyFilter.GetAverage(), 0, 0xFFFF);
    Put16(frame, 39, shownSupply / 10 * 10);
    Put16(frame, 41, ClampField(currentFilter.GetAverage(), 0, 0xFFFF) / 10);
    frame[43] = static_cast<uint8_t>(ClampField(std::trunc(stateOverride), 0, 0xFF));
    frame[44] = static_cast<uint8_t>(kinematicState & 0xFF);
    frame[45] = static_cast<uint8_t>(operatingInformation[0] & 0xFF);
    frame[46] = static_cast<uint8_t>(operatingInformation[1] & 0xFF);
    Put16(frame, 47, operatingInformation[2]);
    Put16(frame, 49, operatingInformation[3]);
    std::copy(infoText, infoText + 20, frame.begin() + 52);
    frame[72] = static_cast<uint8_t>(referencingState & 0xFF);
    frame[73] = static_cast<uint8_t>((referencedMask >> 8) & 0xFF);
    frame[74] = static_cast<uint8_t>(referencedMask & 0xFF);
    for (std::size_t g = 0; g < 6; ++g) frame[75 + g] = static_cast<uint8_t>(ioMasks[g] & 0xFF);
    for (std::size_t i = 0; i < 20; ++i) frame[81 + i] = i < statusText.size() ? static_cast<uint8_t>(statusText[i]) : ' ';
    frame[101] = FrameEnd;
    frame[102] = FrameStart;
    return frame;
}

void Display4DS::SetValues(const DataTypes::RobotState& state) {
    for (int i = 0; i < 9; ++i) {
        jointValues[i] = state.jointSetPoint[i];
        jointErrorCodes[i] = state.jointErrorCodes[i];
        boardTemperatures[i] = ClampField(std::trunc(state.jointTemperatures[i]), -0x7FFF, 0x7FFF);
    }
    jointValues[5] = state.jointSetPoint[6];
    referencingState = state.referenceStatus;
    referencedMask = 0;
    for (int i = 0; i < 16; ++i) {
        if (state.jointsReferenced[i]) referencedMask |= 1 << i;
    }
    supply = state.supply;
    totalCurrent = state.currentAll;
    supplyFilter.GetNewAverage(static_cast<float>(supply));
    currentFilter.GetNewAverage(static_cast<float>(totalCurrent));
    kinematicState = state.kinematicState;
    stateOverride = state.override;
    for (int i = 0; i < 4; ++i) {
        platformValues[i] = state.platformSetPoint[i];
        platformErrorCodes[i] = state.jointErrorCodes[8 + i];
    }
    statusText = state.errorText;
    operatingInformation[0] = state.programValue4;
    operatingInformation[1] = state.programState;
    operatingInformation[2] = state.programCommandIndex;
    operatingInformation[3] = state.programCommandCount;
    for (std::size_t i = 0; i < sizeof(infoText); ++i)
        infoText[i] = i < state.programText.size() ? state.programText[i] : ' ';
    for (int i = 0; i < 64; ++i) {
        digitalInputs[i] = state.digitalInputs[i];
        digitalOutputs[i] = state.digitalOutputs[i];
    }
    for (int g = 0; g < 3; ++g) {
        int in = 0;
        int out = 0;
        for (int b = 0; b < 8; ++b) {
            const int index = 20 + 10 * g + b;
            if (digitalInputs[index]) in |= 1 << b;
            if (digitalOutputs[index]) out |= 1 << b;
        }
        ioMasks[g] = in;
        ioMasks[3 + g] = out;
    }
}
