#pragma once
// One loaded program file: its commands and, while it runs as a
// sub-program, where it was called from.

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

class Command;

class RobotProgram {
public:
    RobotProgram() = default;
    explicit RobotProgram(const std::string& name);

    void AddAncestor(int32_t index);
    void RemoveAncestor(int32_t index);
    // True when this program or one of its ancestors in `programs` has the name.
    bool IsAncestor(const std::string& programName, const std::vector<RobotProgram>& programs) const;

    std::string name;
    std::vector<std::shared_ptr<Command>> commands;
    int32_t parent = -1;
    int32_t returnIndex = -1;
    std::set<int32_t> ancestors;
};
