#pragma once
// The address walk that every mapping callback follows: a watchdog against a
// walk that does not advance, the end of the table, groups handled whole, and
// any exception (the kinematics' integer codes included) ending the walk with
// a log line instead of reaching the listener.

#include <cstdint>
#include <exception>
#include <string>

#include "common/LogSingleton.h"

namespace Modbus {

// `step(address)` handles one address and returns the last address it covered.
// False when an exception ended the walk.
template <class Step>
bool MappingWalk(unsigned short start, int count, int tableSize, const char* watchdogFormat,
                 const char* exceptionFormat, Step step) {
    LogSingleton* log = LogSingleton::instance();
    try {
        int watchdog = 0;
        for (int i = 0; i < count; ++i) {
            if (watchdog++ > count) {
                log->addFormat(watchdogFormat, start + i);
                return true;
            }
            const int address = static_cast<uint16_t>(start + i);
            if (address >= tableSize) return true;
            const int last = step(address);
            if (last > address) i += last - address;
        }
    } catch (const std::exception& e) {
        log->addFormat(exceptionFormat, static_cast<int>(start), count, e.what());
        return false;
    } catch (int code) {
        log->addFormat(exceptionFormat, static_cast<int>(start), count,
                       ("kinematic error " + std::to_string(code)).c_str());
        return false;
    } catch (...) {
        log->addFormat(exceptionFormat, static_cast<int>(start), count, "unknown exception");
        return false;
    }
    return true;
}

}  // namespace Modbus
