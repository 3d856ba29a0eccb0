#include "PkgProgram/ProgramMemory.h"

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <exception>
#include <stdexcept>

#include "common/LogSingleton.h"
#include "datatypes/RobotState.h"
#include "kinematics/RobotKinematic.h"

namespace Programs {

namespace {

constexpr int kJoints = DataTypes::RobotState::maxJoints;

std::string Lower(const std::string& s) {
    std::string r = s;
    for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return r;
}

bool Differs(double a, double b) { return std::fabs(a - b) > 0.01; }

bool JointsDiffer(const float* a, const float* b) {
    for (int i = 0; i < kJoints; ++i) {
        if (Differs(a[i], b[i])) return true;
    }
    return false;
}

// A whole number for the persistent part counters; NaN gives nothing.
bool ToCounter(double value, int& out) {
    if (std::isnan(value)) return false;
    if (value >= static_cast<double>(INT_MAX)) out = INT_MAX;
    else if (value <= static_cast<double>(INT_MIN)) out = INT_MIN;
    else out = static_cast<int>(value);
    return true;
}

}  // namespace

ProgramMemory::ProgramMemory() : kinematic(nullptr), robotState(nullptr) {
    CreateSystemVariables();
    CreateModbusVariables();
}

long ProgramMemory::FindLocked(const std::string& lowerName) const {
    for (std::size_t i = 0; i < variables.size(); ++i) {
        if (variables[i]->name == lowerName) return static_cast<long>(i);
    }
    return -1;
}

bool ProgramMemory::HasVariable(const std::string& name) const {
    const std::string lname = Lower(name);
    std::lock_guard<std::mutex> lock(mutex);
    return FindLocked(lname) >= 0;
}

std::shared_ptr<const MemoryPosition> ProgramMemory::Get(const std::string& name) const {
    const std::string lname = Lower(name);
    std::lock_guard<std::mutex> lock(mutex);
    const long i = FindLocked(lname);
    return i >= 0 ? variables[static_cast<std::size_t>(i)] : nullptr;
}

int32_t ProgramMemory::GetVariableType(const std::string& name) const {
    const Entry e = Get(name);
    return e ? e->type : MemoryPosition::TypeNone;
}

MemoryPosition ProgramMemory::GetVariable(const std::string& name) const {
    const Entry e = Get(name);
    if (!e) throw std::runtime_error("Variable " + name + " is not defined");
    return *e;
}

std::size_t ProgramMemory::VariableCount() const {
    std::lock_guard<std::mutex> lock(mutex);
    return variables.size();
}

bool ProgramMemory::ToJointLocked(MemoryPosition& entry, bool& changed) {
    changed = false;
    DataTypes::RobotState& s = entry.position;
    if (kinematic == nullptr) {
        LogSingleton::instance()->addError("ProgramMemory: no kinematic to compute the joints of " + entry.name +
                                           ", variable not changed");
        return false;
    }
    float saved[kJoints];
    for (int i = 0; i < kJoints; ++i) saved[i] = s.jointSetPoint[i];
    float solved[kJoints];
    for (int i = 0; i < kJoints; ++i) solved[i] = s.jointSetPoint[i];
    try {
        // The robot's current joints choose the arm configuration of the solution.
        kinematic->SetJoints(robotState != nullptr ? robotState->jointSetPoint : saved, false);
        kinematic->SetPosition(s.pose, solved);
        kinematic->GetJoints(solved);
    } catch (int code) {
        LogSingleton::instance()->addErrorFormat(
            "ProgramMemory: could not compute the joints of %s, kinematic error %d, variable not changed",
            entry.name.c_str(), code);
        return false;
    } catch (const std::exception& ex) {
        LogSingleton::instance()->addErrorFormat(
            "ProgramMemory: could not compute the joints of %s (%s), variable not changed", entry.name.c_str(),
            ex.what());
        return false;
    }
    for (int i = 0; i < kJoints; ++i) s.jointSetPoint[i] = solved[i];
    changed = JointsDiffer(saved, s.jointSetPoint);
    return true;
}

bool ProgramMemory::ToCartesianLocked(MemoryPosition& entry, bool& changed) {
    changed = false;
    DataTypes::RobotState& s = entry.position;
    if (kinematic == nullptr) {
        LogSingleton::instance()->addError("ProgramMemory: no kinematic to compute the pose of " + entry.name +
                                           ", variable not changed");
        return false;
    }
    const DataTypes::Matrix44 savedPose = s.pose;
    const float savedA = s.A, savedB = s.B, savedC = s.C;
    DataTypes::RobotState result = s;
    try {
        kinematic->SetJoints(s.jointSetPoint, false);
        kinematic->GetPosition(&result);
        result.UpdateABC();
    } catch (int code) {
        LogSingleton::instance()->addErrorFormat(
            "ProgramMemory: could not compute the pose of %s, kinematic error %d, variable not changed",
            entry.name.c_str(), code);
        return false;
    } catch (const std::exception& ex) {
        LogSingleton::instance()->addErrorFormat(
            "ProgramMemory: could not compute the pose of %s (%s), variable not changed", entry.name.c_str(),
            ex.what());
        return false;
    }
    s.pose = result.pose;
    s.A = result.A;
    s.B = result.B;
    s.C = result.C;
    changed = Differs(s.A, savedA) || Differs(s.B, savedB) || Differs(s.C, savedC) ||
              !s.pose.Equals(savedPose, 0.0001f);
    return true;
}

bool ProgramMemory::CompleteLocked(MemoryPosition& entry, StoreContentType t, bool& changed) {
    changed = false;
    if (t == StoreJoints) return ToCartesianLocked(entry, changed);
    if (t == StoreCartesian) return ToJointLocked(entry, changed);
    return true;
}

void ProgramMemory::CopyPartsCounter(const std::string& lowerName, double value) {
    int counter = 0;
    if (lowerName == "#parts-good" && ToCounter(value, counter)) LogSingleton::instance()->PartsGood = counter;
    else if (lowerName == "#parts-bad" && ToCounter(value, counter)) LogSingleton::instance()->PartsBad = counter;
}

void ProgramMemory::SetVariable(const MemoryPosition& v, StoreContentType t) {
    MemoryPosition entry = v;
    entry.name = Lower(v.name);
    Entry notify;
    {
        std::lock_guard<std::mutex> lock(mutex);
        const long i = FindLocked(entry.name);
        bool changed = true;
        if (i >= 0) {
            const Entry& old = variables[static_cast<std::size_t>(i)];
            changed = *old != entry;
            entry.isStatic = old->isStatic;  // the caller never changes an existing variable's flag
        }
        bool completed = false;
        if (!CompleteLocked(entry, t, completed)) return;
        changed = changed || completed;
        Entry stored = std::make_shared<const MemoryPosition>(entry);
        if (i >= 0) variables[static_cast<std::size_t>(i)] = stored;
        else variables.push_back(stored);
        if (changed) notify = stored;
    }
    CopyPartsCounter(entry.name, entry.number);
    if (notify) OnVariableChanged(notify);
}

template <class Edit>
bool ProgramMemory::UpdateVariable(const std::string& lowerName, bool create, const MemoryPosition& fresh, Edit edit) {
    Entry notify;
    bool found = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        const long i = FindLocked(lowerName);
        found = i >= 0;
        MemoryPosition entry;
        if (found) {
            entry = *variables[static_cast<std::size_t>(i)];
        } else if (create) {
            entry = fresh;
        } else {
            return false;
        }
        bool changed = !found;
        // A refused edit (a failed completion) stores nothing, and its caller must not take it for done.
        if (!edit(entry, changed)) return false;
        Entry stored = std::make_shared<const MemoryPosition>(entry);
        if (found) variables[static_cast<std::size_t>(i)] = stored;
        else variables.push_back(stored);
        if (changed || create) notify = stored;
    }
    if (notify) OnVariableChanged(notify);
    return found;
}

bool ProgramMemory::SetVariableSingle(const std::string& name, double value, bool create) {
    const std::string lname = Lower(name);
    return UpdateVariable(lname, create, MemoryPosition(lname, value, false), [&](MemoryPosition& entry, bool& changed) {
        changed = changed || Differs(entry.number, value);
        entry.number = value;
        CopyPartsCounter(lname, value);
        return true;
    });
}

bool ProgramMemory::SetVariablePos(const std::string& name, const DataTypes::RobotState& s, bool create,
                                   StoreContentType t) {
    const std::string lname = Lower(name);
    return UpdateVariable(lname, create, MemoryPosition(lname, s, false), [&](MemoryPosition& entry, bool& changed) {
        DataTypes::RobotState& p = entry.position;
        changed = changed || !p.pose.Equals(s.pose, 0.0001f) || Differs(p.A, s.A) || Differs(p.B, s.B) ||
                  Differs(p.C, s.C) || JointsDiffer(p.jointSetPoint, s.jointSetPoint);
        p.pose = s.pose;
        p.A = s.A;
        p.B = s.B;
        p.C = s.C;
        for (int j = 0; j < kJoints; ++j) p.jointSetPoint[j] = s.jointSetPoint[j];
        bool completed = false;
        if (!CompleteLocked(entry, t, completed)) return false;
        changed = changed || completed;
        return true;
    });
}

bool ProgramMemory::SetVariablePosCart(const std::string& name, double x, double y, double z, double a, double b,
                                       double c, double e1, double e2, double e3, bool create) {
    const std::string lname = Lower(name);
    return UpdateVariable(
        lname, create, MemoryPosition(lname, DataTypes::RobotState(), false), [&](MemoryPosition& entry, bool& changed) {
            DataTypes::RobotState& p = entry.position;
            const double given[9] = {x, y, z, a, b, c, e1, e2, e3};
            const double held[9] = {p.pose(0, 3), p.pose(1, 3), p.pose(2, 3), p.A, p.B, p.C,
                                    p.jointSetPoint[6], p.jointSetPoint[7], p.jointSetPoint[8]};
            for (int k = 0; k < 9; ++k) changed = changed || Differs(given[k], held[k]);
            p.pose.SetTranslation(static_cast<float>(x), static_cast<float>(y), static_cast<float>(z));
            p.A = static_cast<float>(a);
            p.B = static_cast<float>(b);
            p.C = static_cast<float>(c);
            // The rotation follows the angles, so the joints are solved for the pose that was asked for.
            p.UpdateMatrixFromABC();
            p.jointSetPoint[6] = static_cast<float>(e1);
            p.jointSetPoint[7] = static_cast<float>(e2);
            p.jointSetPoint[8] = static_cast<float>(e3);
            bool completed = false;
            if (!ToJointLocked(entry, completed)) return false;
            changed = changed || completed;
            return true;
        });
}

bool ProgramMemory::SetVariablePosJoint(const std::string& name, double a1, double a2, double a3, double a4,
                                        double a5, double a6, double e1, double e2, double e3, bool create) {
    const std::string lname = Lower(name);
    return UpdateVariable(
        lname, create, MemoryPosition(lname, DataTypes::RobotState(), false), [&](MemoryPosition& entry, bool& changed) {
            const double given[kJoints] = {a1, a2, a3, a4, a5, a6, e1, e2, e3};
            for (int j = 0; j < kJoints; ++j) {
                changed = changed || Differs(given[j], entry.position.jointSetPoint[j]);
                entry.position.jointSetPoint[j] = static_cast<float>(given[j]);
            }
            bool completed = false;
            if (!ToCartesianLocked(entry, completed)) return false;
            changed = changed || completed;
            return true;
        });
}

bool ProgramMemory::HasMatrixDefinition(const std::string& name) const {
    const std::string lname = Lower(name);
    std::lock_guard<std::mutex> lock(mutex);
    return matrices.count(lname) > 0;
}

MatrixDefinition ProgramMemory::GetMatrixDefinition(const std::string& name) const {
    const std::string lname = Lower(name);
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = matrices.find(lname);
    if (it == matrices.end()) throw std::runtime_error("Matrix " + name + " is not defined");
    return it->second.definition;
}

void ProgramMemory::SetMatrixDefinition(const std::string& name, const MatrixDefinition& d, bool isStatic) {
    const std::string lname = Lower(name);
    std::lock_guard<std::mutex> lock(mutex);
    matrices[lname] = MemoryMatrix(d, isStatic);
}

void ProgramMemory::Clear() {
    LogSingleton* log = LogSingleton::instance();
    log->add("Clearing variables...");
    std::size_t kept = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<Entry> remaining;
        for (const Entry& e : variables) {
            if (e->isStatic) remaining.push_back(e);
        }
        variables.swap(remaining);
        for (auto it = matrices.begin(); it != matrices.end();) {
            if (it->second.isStatic) ++it;
            else it = matrices.erase(it);
        }
        kept = variables.size();
    }
    log->addFormat("ProgramMemory: %d static variables remained", static_cast<int>(kept));
    CreateSystemVariables();
    CreateModbusVariables();
}

ProgramMemory::Entry ProgramMemory::AddIfMissingLocked(const MemoryPosition& v) {
    if (FindLocked(v.name) >= 0) return nullptr;
    Entry stored = std::make_shared<const MemoryPosition>(v);
    variables.push_back(stored);
    return stored;
}

void ProgramMemory::CreateSystemVariables() {
    LogSingleton* log = LogSingleton::instance();
    const DataTypes::RobotState defaultState;
    std::vector<Entry> added;
    {
        std::lock_guard<std::mutex> lock(mutex);
        const MemoryPosition systemVariables[] = {
            MemoryPosition("#position", defaultState, true),
            MemoryPosition("#programrunning", 0.0, true),
            MemoryPosition("#logicprogramrunning", 0.0, true),
            MemoryPosition("#parts-good", static_cast<double>(log->PartsGood), true),
            MemoryPosition("#parts-bad", static_cast<double>(log->PartsBad), true),
        };
        for (const MemoryPosition& v : systemVariables) {
            if (Entry e = AddIfMissingLocked(v)) added.push_back(e);
        }
    }
    for (const Entry& e : added) OnVariableChanged(e);
}

void ProgramMemory::CreateModbusVariables() {
    const DataTypes::RobotState defaultState;
    std::vector<Entry> added;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (int n = 1; n <= 16; ++n) {
            char numW[16], posW[16], numR[16], posR[16];
            std::snprintf(numW, sizeof(numW), "mb_num_w%d", n);
            std::snprintf(posW, sizeof(posW), "mb_pos_w%d", n);
            std::snprintf(numR, sizeof(numR), "mb_num_r%d", n);
            std::snprintf(posR, sizeof(posR), "mb_pos_r%d", n);
            const MemoryPosition modbus[] = {
                MemoryPosition(numW, 0.0, true),
                MemoryPosition(posW, defaultState, true),
                MemoryPosition(numR, 0.0, true),
                MemoryPosition(posR, defaultState, true),
            };
            for (const MemoryPosition& v : modbus) {
                if (Entry e = AddIfMissingLocked(v)) added.push_back(e);
            }
        }
    }
    for (const Entry& e : added) OnVariableChanged(e);
}

void ProgramMemory::OnRunStateChanged(const char* variableName, bool running) {
    try {
        const double value = running ? 1.0 : 0.0;
        const MemoryPosition current = GetVariable(variableName);
        if (current.number != value) SetVariable(MemoryPosition(variableName, value, true), StoreAsGiven);
    } catch (...) {
        // A missing variable only means nobody watches the run state.
    }
}

void ProgramMemory::OnProgramRunStateChanged(bool running) { OnRunStateChanged("#programrunning", running); }

void ProgramMemory::OnLogicProgramRunStateChanged(bool running) {
    OnRunStateChanged("#logicprogramrunning", running);
}

void ProgramMemory::SetKinematic(RobotKinematic* kin) {
    std::lock_guard<std::mutex> lock(mutex);
    kinematic = kin;
}

void ProgramMemory::SetRobotState(const DataTypes::RobotState* state) {
    std::lock_guard<std::mutex> lock(mutex);
    robotState = state;
}

void ProgramMemory::SetChangeCallback(ChangeCallback callback) {
    std::lock_guard<std::mutex> lock(mutex);
    changeCallback = std::move(callback);
}

void ProgramMemory::OnVariableChanged(const Entry& entry) {
    ChangeCallback callback;
    {
        std::lock_guard<std::mutex> lock(mutex);
        callback = changeCallback;
    }
    if (callback) callback(entry);
}

}  // namespace Programs
