// Fuzz entry point of the program loader: any bytes as a program file must
// load or be refused with a message, never crash; what loads is stepped for a
// bounded number of cycles, so the flow commands and conditions run too.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "PkgProgram/IPO.h"
#include "PkgProgram/ProgramMemory.h"
#include "datatypes/RobotState.h"

namespace {

struct Fixture {
    Fixture() : ipo(IPO::IpoTypeMain) {
        ipo.SetMemory(&memory);
        memory.SetRobotState(&state);
        // A sub-program the inputs can call by name.
        Write("Data/Programs/sub.xml",
              "<Program><MathOperator Nr=\"1\" Function=\"add\" FirstOperand=\"n\" SecondOperand=\"1\"/></Program>");
    }
    static void Write(const std::string& path, const std::string& text) {
        if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
            std::fwrite(text.data(), 1, text.size(), f);
            std::fclose(f);
        }
    }
    Programs::ProgramMemory memory;
    DataTypes::RobotState state;
    IPO ipo;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Fixture* fixture = [] {
        std::filesystem::create_directories("Data/Programs");
        return new Fixture();
    }();
    Fixture::Write("Data/Programs/fuzz.xml", std::string(reinterpret_cast<const char*>(data), size));
    IPO& ipo = fixture->ipo;
    ipo.DeleteAll();
    fixture->memory.SetVariableSingle("n", 0.0, true);
    if (ipo.LoadProgramSynchronous("fuzz.xml", true) == 0) {
        ipo.replayMode = IPO::ReplayRepeat;
        ipo.Start();
        for (int i = 0; i < 200 && ipo.IsReplayRunning(); ++i) ipo.GetNextPosition(10, 100.0f, &fixture->state);
    }
    ipo.DeleteAll();
    return 0;
}
