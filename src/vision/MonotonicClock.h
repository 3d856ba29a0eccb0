#pragma once
// The monotonic clock the cameras count their intervals on; replaceable so
// tests need not wait whole seconds.

#include <cstdint>
#include <ctime>
#include <functional>

namespace Camera {

using MonotonicClock = std::function<timespec()>;

inline timespec MonotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

// Milliseconds of a clock reading, 64-bit so uptimes beyond 24.8 days do not wrap.
inline int64_t ToMilliseconds(const timespec& t) {
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

}  // namespace Camera
