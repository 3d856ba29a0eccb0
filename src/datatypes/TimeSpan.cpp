#include "datatypes/TimeSpan.h"

#include <climits>
#include <cstdint>

namespace DataTypes {
namespace Time {

namespace {

int Saturate(std::int64_t v) {
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

}  // namespace

int TimeSpan::TotalSeconds() const { return Saturate(static_cast<std::int64_t>(m_Span.tv_sec)); }

int TimeSpan::TotalMilliseconds() const {
    // In 64 bits: spans beyond about 24 days would overflow an int product.
    const std::int64_t ms = static_cast<std::int64_t>(m_Span.tv_sec) * 1000 +
                            static_cast<std::int64_t>(m_Span.tv_nsec) / 1000000;
    return Saturate(ms);
}

}  // namespace Time
}  // namespace DataTypes
