#include "PkgProgram/CommandSetVelocity.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <iostream>
#include <stdexcept>

#include "PkgProgram/CommandSupport.h"
#include "PkgProgram/XMLException.h"
#include "common/LogSingleton.h"
#include "datatypes/RobotState.h"

CommandSetVelocity::CommandSetVelocity() : joint(0) { className = "CommandSetVelocity"; }

void CommandSetVelocity::ReadXML(tinyxml2::XMLElement* element, bool quiet) {
    LogSingleton* log = LogSingleton::instance();
    valid = true;
    int nr = 0;
    int axis = joint;
    // Each missing or unconvertible attribute makes the command invalid; the others are still read.
    auto read = [&](auto reader) {
        try {
            reader();
        } catch (const XMLException& e) {
            Refuse(e.what());
            log->addErrorFormat("Error: Could not read SetVelocity command: %s", e.what());
        }
    };
    read([&] { nr = ReadInt(element, "Nr"); });
    read([&] { axis = ReadInt(element, "Joint"); });
    read([&] { targetVelocity = ReadFloat(element, "Vel"); });
    read([&] { acceleration = ReadFloat(element, "Acc"); });
    try {
        if (axis < 0 || axis > 2) {
            Refuse(AttributeText(element, "Joint") + " is no external axis (0 to 2)");
            throw std::runtime_error("invalid joint number");
        }
        joint = axis;
        if (!quiet) {
            log->addFormat("   Nr. %d: SetVelocity joint %d vel %0.1f acc %0.1f", nr, joint, targetVelocity,
                           acceleration);
        }
    } catch (const std::exception& e) {
        log->addErrorFormat("Error: Could not read SetVelocity command: %s", e.what());
    }
}

void CommandSetVelocity::WriteXML(std::ofstream* out, int index) {
    std::cout << "****************** Writing Set Velocity*********************" << std::endl;
    CommandSupport::WriteLine(out, CommandSupport::Format(
                                       "<SetVel Nr=\"%d\" Joint=\"%d\" Vel=\"%0.1f\" Acc=\"%0.1f\" Descr=\"\" />", index,
                                       joint, static_cast<double>(targetVelocity), static_cast<double>(acceleration)));
}

int CommandSetVelocity::Interpolate(int /*cycleMs*/, float /*override*/, DataTypes::RobotState* state) {
    if (joint < 0 || joint > 2) throw std::out_of_range("invalid joint number");
    const float limit = jointMaxVelocity[6 + joint];
    float v = std::max(std::min(targetVelocity, limit), -limit);
    // NaN passes both bounds; the axis stops instead.
    if (std::isnan(v)) v = 0.0f;
    if (state != nullptr) state->jointVelocitySetPoint[6 + joint] = v;
    return succ[0];
}

int CommandSetVelocity::InterpolateLogic(int /*cycleMs*/, float /*override*/, DataTypes::RobotState* /*state*/) {
    return succ[0];
}
