#pragma once
// The console reader: one-line operator commands on standard input (program
// control, reset, enable, referencing, jogging, override steps, raw CANopen
// SDO requests). Its thread only records what was typed; the main loop takes
// the command, the jog values and the SDO request each pass.
//
// The fields are shared between the reader thread and the main loop and are
// guarded by one mutex. The reader waits on its input and on a stop pipe, so
// the destructor can stop and join it even while nothing is typed; it ends by
// itself at the end of input.

#include <iosfwd>
#include <mutex>
#include <string>
#include <thread>

// Reads "0x" followed by up to eight hex digits (the 32 bits as an int) or a
// decimal int with an optional sign. False for an empty text and for a text
// that is not a whole number in range; the result is then left unchanged.
bool ToNumber(const std::string& text, int& result);

class KeyboardInput {
public:
    static constexpr int KeyLayoutGerman = 0;
    static constexpr int KeyLayoutUS = 1;

    struct SDORequest {
        int device = 0;
        int address = 0;
        int subaddress = 0;
        int value = 0;
    };

    // Reads standard input, echoes to standard output.
    KeyboardInput();
    // Reads lines from inputFd (not owned, not closed) and echoes to output;
    // a negative descriptor starts no reader.
    KeyboardInput(int inputFd, std::ostream& output);
    // Stops the reader thread and waits for it.
    virtual ~KeyboardInput();
    KeyboardInput(const KeyboardInput&) = delete;
    KeyboardInput& operator=(const KeyboardInput&) = delete;

    // The help text, to the echo output.
    void PrintHelp();
    void ResetJogValues();
    void GetJogValues(float values[9]) const;

    // The command typed last, if any; clears it. The main loop calls this once a pass.
    bool TakeCommand(int& code, int& parameter, int& value);
    // The complete SDO request, if one is pending; clears it.
    bool TakeSDORequest(SDORequest& request);
    bool IsSDOPending() const;
    int GetOverride() const;
    int GetKeyLayout() const;

    // What the reader does with one line (without its line end).
    void HandleLine(const std::string& line);

    // Ends the reader thread and waits for it; idempotent.
    void Stop();
    // False once the reader ended (end of input, read error or Stop).
    bool IsReaderRunning() const;

private:
    void KeyboardLoop();
    static void threadKeyboardLoop(KeyboardInput* self);
    void HandleSDOLine(const std::string& line);
    void PostCommand(int code, int parameter, int value);
    void AddJog(int axis, float delta);
    void SetJog(int axis, float value);
    // Sleeps up to ms; true when a stop was asked for meanwhile.
    bool WaitForStop(int ms);

    mutable std::mutex mutex;  // guards the fields below up to keyLayout
    float jogValues[9] = {};
    int commandCode = 0;
    int parameter = 0;
    int value = 0;
    int override = 40;
    SDORequest sdo;
    bool sdoPending = false;
    int keyLayout = KeyLayoutGerman;

    int inputFd = -1;
    std::ostream& output;
    std::mutex outputMutex;  // one echo line at a time
    int stopPipe[2] = {-1, -1};
    bool stop = false;  // under mutex
    bool readerRunning = false;  // under mutex
    std::thread reader;
};
