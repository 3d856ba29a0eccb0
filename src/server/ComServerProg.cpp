// "PROG" messages: the active client appends one command at a time to the
// robot program (the loaded one, or "new.xml" when none is loaded).

#include <cstdio>
#include <cstring>
#include <string>

#include "common/LogSingleton.h"
#include "common/StringHelper.h"
#include "server/ComServer.h"
#include "server/HXPScanner.h"

namespace {

// The state word of "DOUT" is read like a 32-byte scan buffer would hold it.
constexpr std::size_t StateWordLength = 31;

int32_t TokenNumber(const char* token) {
    int32_t value = 0;
    if (token != nullptr) HXPScanner(token).Int(value);
    return value;
}

struct ProgLine {
    int32_t counter = 0;
    int32_t number = 0;
    float values[10] = {};
    int32_t integer = 0;
    std::string word;
};

}  // namespace

void ComServer::HandleProg(const char* message, char** save) {
    LogSingleton* log = LogSingleton::instance();
    // The counter and the command number as the frame gives them, for the unknown-keyword reply.
    const int32_t counterToken = HXPScanner::Counter(message);
    const char* numberToken = strtok_r(nullptr, " ", save);
    const char* keywordToken = numberToken != nullptr ? strtok_r(nullptr, " ", save) : nullptr;
    const std::string keyword = keywordToken != nullptr ? keywordToken : "";

    struct Spec {
        const char* keyword;
        const char* what;       // in the argument error line
        const char* whatIPO;    // in the not-available line
        int floats;             // values scanned before "EXT" (or all of them)
        bool ext;               // "EXT" with three values, then "VEL"/"VELMMS" with one
        const char* velocityWord;
        int required;
    };
    static const Spec Specs[] = {
        {"JOINT", "joint", "joint", 6, true, "VEL", 12},
        {"RELATIVEJOINT", "relative joint", "relative joint", 6, true, "VEL", 12},
        {"LINEAR", "linear", "linear", 6, true, "VELMMS", 12},
        {"RELATIVELINEAR", "relative linear", "relative linear", 4, false, nullptr, 6},
        {"RELATIVETOOL", "relative tool", "relative tool", 4, false, nullptr, 6},
        {"GRIPPER", "gripper", "gripper", 3, false, nullptr, 5},
        {"WAIT", "wait", "wait", 0, false, nullptr, 3},
        {"DOUT", "dout", "DOUT", 0, false, nullptr, 4},
    };
    const Spec* spec = nullptr;
    for (const Spec& s : Specs)
        if (keyword == s.keyword) spec = &s;

    char reply[64];
    if (spec == nullptr) {
        std::snprintf(reply, sizeof(reply), "PROGERROR %d %d unknown_command", counterToken, TokenNumber(numberToken));
        SendToClient(reply);
        return;
    }

    ProgLine line;
    HXPScanner scan(message);
    scan.Literal("HXPSTART").Int(line.counter).Literal("PROG").Int(line.number).Literal(spec->keyword);
    const std::string name = spec->keyword;
    bool inRange = true;
    if (name == "WAIT") {
        scan.Int(line.integer);
    } else if (name == "DOUT") {
        scan.Int(line.integer).Word(line.word, StateWordLength);
        // An output that does not exist is as incomplete as a missing one, and
        // the end token is no state word.
        inRange = line.integer >= 0 && line.integer < DataTypes::RobotState::maxIOs && line.word != "HXPEND";
    } else {
        for (int i = 0; i < spec->floats; ++i) scan.Float(line.values[i]);
        if (spec->ext) {
            scan.Literal("EXT");
            for (int i = 6; i < 9; ++i) scan.Float(line.values[i]);
            scan.Literal(spec->velocityWord).Float(line.values[9]);
        }
    }

    if (scan.Count() != spec->required || !inRange) {
        log->addFormat("HXP-Server: ERROR, could not define %s command! (invalid number of arguments)", spec->what);
        std::snprintf(reply, sizeof(reply), "PROGERROR %d %d incomplete_argument", line.counter, line.number);
        SendToClient(reply);
        if (name == "LINEAR") log->add("HXP-Server: Linear - not implemented yet!");
        return;
    }
    if (m_ProgramIPO == nullptr) {
        log->addFormat("HXP-Server: ERROR, could not define %s command! (IPO not available)", spec->whatIPO);
        std::snprintf(reply, sizeof(reply), "PROGERROR %d %d system_error", line.counter, line.number);
        SendToClient(reply);
        if (name == "LINEAR") log->add("HXP-Server: Linear - not implemented yet!");
        return;
    }

    const float* v = line.values;
    const auto d = [&](int i) { return static_cast<double>(v[i]); };
    if (name == "JOINT" || name == "RELATIVEJOINT" || name == "LINEAR") {
        log->addFormat("HXP-Server: %s %.1lf %.1lf %.1lf %.1lf %.1lf %.1lf ext: %.1lf %.1lf %.1lf vel: %.1lf",
                       spec->keyword, d(0), d(1), d(2), d(3), d(4), d(5), d(6), d(7), d(8), d(9));
        if (name == "LINEAR") {
            m_ProgramIPO->AddCommandLinear(line.number, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9]);
        } else {
            // The six robot joints and the three external axes, in one array of nine.
            if (name == "JOINT") {
                m_ProgramIPO->AddCommandJoint(line.number, 9, v, v[9]);
            } else {
                m_ProgramIPO->AddCommandRelativeJoint(line.number, 9, v, v[9]);
            }
        }
    } else if (name == "RELATIVELINEAR" || name == "RELATIVETOOL") {
        if (name == "RELATIVELINEAR") {
            m_ProgramIPO->AddCommandRelativeLinear(line.number, v[0], v[1], v[2], v[3]);
        } else {
            m_ProgramIPO->AddCommandRelativeTool(line.number, v[0], v[1], v[2], v[3]);
        }
        log->addFormat("HXP-Server: %s %.1lf %.1lf %.1lf vel: %.1lf", spec->keyword, d(0), d(1), d(2), d(3));
    } else if (name == "GRIPPER") {
        m_ProgramIPO->AddCommandGripper(line.number, v);
        log->addFormat("HXP-Server: GRIPPER %.1lf %.1lf %.1lf", d(0), d(1), d(2));
    } else if (name == "WAIT") {
        m_ProgramIPO->AddCommandWait(line.number, line.integer);
        log->addFormat("HXP-Server: WAIT %d", line.integer);
    } else {
        const bool state = StringHelper::ToLower(line.word) == "true";
        m_ProgramIPO->AddCommandDIO(line.number, line.integer, state);
        log->addFormat("HXP-Server: DOUT %d to %d", line.integer, state ? 1 : 0);
    }
    std::snprintf(reply, sizeof(reply), "PROGACK %d %d", line.counter, line.number);
    SendToClient(reply);
    if (name == "LINEAR") log->add("HXP-Server: Linear - not implemented yet!");
}
