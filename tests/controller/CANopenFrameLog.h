#pragma once
// The simulated bus's frame log as the CANopen drives of the fixture robot
// file (canopen-robot.xml: nodes 1 to 6, 10 ms cycle) see it: frames with
// their monotonic times, and the step of each drive's set-points from one
// SYNC to the next against what its joint may move in one cycle.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace SimBusTest {

struct CANopenFrame {
    double time = 0.0;  // monotonic seconds, as the bus logged it
    int id = 0;
    std::vector<int> data;

    bool IsSync() const { return id == 0x080 && data.empty(); }
    int32_t Le32(std::size_t at) const {
        uint32_t v = 0;
        for (std::size_t k = 0; k < 4; ++k) v |= static_cast<uint32_t>(data[at + k] & 0xFF) << (8 * k);
        return static_cast<int32_t>(v);
    }
    // A set-point of a drive (receive PDO 1).
    bool IsSetPoint() const { return id > 0x200 && id <= 0x206 && data.size() == 4; }
    // A position a drive reported in its transmit PDO 1.
    bool IsPositionReport() const { return id > 0x180 && id <= 0x186 && data.size() == 8; }
    // The answer to a read of the drive's position (0x6064).
    bool IsPositionRead() const {
        return id > 0x580 && id <= 0x586 && data.size() == 8 && data[0] == 0x43 && data[1] == 0x64 &&
               data[2] == 0x60 && data[3] == 0;
    }
    int32_t ReportedPosition() const { return Le32(id < 0x200 ? 2 : 4); }
    // An emergency "position lag too large" (0x8611).
    bool IsLagFault() const {
        return id > 0x080 && id <= 0x086 && data.size() == 8 && data[0] == 0x11 && data[1] == 0x86;
    }
    int Node() const { return id & 0x7F; }
};

inline std::vector<CANopenFrame> ReadFrameLog(const std::string& path) {
    std::istringstream in(TestSupport::ReadFile(path));
    std::string line;
    std::vector<CANopenFrame> out;
    while (std::getline(in, line)) {
        const std::size_t blank = line.find(' ');
        const std::size_t hash = line.find('#');
        if (blank == std::string::npos || hash == std::string::npos || hash < blank) continue;
        CANopenFrame f;
        f.time = std::strtod(line.substr(0, blank).c_str(), nullptr);
        f.id = static_cast<int>(std::strtol(line.substr(blank + 1, hash - blank - 1).c_str(), nullptr, 16));
        for (std::size_t k = hash + 1; k + 2 <= line.size(); k += 2)
            f.data.push_back(static_cast<int>(std::strtol(line.substr(k, 2).c_str(), nullptr, 16)));
        out.push_back(f);
    }
    return out;
}

// The largest step a joint of the fixture may take from one SYNC to the next
// at its velocity limit, in drive counts.
inline double StepLimitCounts(int node) {
    static constexpr std::array<double, 6> kGearScale = {190.0, -190.0, 100.0, 50.0, 50.0, 50.0};
    static constexpr std::array<double, 6> kMaxVelocity = {90.0, 90.0, 90.0, 120.0, 120.0, 120.0};  // deg/s
    static constexpr double kCycleS = 0.010;
    const std::size_t j = static_cast<std::size_t>(node - 1);
    return kMaxVelocity[j] * kCycleS * std::fabs(kGearScale[j]) + 2.0;
}

// The largest step of each drive's set-points from frame `from` on, in counts:
// from its set-point before, or from the position read from the drive since
// (a set-up, after which it may stand elsewhere). `setPoints` counts them.
inline std::map<int, double> SetPointSteps(const std::vector<CANopenFrame>& all, std::size_t from, int* setPoints) {
    std::map<int, double> reference;
    std::map<int, double> largest;
    *setPoints = 0;
    for (std::size_t i = 0; i < all.size(); ++i) {
        const CANopenFrame& f = all[i];
        const int node = f.Node();
        if (f.IsPositionRead() || (f.IsPositionReport() && reference.count(node) == 0))
            reference[node] = f.ReportedPosition();
        if (!f.IsSetPoint()) continue;
        const double sp = f.Le32(0);
        if (i >= from && reference.count(node) != 0) {
            ++*setPoints;
            largest[node] = std::max(largest[node], std::fabs(sp - reference[node]));
        }
        reference[node] = sp;
    }
    return largest;
}

}  // namespace SimBusTest
