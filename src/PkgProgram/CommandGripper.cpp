#include "PkgProgram/CommandGripper.h"

#include <algorithm>
#include <cmath>
#include <exception>

#include "PkgProgram/CommandSupport.h"
#include "common/LogSingleton.h"
#include "datatypes/RobotState.h"

namespace {

float ClampPosition(float position) {
    if (!std::isfinite(position)) return 0.0f;
    return std::min(std::max(position, 0.0f), 100.0f);
}

}  // namespace

CommandGripper::CommandGripper() : gripper{0.0f, 0.0f, 0.0f} { className = "CommandGripper"; }

CommandGripper::CommandGripper(float position) : CommandGripper() { gripper[0] = ClampPosition(position); }

void CommandGripper::ReadXML(tinyxml2::XMLElement* element, bool /*quiet*/) {
    // The listing is written even for a quiet load.
    LogSingleton* log = LogSingleton::instance();
    try {
        const int nr = QueryInt(element, "Nr", 0);
        // A position that does not parse must not drive the gripper to 0.
        if (CommandSupport::HasAttribute(element, "Position")) gripper[0] = ClampPosition(ReadFloat(element, "Position"));
        valid = true;
        log->addFormat("   Nr. %d: Gripper Position %.1lf", nr, gripper[0]);
    } catch (const std::exception& e) {
        Refuse(e.what());
        log->addError("ERROR - IPO: Could not read gripper command");
    }
}

void CommandGripper::WriteXML(std::ofstream* out, int index) {
    // Held as reading holds it, so that a value set by a direct command loads again.
    CommandSupport::WriteLine(out, CommandSupport::Format("<Gripper Nr=\"%d\" Position=\"%0.1f\" Descr=\"\" />", index,
                                                          static_cast<double>(ClampPosition(gripper[0]))));
}

int CommandGripper::Interpolate(int /*cycleMs*/, float /*override*/, DataTypes::RobotState* state) {
    if (state != nullptr) std::copy(std::begin(gripper), std::end(gripper), state->toolValue);
    return succ[0];
}
