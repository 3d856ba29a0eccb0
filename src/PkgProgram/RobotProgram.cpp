#include "PkgProgram/RobotProgram.h"

namespace {

// Walks the ancestor sets; `visited` keeps a cycle in them from recursing for ever.
bool IsAncestorOf(const RobotProgram& program, const std::string& programName,
                  const std::vector<RobotProgram>& programs, std::set<const RobotProgram*>& visited) {
    if (!visited.insert(&program).second) return false;
    if (program.name == programName) return true;
    for (int32_t index : program.ancestors) {
        if (index < 0 || static_cast<std::size_t>(index) >= programs.size()) continue;
        if (IsAncestorOf(programs[static_cast<std::size_t>(index)], programName, programs, visited)) return true;
    }
    return false;
}

}  // namespace

RobotProgram::RobotProgram(const std::string& programName) : name(programName) {}

void RobotProgram::AddAncestor(int32_t index) { ancestors.insert(index); }

void RobotProgram::RemoveAncestor(int32_t index) { ancestors.erase(index); }

bool RobotProgram::IsAncestor(const std::string& programName, const std::vector<RobotProgram>& programs) const {
    std::set<const RobotProgram*> visited;
    return IsAncestorOf(*this, programName, programs, visited);
}
