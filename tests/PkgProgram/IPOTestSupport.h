#pragma once
// An interpreter with its program memory in a scratch root, programs written
// as files under Data/Programs/, and the events it sends recorded.

#include <mutex>
#include <string>
#include <vector>

#include "PkgProgram/Command.h"
#include "PkgProgram/IPO.h"
#include "PkgProgram/ProgramMemory.h"
#include "datatypes/RobotState.h"
#include "support/TestSupport.h"

namespace IPOTest {

struct Event {
    HXPEventType type;
    int command;
    int program;
    std::string text;
    bool operator==(const Event& o) const {
        return type == o.type && command == o.command && program == o.program && text == o.text;
    }
};

// The interpreter's event callback is a plain function: one recorder for the binary.
class Events {
public:
    static void Record(HXPEventType type, int command, int program, const std::string& text) {
        std::lock_guard<std::mutex> lock(Mutex());
        List().push_back({type, command, program, text});
    }
    static std::vector<Event> Take() {
        std::lock_guard<std::mutex> lock(Mutex());
        std::vector<Event> events;
        events.swap(List());
        return events;
    }

private:
    static std::mutex& Mutex() {
        static std::mutex m;
        return m;
    }
    static std::vector<Event>& List() {
        static std::vector<Event> l;
        return l;
    }
};

inline std::string ProgramPath(const std::string& name) { return "Data/Programs/" + name; }

// Writes a program file whose root holds `body`.
inline void WriteProgram(const TestSupport::ScratchRoot& root, const std::string& name, const std::string& body) {
    TestSupport::WriteFile(root.File(ProgramPath(name)), "<?xml version=\"1.0\"?>\n<Program>\n" + body + "</Program>\n");
}

class Interpreter {
public:
    explicit Interpreter(IPO::IpoType type = IPO::IpoTypeMain) : ipo(type) {
        ipo.SetMemory(&memory);
        ipo.hxpCallback = &Events::Record;
        memory.SetRobotState(&state);
        Events::Take();
    }

    bool Load(const std::string& file) { return ipo.LoadProgramSynchronous(file, true) == 0; }

    // Runs `cycles` steps of 10 ms at 100 % override.
    void Step(int cycles = 1) {
        for (int i = 0; i < cycles; ++i) ipo.GetNextPosition(10, 100.0f, &state);
    }

    // Steps until the interpreter stops running; returns the number of steps, or -1 after `limit`.
    int RunToEnd(int limit = 10000) {
        for (int i = 1; i <= limit; ++i) {
            Step();
            if (!ipo.IsReplayRunning()) return i;
        }
        return -1;
    }

    double Number(const std::string& name) const { return memory.GetVariable(name).number; }

    // Class names of the main program's commands with their successors, for structure checks.
    std::vector<std::string> Graph(int program = 0) {
        std::vector<std::string> lines;
        auto lock = ipo.LockPrograms();
        if (program >= static_cast<int>(ipo.programs.size())) return lines;
        for (const auto& c : ipo.programs[static_cast<std::size_t>(program)].commands) {
            lines.push_back(c->className + " " + std::to_string(c->succ[0]) + " " + std::to_string(c->succ[1]) +
                            " " + std::to_string(c->succ[2]));
        }
        return lines;
    }

    Programs::ProgramMemory memory;
    DataTypes::RobotState state;
    IPO ipo;
};

}  // namespace IPOTest
