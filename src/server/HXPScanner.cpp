#include "server/HXPScanner.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

bool IsBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// A number counts only when it fills its whole token: "1.5" is no "%d", "7x" no number.
bool EndsToken(const char* end) { return *end == '\0' || IsBlank(*end); }

}  // namespace

HXPScanner::HXPScanner(const char* text) : m_Pos(text), m_Failed(text == nullptr) {}

void HXPScanner::SkipBlanks() {
    // The first item of a format follows no blank, so nothing is skipped before it.
    if (m_First) {
        m_First = false;
        return;
    }
    while (*m_Pos != '\0' && IsBlank(*m_Pos)) ++m_Pos;
}

HXPScanner& HXPScanner::Literal(const char* word) {
    if (m_Failed) return *this;
    SkipBlanks();
    const std::size_t n = std::strlen(word);
    if (std::strncmp(m_Pos, word, n) != 0) {
        m_Failed = true;
        return *this;
    }
    m_Pos += n;
    return *this;
}

HXPScanner& HXPScanner::Int(int32_t& out, int base) {
    if (m_Failed) return *this;
    SkipBlanks();
    while (*m_Pos != '\0' && IsBlank(*m_Pos)) ++m_Pos;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(m_Pos, &end, base);
    if (end == m_Pos || !EndsToken(end) || errno == ERANGE || value < INT32_MIN || value > INT32_MAX) {
        m_Failed = true;
        return *this;
    }
    m_Pos = end;
    out = static_cast<int32_t>(value);
    ++m_Count;
    return *this;
}

template <typename T, typename Convert>
HXPScanner& HXPScanner::Real(T& out, Convert convert) {
    if (m_Failed) return *this;
    SkipBlanks();
    while (*m_Pos != '\0' && IsBlank(*m_Pos)) ++m_Pos;
    char* end = nullptr;
    const T value = convert(m_Pos, &end);
    if (end == m_Pos || !EndsToken(end) || !std::isfinite(value)) {
        m_Failed = true;
        return *this;
    }
    m_Pos = end;
    out = value;
    ++m_Count;
    return *this;
}

HXPScanner& HXPScanner::Float(float& out) {
    return Real(out, [](const char* text, char** end) { return std::strtof(text, end); });
}

HXPScanner& HXPScanner::Double(double& out) {
    return Real(out, [](const char* text, char** end) { return std::strtod(text, end); });
}

bool HXPScanner::NextIs(const char* word) const {
    if (m_Pos == nullptr) return false;
    const char* p = m_Pos;
    while (*p != '\0' && IsBlank(*p)) ++p;
    const std::size_t n = std::strlen(word);
    return std::strncmp(p, word, n) == 0 && EndsToken(p + n);
}

HXPScanner& HXPScanner::Word(std::string& out, std::size_t maxLength) {
    if (m_Failed) return *this;
    SkipBlanks();
    while (*m_Pos != '\0' && IsBlank(*m_Pos)) ++m_Pos;
    const char* start = m_Pos;
    while (*m_Pos != '\0' && !IsBlank(*m_Pos) && static_cast<std::size_t>(m_Pos - start) < maxLength) ++m_Pos;
    if (m_Pos == start) {
        m_Failed = true;
        return *this;
    }
    out.assign(start, static_cast<std::size_t>(m_Pos - start));
    ++m_Count;
    return *this;
}

int32_t HXPScanner::Counter(const char* frame) {
    int32_t counter = 0;
    HXPScanner(frame).Literal("HXPSTART").Int(counter);
    return counter;
}

HXPScanner HXPScanner::Command(const char* frame, const char* keyword, int32_t& counter) {
    HXPScanner scan(frame);
    scan.Literal("HXPSTART").Int(counter).Literal("CMD").Literal(keyword);
    return scan;
}
