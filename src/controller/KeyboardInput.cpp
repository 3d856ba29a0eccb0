#include "controller/KeyboardInput.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <iostream>
#include <poll.h>
#include <unistd.h>
#include <vector>

#include "common/LogSingleton.h"

namespace {

// Longer lines are no command; they are dropped up to their line end.
constexpr std::size_t MaxLineLength = 1024;
// The pause after each line; the main loop takes one command per pass (about 27 ms).
constexpr int PauseAfterLineMs = 100;

struct JogKeys {
    const char* plus;
    const char* zero;
    const char* minus;
};

// Axes 0..6 (joints 1 to 6, external axis 1); the layouts differ only in "y" and "z".
const JogKeys GermanJogKeys[7] = {{"q", "a", "y"}, {"w", "s", "x"}, {"e", "d", "c"}, {"r", "f", "v"},
                                  {"t", "g", "b"}, {"z", "h", "n"}, {"u", "j", "m"}};
const JogKeys USJogKeys[7] = {{"q", "a", "z"}, {"w", "s", "x"}, {"e", "d", "c"}, {"r", "f", "v"},
                              {"t", "g", "b"}, {"y", "h", "n"}, {"u", "j", "m"}};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::vector<std::string> SplitBlanks(const std::string& text) {
    std::vector<std::string> tokens;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && IsBlank(text[i])) ++i;
        const std::size_t start = i;
        while (i < text.size() && !IsBlank(text[i])) ++i;
        if (i > start) tokens.push_back(text.substr(start, i - start));
    }
    return tokens;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The global reader is built during static initialisation: the standard
// streams must exist before its thread can echo to them.
std::ostream& StandardOutput() {
    static std::ios_base::Init streams;
    return std::cout;
}

}  // namespace

bool ToNumber(const std::string& text, int& result) {
    if (text.empty()) return false;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        // Up to 32 bits, so that any value of a 32-bit object can be written.
        if (text.size() > 10) return false;
        uint32_t value = 0;
        for (std::size_t i = 2; i < text.size(); ++i) {
            const int digit = HexDigit(text[i]);
            if (digit < 0) return false;
            value = value * 16u + static_cast<uint32_t>(digit);
        }
        result = static_cast<int>(static_cast<int32_t>(value));
        return true;
    }
    std::size_t i = 0;
    bool negative = false;
    if (text[0] == '+' || text[0] == '-') {
        negative = text[0] == '-';
        i = 1;
    }
    if (i >= text.size()) return false;
    int64_t value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
        if (value > 2147483648LL) return false;
    }
    if (negative) value = -value;
    if (value > 2147483647LL || value < -2147483648LL) return false;
    result = static_cast<int>(value);
    return true;
}

KeyboardInput::KeyboardInput() : KeyboardInput(STDIN_FILENO, StandardOutput()) {}

KeyboardInput::KeyboardInput(int fd, std::ostream& out) : inputFd(fd), output(out) {
    if (inputFd < 0) return;
    if (pipe2(stopPipe, O_CLOEXEC) != 0) {
        LogSingleton::instance()->addError("KeyboardInput: could not create the stop pipe, console not read");
        stopPipe[0] = stopPipe[1] = -1;
        return;
    }
    readerRunning = true;
    reader = std::thread(&KeyboardInput::threadKeyboardLoop, this);
}

KeyboardInput::~KeyboardInput() {
    Stop();
    for (int& fd : stopPipe) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
}

void KeyboardInput::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
    }
    if (stopPipe[1] >= 0) {
        const char byte = 1;
        ssize_t written;
        do {
            written = write(stopPipe[1], &byte, 1);
        } while (written < 0 && errno == EINTR);
    }
    if (reader.joinable() && reader.get_id() != std::this_thread::get_id()) reader.join();
}

bool KeyboardInput::IsReaderRunning() const {
    std::lock_guard<std::mutex> lock(mutex);
    return readerRunning;
}

void KeyboardInput::threadKeyboardLoop(KeyboardInput* self) { self->KeyboardLoop(); }

bool KeyboardInput::WaitForStop(int ms) {
    pollfd fd{stopPipe[0], POLLIN, 0};
    int result;
    do {
        result = poll(&fd, 1, ms);
    } while (result < 0 && errno == EINTR);
    std::lock_guard<std::mutex> lock(mutex);
    return stop;
}

void KeyboardInput::KeyboardLoop() {
    LogSingleton* log = LogSingleton::instance();
    std::string pending;
    bool discarding = false;  // inside a line that was too long
    char buffer[512];
    bool ended = false;
    while (!ended) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stop) break;
        }
        const std::size_t lineEnd = pending.find('\n');
        if (lineEnd != std::string::npos) {
            std::string line = pending.substr(0, lineEnd);
            pending.erase(0, lineEnd + 1);
            const bool tooLong = discarding || line.size() > MaxLineLength;
            if (line.size() > MaxLineLength && !discarding)
                log->addError("KeyboardInput: console line too long, ignored");
            discarding = false;
            if (tooLong) continue;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            HandleLine(line);
            if (WaitForStop(PauseAfterLineMs)) break;
            continue;
        }
        if (pending.size() > MaxLineLength) {
            if (!discarding) log->addError("KeyboardInput: console line too long, ignored");
            pending.clear();
            discarding = true;
        }

        pollfd fds[2] = {{inputFd, POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
        const int ready = poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents != 0) break;
        if ((fds[0].revents & POLLNVAL) != 0) break;
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        const ssize_t count = read(inputFd, buffer, sizeof(buffer));
        if (count < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            break;
        }
        if (count == 0) {
            // End of input: a last line without its line end still counts.
            if (!pending.empty() && !discarding) {
                if (pending.size() > MaxLineLength) {
                    log->addError("KeyboardInput: console line too long, ignored");
                } else {
                    if (pending.back() == '\r') pending.pop_back();
                    HandleLine(pending);
                }
            }
            ended = true;
            continue;
        }
        pending.append(buffer, static_cast<std::size_t>(count));
    }
    std::lock_guard<std::mutex> lock(mutex);
    readerRunning = false;
}

void KeyboardInput::HandleLine(const std::string& line) {
    if (line.size() > 3 && line.compare(0, 3, "sdo") == 0) {
        HandleSDOLine(line);
        return;
    }
    if (line.empty()) return;
    {
        std::lock_guard<std::mutex> lock(outputMutex);
        // One write per line: log lines from other threads go to the same console.
        output << ("You entered: \"" + line + "\"\n") << std::flush;
    }

    LogSingleton* log = LogSingleton::instance();
    if (line == "help") {
        PrintHelp();
    } else if (line == "us") {
        {
            std::lock_guard<std::mutex> lock(mutex);
            keyLayout = KeyLayoutUS;
        }
        log->add("Keyboard layout changed to US");
    } else if (line == "de") {
        {
            std::lock_guard<std::mutex> lock(mutex);
            keyLayout = KeyLayoutGerman;
        }
        log->add("Keyboard layout changed to GER");
    } else if (line == "5") {
        PostCommand(2, 0, 0);
    } else if (line == "6") {
        PostCommand(3, 0, 0);
    } else if (line == "7") {
        PostCommand(4, 0, 0);
    } else if (line == "1") {
        PostCommand(10, 0, 0);
    } else if (line == "2") {
        PostCommand(11, 0, 0);
    } else if (line == "8") {
        PostCommand(14, 0, 0);
    } else if (line == "9") {
        PostCommand(16, 0, 0);
    } else if (line == "0") {
        PostCommand(13, 0, 0);
    } else if (line == "o" || line == "l") {
        std::lock_guard<std::mutex> lock(mutex);
        if (line == "o") {
            override += 10;
            if (override > 100) override = 100;
        } else {
            override -= 10;
            if (override <= 9) override = 10;
        }
        commandCode = 33;
        parameter = 0;
        value = override;
    } else {
        const JogKeys* keys = GetKeyLayout() == KeyLayoutUS ? USJogKeys : GermanJogKeys;
        for (int axis = 0; axis < 7; ++axis) {
            if (line == keys[axis].plus) {
                AddJog(axis, 10.0f);
            } else if (line == keys[axis].zero) {
                SetJog(axis, 0.0f);
            } else if (line == keys[axis].minus) {
                AddJog(axis, -10.0f);
            } else {
                continue;
            }
            break;
        }
        // Anything else was echoed and is ignored.
    }
}

void KeyboardInput::HandleSDOLine(const std::string& line) {
    LogSingleton* log = LogSingleton::instance();
    {
        std::lock_guard<std::mutex> lock(mutex);
        sdoPending = false;
    }
    // "sdo", one character, then the four numbers.
    const std::vector<std::string> tokens = SplitBlanks(line.size() > 4 ? line.substr(4) : std::string());
    std::string shown[4];
    for (std::size_t i = 0; i < 4 && i < tokens.size(); ++i) shown[i] = tokens[i];

    // Every number must parse and be in range: a request that is not exactly
    // what was typed must never reach a drive (an unparsed index would read 0).
    SDORequest request;
    const bool valid = tokens.size() >= 4 && ToNumber(tokens[0], request.device) &&
                       ToNumber(tokens[1], request.address) && ToNumber(tokens[2], request.subaddress) &&
                       ToNumber(tokens[3], request.value) && request.device >= 1 && request.device <= 127 &&
                       request.address >= 0 && request.address <= 0xFFFF && request.subaddress >= 0 &&
                       request.subaddress <= 0xFF;
    if (!valid) {
        log->addFormat("Invalid command for SDO: Got '%s' '%s' '%s' '%s'", shown[0], shown[1], shown[2], shown[3]);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        sdo = request;
        sdoPending = true;
    }
    char text[256];
    std::snprintf(text, sizeof(text), "You entered: sdo device %d address %x subaddress %d value %d (0x%x)",
                  request.device, static_cast<unsigned>(request.address), request.subaddress, request.value,
                  static_cast<unsigned>(request.value));
    log->add(text);
}

void KeyboardInput::PostCommand(int code, int newParameter, int newValue) {
    std::lock_guard<std::mutex> lock(mutex);
    commandCode = code;
    parameter = newParameter;
    value = newValue;
}

void KeyboardInput::AddJog(int axis, float delta) {
    std::lock_guard<std::mutex> lock(mutex);
    jogValues[axis] += delta;
}

void KeyboardInput::SetJog(int axis, float newValue) {
    std::lock_guard<std::mutex> lock(mutex);
    jogValues[axis] = newValue;
}

void KeyboardInput::ResetJogValues() {
    std::lock_guard<std::mutex> lock(mutex);
    for (float& v : jogValues) v = 0.0f;
}

void KeyboardInput::GetJogValues(float values[9]) const {
    std::lock_guard<std::mutex> lock(mutex);
    for (int i = 0; i < 9; ++i) values[i] = jogValues[i];
}

bool KeyboardInput::TakeCommand(int& code, int& commandParameter, int& commandValue) {
    std::lock_guard<std::mutex> lock(mutex);
    if (commandCode == 0) return false;
    code = commandCode;
    commandParameter = parameter;
    commandValue = value;
    commandCode = 0;
    return true;
}

bool KeyboardInput::TakeSDORequest(SDORequest& request) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!sdoPending) return false;
    request = sdo;
    sdoPending = false;
    return true;
}

bool KeyboardInput::IsSDOPending() const {
    std::lock_guard<std::mutex> lock(mutex);
    return sdoPending;
}

int KeyboardInput::GetOverride() const {
    std::lock_guard<std::mutex> lock(mutex);
    return override;
}

int KeyboardInput::GetKeyLayout() const {
    std::lock_guard<std::mutex> lock(mutex);
    return keyLayout;
}

void KeyboardInput::PrintHelp() {
    static const char* const Lines[] = {
        "",
        "",
        "Keyboard Commands:",
        "1: Load Joint Values and Reset",
        "2: Enable Motors",
        "567: Start/Pause/Stop",
        "8: Change motion mode Joint/Cart",
        "9: Reference All",
        "0: Set Joints to Zero",
        "qay: Joint 0 (qaz in US layout)",
        "wsx: Joint 1",
        "edc: Joint 2",
        "rfv: Joint 3",
        "tgb: Joint 4",
        "zhn: Joint 5 (yhn in US layout)",
        "ujm: Ext 1",
        "ol:  Override +/-",
        "\"sdo\" <device id> <address> <subaddress> <value>: Send CANopen SDO",
        "",
        "\"help\": print this help",
        "\"us\": use US key layout",
        "\"de\": use GER key layout (default)",
        "",
    };
    std::string text;
    for (const char* line : Lines) text.append(line).append("\n");
    std::lock_guard<std::mutex> lock(outputMutex);
    output << text << std::flush;
}
