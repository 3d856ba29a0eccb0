#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "PkgProgram/MatrixDefinition.h"
#include "PkgProgram/MemoryMatrix.h"
#include "PkgProgram/MemoryPosition.h"
#include "PkgProgram/StoreContentType.h"

class RobotKinematic;
namespace DataTypes {
class RobotState;
}

namespace Programs {

// The variables of robot programs: numbers, positions and grids, names
// compared without case. Positions keep pose and joints; when one side is
// given the other is completed through the kinematics. Every effective change
// is reported through the change callback, which runs with the memory's lock
// released, on the calling thread.
//
// Entries are immutable once published: every change replaces the shared
// entry, so a holder of an entry never sees it change under its feet.
class ProgramMemory {
public:
    using ChangeCallback = std::function<void(std::shared_ptr<const MemoryPosition>)>;

    ProgramMemory();
    ProgramMemory(const ProgramMemory&) = delete;
    ProgramMemory& operator=(const ProgramMemory&) = delete;

    bool HasVariable(const std::string& name) const;
    // The shared entry, or null.
    std::shared_ptr<const MemoryPosition> Get(const std::string& name) const;
    // 0 when missing.
    int32_t GetVariableType(const std::string& name) const;
    // Throws std::runtime_error "Variable <name> is not defined".
    MemoryPosition GetVariable(const std::string& name) const;

    // Stores or replaces by name; an existing variable keeps its static flag.
    void SetVariable(const MemoryPosition& v, StoreContentType t);
    // The setters return whether the variable existed before the call and took the value
    // (false when a position could not be completed by the kinematics).
    bool SetVariableSingle(const std::string& name, double value, bool create);
    bool SetVariablePos(const std::string& name, const DataTypes::RobotState& s, bool create, StoreContentType t);
    bool SetVariablePosCart(const std::string& name, double x, double y, double z, double a, double b, double c,
                            double e1, double e2, double e3, bool create);
    bool SetVariablePosJoint(const std::string& name, double a1, double a2, double a3, double a4, double a5,
                             double a6, double e1, double e2, double e3, bool create);

    bool HasMatrixDefinition(const std::string& name) const;
    // Throws std::runtime_error "Matrix <name> is not defined".
    MatrixDefinition GetMatrixDefinition(const std::string& name) const;
    void SetMatrixDefinition(const std::string& name, const MatrixDefinition& d, bool isStatic);

    // Drops every variable and grid that is not static, then re-creates
    // missing system and Modbus variables.
    void Clear();
    void CreateSystemVariables();
    void CreateModbusVariables();

    // Run-state callbacks of the program and the logic interpolator.
    void OnProgramRunStateChanged(bool running);
    void OnLogicProgramRunStateChanged(bool running);

    // Wiring by the robot master and the server manager. The kinematic object
    // is the memory's own copy; the memory does not own it.
    void SetKinematic(RobotKinematic* kin);
    void SetRobotState(const DataTypes::RobotState* state);
    void SetChangeCallback(ChangeCallback callback);

    // Number of variables, for diagnostics.
    std::size_t VariableCount() const;

private:
    using Entry = std::shared_ptr<const MemoryPosition>;

    // Index in `variables`, or -1. Caller holds the mutex; name in lower case.
    long FindLocked(const std::string& lowerName) const;
    // Completions on a private copy. Return false when the kinematics failed;
    // `changed` tells whether the other side moved.
    bool ToJointLocked(MemoryPosition& entry, bool& changed);
    bool ToCartesianLocked(MemoryPosition& entry, bool& changed);
    bool CompleteLocked(MemoryPosition& entry, StoreContentType t, bool& changed);
    // Appends when missing; returns the new entry or null. Caller holds the mutex.
    Entry AddIfMissingLocked(const MemoryPosition& v);
    void CopyPartsCounter(const std::string& lowerName, double value);
    // Finds the variable (or starts from `fresh` when create is set), lets
    // `edit(entry, changed)` work on a copy and stores the copy unless edit
    // refuses it; reports the stored entry. Returns whether it existed and was stored.
    template <class Edit>
    bool UpdateVariable(const std::string& lowerName, bool create, const MemoryPosition& fresh, Edit edit);
    void OnRunStateChanged(const char* variableName, bool running);
    void OnVariableChanged(const Entry& entry);

    mutable std::mutex mutex;
    std::vector<Entry> variables;
    std::map<std::string, MemoryMatrix> matrices;
    RobotKinematic* kinematic;
    const DataTypes::RobotState* robotState;
    ChangeCallback changeCallback;
};

}  // namespace Programs
