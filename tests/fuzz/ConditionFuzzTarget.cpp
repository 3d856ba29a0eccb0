// Fuzz entry point of the condition language: any text must either evaluate
// or fail with the language's own exception types, never crash, hang or
// overflow the stack.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "PkgProgram/BooleanLogicParserFrontend.h"
#include "PkgProgram/MemoryPosition.h"
#include "PkgProgram/ProgramMemory.h"
#include "datatypes/RobotState.h"

namespace {

struct Fixture {
    Fixture() {
        memory.SetVariableSingle("counter", 5.0, true);
        memory.SetVariableSingle("dinx", 1.0, true);
        memory.SetVariableSingle("big", 1e300, true);
        memory.SetVariableSingle("neg", -2.5, true);
        DataTypes::RobotState p;
        p.pose.SetTranslation(150.0f, -20.0f, 300.0f);
        p.A = 10.0f;
        p.B = 20.0f;
        p.C = 30.0f;
        for (int j = 0; j < DataTypes::RobotState::maxJoints; ++j) p.jointSetPoint[j] = static_cast<float>(j);
        memory.SetVariable(Programs::MemoryPosition("p1", p, false), Programs::StoreBoth);
        for (int i = 0; i < DataTypes::RobotState::maxIOs; i += 3) state.digitalInputs[i] = true;
        for (int i = 0; i < DataTypes::RobotState::maxSignals; i += 2) state.globalSignals[i] = true;
    }
    Programs::ProgramMemory memory;
    DataTypes::RobotState state;
};

// Evaluates; returns 0 false, 1 true, 2 a documented error.
int Evaluate(BooleanLogicParserFrontend& frontend, Programs::ProgramMemory* memory, DataTypes::RobotState* state) {
    try {
        return frontend.GetCurrentResult(memory, state) ? 1 : 0;
    } catch (const std::invalid_argument&) {
        return 2;
    } catch (const std::runtime_error&) {
        return 2;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Fixture* fixture = new Fixture();
    const std::string expression(reinterpret_cast<const char*>(data), size);

    BooleanLogicParserFrontend frontend;
    try {
        frontend.SetExpression(expression);
    } catch (const std::invalid_argument&) {
        return 0;
    }
    const int first = Evaluate(frontend, &fixture->memory, &fixture->state);
    // Evaluation reads but never changes anything: a second run agrees.
    if (Evaluate(frontend, &fixture->memory, &fixture->state) != first) std::abort();
    // Without memory or robot state it must still fail cleanly.
    Evaluate(frontend, nullptr, nullptr);
    return 0;
}
