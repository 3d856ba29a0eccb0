#pragma once

#include <string>

#include "PkgProgram/Command.h"

namespace PluginFramework {
class PluginManager;
}

// Asks a plug-in of the interpreter for the latest target, into a position
// variable and a model-class variable; stays on the command until one came.
class CommandPlugin : public Command {
public:
    CommandPlugin();

    void ReadXML(tinyxml2::XMLElement* element, bool quiet) override;
    void WriteXML(std::ofstream* out, int index) override;
    int Interpolate(int cycleMs, float override, DataTypes::RobotState* state) override;
    std::string ToString() override;

    std::string pluginName;     // lower case
    std::string varTargetPos;   // lower case
    std::string varModelClass;  // lower case
    // The interpreter's, set by the loader.
    PluginFramework::PluginManager* pluginManager = nullptr;
};
