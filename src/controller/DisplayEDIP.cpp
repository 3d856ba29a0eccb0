// Touch panel link: eDIP packets, the three pages, and the panel's key and bar
// records turned into jog values and commands.

#include "controller/DisplayEDIP.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>

#include "common/LogSingleton.h"
#include "datatypes/RobotState.h"

namespace {

constexpr uint8_t DC1 = 0x11;
constexpr uint8_t DC2 = 0x12;
constexpr uint8_t ESC = 0x1B;
constexpr std::size_t ReadSize = 128;

uint8_t Coordinate(int v) { return static_cast<uint8_t>(std::max(0, std::min(255, v))); }

}  // namespace

DisplayEDIP::DisplayEDIP() = default;

DisplayEDIP::~DisplayEDIP() {
    if (port >= 0) close(port);
}

bool DisplayEDIP::Connect(const std::string& portName) {
    LogSingleton* log = LogSingleton::instance();
    log->add("Display: Connecting...");
    busy = true;
    if (port >= 0) close(port);
    port = -1;
    connected = false;
    // Stays non-blocking: a panel that stops reading must not hold up the main loop.
    const int fd = open(portName.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios settings {};
    bool configured = fd >= 0 && tcgetattr(fd, &settings) == 0;
    if (configured) {
        settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                                   IXOFF | IXANY);
        settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
        settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
        settings.c_cflag |= CS8 | CREAD | CLOCAL;
        settings.c_cc[VMIN] = 0;
        settings.c_cc[VTIME] = 0;
        configured = cfsetispeed(&settings, B115200) == 0 && cfsetospeed(&settings, B115200) == 0 &&
                     tcsetattr(fd, TCSANOW, &settings) == 0;
    }
    if (!configured) {
        if (fd >= 0) close(fd);
        log->addError("Display: unable to open " + portName);
        busy = false;
        return false;
    }
    log->add("Display: Successfully connected to " + portName);
    port = fd;
    connected = true;
    jointCount = 6;
    for (float& v : jogValues) v = 0.0f;
    commandCode = 0;
    startUpCount = StartUpPasses;
    droppedPackets = 0;
    pending.clear();
    unsent.clear();
    passesWithoutAnswer = 0;

    clearDisplay();
    // Set-up: terminal off, touch tone off, the text font.
    const uint8_t terminalOff[] = {ESC, 'T', 'A'};
    const uint8_t toneOff[] = {ESC, 'A', 'S', 0};
    const uint8_t font[] = {ESC, 'Z', 'F', 2};
    SendData(terminalOff, sizeof(terminalOff));
    SendData(toneOff, sizeof(toneOff));
    SendData(font, sizeof(font));
    sendStartUpMessage();
    busy = false;
    return true;
}

int DisplayEDIP::GetCommand() {
    const int code = commandCode;
    commandCode = 0;
    return code;
}

void DisplayEDIP::SetValues(const DataTypes::RobotState& state) {
    const int count = std::max(0, std::min(jointCount, 6));
    for (int i = 0; i < count; ++i) shownValues[i] = state.jointSetPoint[i];
}

std::vector<uint8_t> DisplayEDIP::BuildPacket(const uint8_t* data, std::size_t length) {
    std::vector<uint8_t> packet;
    packet.reserve(length + 5);
    packet.push_back(DC1);
    packet.push_back(static_cast<uint8_t>(length));
    unsigned sum = DC1 + static_cast<unsigned>(length);
    for (std::size_t i = 0; i < length; ++i) {
        packet.push_back(data[i]);
        sum += data[i];
    }
    packet.push_back(static_cast<uint8_t>(sum & 0xFF));
    packet.push_back(0x0A);
    packet.push_back(0x0D);
    return packet;
}

bool DisplayEDIP::SendData(const uint8_t* data, std::size_t length) {
    if (!connected || length > 255) return false;
    usleep(500);
    const std::vector<uint8_t> packet = BuildPacket(data, length);
    if (!WritePacket(packet.data(), packet.size())) return false;
    usleep(2000);
    return true;
}

bool DisplayEDIP::FlushUnsent() {
    while (!unsent.empty()) {
        const ssize_t n = write(port, unsent.data(), unsent.size());
        if (n > 0) {
            unsent.erase(unsent.begin(), unsent.begin() + n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

bool DisplayEDIP::WritePacket(const uint8_t* data, std::size_t length) {
    // The panel takes the packet length from its second byte: a packet begun after a cut one
    // would be read as the cut one's rest, so a begun packet is always finished first.
    if (!FlushUnsent()) {
        ++droppedPackets;
        return false;
    }
    ssize_t written = -1;
    do {
        written = write(port, data, length);
    } while (written < 0 && errno == EINTR);
    if (written == static_cast<ssize_t>(length)) return true;
    if (written > 0) {
        unsent.assign(data + written, data + length);
    } else {
        ++droppedPackets;
    }
    return false;
}

void DisplayEDIP::SendText(int column, int row, const std::string& text) {
    std::vector<uint8_t> command = {ESC, 'Z', 'L', Coordinate(column), Coordinate(row)};
    command.insert(command.end(), text.begin(), text.end());
    command.push_back(0);
    SendData(command.data(), command.size());
}

void DisplayEDIP::SendKey(int x1, int y1, int x2, int y2, int press, int release, const std::string& label) {
    std::vector<uint8_t> command = {ESC,           'A',           'T',
                                    Coordinate(x1), Coordinate(y1), Coordinate(x2),
                                    Coordinate(y2), Coordinate(press), Coordinate(release)};
    command.insert(command.end(), label.begin(), label.end());
    command.push_back(0);
    SendData(command.data(), command.size());
}

void DisplayEDIP::clearDisplay() {
    const uint8_t command[] = {ESC, 'D', 'L'};
    SendData(command, sizeof(command));
}

void DisplayEDIP::initGeneral() {
    // Bar 1, 0 to 100, along the right edge.
    const uint8_t bar[] = {ESC, 'B', 'R', 1, 200, 20, 220, 120, 0, 100, 5};
    SendData(bar, sizeof(bar));
    SendKey(0, 110, 40, 127, KeyEnablePage, KeyEnablePage + 1, "E");
    SendKey(50, 110, 90, 127, KeyJogPage, KeyJogPage + 1, "J");
    SendKey(100, 110, 140, 127, KeyProgramPage, KeyProgramPage + 1, "P");
}

void DisplayEDIP::initEnable() {
    SendKey(10, 20, 90, 45, KeyReset, KeyReset + 1, "Reset");
    SendKey(10, 50, 90, 75, KeyEnable, KeyEnable + 1, "Enable");
    SendKey(10, 80, 90, 105, KeyZero, KeyZero + 1, "Zero");
}

void DisplayEDIP::initJogJoint() {
    // The joint keys form one radio group: one active joint at a time.
    const uint8_t group[] = {ESC, 'A', 'R', 1};
    SendData(group, sizeof(group));
    for (int j = 0; j < 6; ++j) {
        SendKey(10, 16 + 16 * j, 40, 30 + 16 * j, 2 * j + 1, 2 * j + 2, "J" + std::to_string(j + 1));
    }
    SendKey(120, 30, 160, 60, KeyMinus, KeyMinus + 1, "-");
    SendKey(120, 70, 160, 100, KeyPlus, KeyPlus + 1, "+");
}

void DisplayEDIP::initProgram() {
    SendKey(10, 20, 90, 35, KeyRefresh, KeyRefresh + 1, "Refresh");
    SendKey(10, 38, 90, 53, KeyLoad, KeyLoad + 1, "Load");
    SendKey(10, 56, 90, 71, KeyStart, KeyStart + 1, "Start");
    SendKey(10, 74, 90, 89, KeyPause, KeyPause + 1, "Pause");
    SendKey(10, 92, 90, 107, KeyStop, KeyStop + 1, "Stop");
}

void DisplayEDIP::SetOverride(int percent) {
    override = percent;
    const uint8_t command[] = {ESC, 'B', 'A', 1, Coordinate(percent)};
    SendData(command, sizeof(command));
}

void DisplayEDIP::SetActiveJoint(int joint) {
    activeJoint = joint;
    const uint8_t command[] = {ESC, 'A', 'P', Coordinate(2 * joint + 1), 1};
    SendData(command, sizeof(command));
}

void DisplayEDIP::sendStartUpMessage() {
    SendText(10, 20, "VQT");
    SendText(10, 40, "Korvella");
    SendText(10, 60, LogSingleton::instance()->get_softwareVersion().substr(0, 11));
}

void DisplayEDIP::sendStatus(int column, int row) { SendText(column, row, statusText); }

std::string DisplayEDIP::AliveSignText(int step) {
    switch (step) {
        case 0: return "\\|";
        case 2: return "/";
        case 4: return "-";
        case 6: return "\\\\";
        default: return std::string();
    }
}

void DisplayEDIP::sendAliveSign(int column, int row) {
    const std::string text = AliveSignText(spinnerStep);
    if (!text.empty()) SendText(column, row, text);
}

std::string DisplayEDIP::FormatDouble(double v) {
    if (!std::isfinite(v)) return "  ----";
    // The field holds up to 999.9; larger values show as that.
    const long long tenths = std::min(9999LL, std::llround(std::fabs(v) * 10.0));
    const int digits[4] = {static_cast<int>(tenths / 1000 % 10), static_cast<int>(tenths / 100 % 10),
                           static_cast<int>(tenths / 10 % 10), static_cast<int>(tenths % 10)};
    std::string text(6, ' ');
    text[5] = static_cast<char>('0' + digits[3]);
    text[4] = '.';
    text[3] = static_cast<char>('0' + digits[2]);
    std::size_t first = 3;
    if (digits[0] != 0) {
        text[1] = static_cast<char>('0' + digits[0]);
        // A zero tens digit between hundreds and units still shows.
        text[2] = static_cast<char>('0' + digits[1]);
        first = 1;
    } else if (digits[1] != 0) {
        text[2] = static_cast<char>('0' + digits[1]);
        first = 2;
    }
    if (v < 0.0 && tenths != 0) text[first - 1] = '-';
    return text;
}

void DisplayEDIP::sendDouble(double v, int column, int row) { SendText(column, row, FormatDouble(v)); }

void DisplayEDIP::ShowPage(int newPage) {
    busy = true;
    clearDisplay();
    initGeneral();
    if (newPage == PageEnable) {
        initEnable();
    } else if (newPage == PageJog) {
        initJogJoint();
        SetActiveJoint(activeJoint);
    } else {
        initProgram();
    }
    SetOverride(override);
    page = newPage;
    busy = false;
}

void DisplayEDIP::HandleKey(int code) {
    for (int i = 0; i < 6; ++i) jogValues[i] = 0.0f;
    if (code == KeyEnablePage) ShowPage(PageEnable);
    if (code == KeyJogPage) ShowPage(PageJog);
    if (code == KeyProgramPage) ShowPage(PageProgram);
    switch (page) {
        case PageEnable:
            if (code == KeyReset) commandCode = 10;
            if (code == KeyEnable) commandCode = 11;
            if (code == KeyZero) commandCode = 13;
            break;
        case PageJog:
            if (code >= 1 && code <= 11 && code % 2 == 1) SetActiveJoint((code - 1) / 2);
            if (code == KeyMinus) jogValues[activeJoint] = -100.0f;
            if (code == KeyPlus) jogValues[activeJoint] = 100.0f;
            // Releases (18, 20) leave the cleared value.
            break;
        case PageProgram:
            if (code == KeyStart) commandCode = 2;
            if (code == KeyPause) commandCode = 3;
            if (code == KeyStop) commandCode = 4;
            break;
        default:
            break;
    }
}

void DisplayEDIP::HandleBar(int barValue, const uint8_t* record) {
    std::printf("bar: %d %d %d\n", record[0], record[1], record[2]);
    commandCode = 33;
    value = barValue;
    override = barValue;
}

void DisplayEDIP::ReceiveBytes(const uint8_t* data, std::size_t length) {
    pending.insert(pending.end(), data, data + length);
    std::size_t i = 0;
    while (i < pending.size()) {
        if (pending[i] != ESC) {
            ++i;
            continue;
        }
        if (i + 1 >= pending.size()) break;
        const uint8_t kind = pending[i + 1];
        if (kind == 'A') {
            if (i + 3 >= pending.size()) break;
            const int code = pending[i + 3];
            i += 4;
            HandleKey(code);
        } else if (kind == 'B') {
            if (i + 4 >= pending.size()) break;
            const uint8_t record[3] = {pending[i + 2], pending[i + 3], pending[i + 4]};
            i += 5;
            HandleBar(record[2], record);
        } else {
            ++i;
        }
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(i));
}

void DisplayEDIP::readBuffer() {
    if (!connected) return;
    const uint8_t request[] = {DC2, 0x01, 'S', 0x66};
    WritePacket(request, sizeof(request));
    uint8_t buffer[ReadSize];
    const ssize_t got = read(port, buffer, sizeof(buffer));
    if (got > 0) {
        passesWithoutAnswer = 0;
        ReceiveBytes(buffer, static_cast<std::size_t>(got));
        return;
    }
    // A live panel answers every request, even with an empty buffer; a panel unplugged while a jog
    // key was down never sends its release, so the key is let go as on the front panel.
    if (passesWithoutAnswer < StalePasses && ++passesWithoutAnswer == StalePasses) {
        for (float& v : jogValues) v = 0.0f;
    }
}

void DisplayEDIP::update() {
    if (!connected || busy) return;
    spinnerStep = (spinnerStep + 1) % 8;
    if (startUpCount > 0) {
        --startUpCount;
        sendAliveSign(80, 80);
        if (startUpCount == 0) ShowPage(PageEnable);
        return;
    }
    readBuffer();
    sendAliveSign(3, 3);
    sendStatus(20, 3);
    if (page == PageJog) {
        for (int i = 0; i < 6; ++i) sendDouble(shownValues[i], valuePositions[i][0], valuePositions[i][1]);
    }
}
