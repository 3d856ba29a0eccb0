#include "datatypes/VectorN.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace DataTypes {

namespace {

std::size_t CheckedSize(int n) {
    if (n < 0) {
        throw std::invalid_argument("VectorN: negative size");
    }
    return static_cast<std::size_t>(n);
}

}  // namespace

VectorN::VectorN(int n) : m_Values(CheckedSize(n), 0.0f) {}

VectorN::VectorN(int n, const float* values) : m_Values(CheckedSize(n), 0.0f) {
    if (n > 0 && values == nullptr) {
        throw std::invalid_argument("VectorN: no values given");
    }
    for (int i = 0; i < n; ++i) {
        m_Values[static_cast<std::size_t>(i)] = values[i];
    }
}

VectorN::VectorN(const std::vector<float>& values) : m_Values(values) {}

VectorN::VectorN(const VectorN& other) = default;

VectorN& VectorN::operator=(const VectorN& other) {
    if (this != &other) {
        m_Values = other.m_Values;
    }
    return *this;
}

VectorN::~VectorN() = default;

float& VectorN::operator[](unsigned int i) {
    if (i >= m_Values.size()) {
        throw std::out_of_range("vector component out of range");
    }
    return m_Values[i];
}

float VectorN::operator[](unsigned int i) const {
    if (i >= m_Values.size()) {
        throw std::out_of_range("vector component out of range");
    }
    return m_Values[i];
}

VectorN VectorN::operator+(const VectorN& o) const {
    VectorN r(*this);
    r += o;
    return r;
}

VectorN& VectorN::operator+=(const VectorN& o) {
    if (o.m_Values.size() != m_Values.size()) {
        throw std::invalid_argument("tried to add VectorN with different sizes");
    }
    for (std::size_t i = 0; i < m_Values.size(); ++i) {
        m_Values[i] += o.m_Values[i];
    }
    return *this;
}

VectorN VectorN::operator-(const VectorN& o) const {
    VectorN r(*this);
    r -= o;
    return r;
}

VectorN& VectorN::operator-=(const VectorN& o) {
    if (o.m_Values.size() != m_Values.size()) {
        throw std::invalid_argument("tried to subtract VectorN with different sizes");
    }
    for (std::size_t i = 0; i < m_Values.size(); ++i) {
        m_Values[i] -= o.m_Values[i];
    }
    return *this;
}

VectorN VectorN::operator-() const {
    VectorN r(*this);
    for (float& v : r.m_Values) {
        v = -v;
    }
    return r;
}

VectorN VectorN::operator*(float f) const {
    VectorN r(*this);
    for (float& v : r.m_Values) {
        v *= f;
    }
    return r;
}

VectorN VectorN::operator/(float f) const {
    VectorN r(*this);
    for (float& v : r.m_Values) {
        v /= f;
    }
    return r;
}

VectorN VectorN::operator*(double d) const {
    VectorN r(*this);
    for (float& v : r.m_Values) {
        v = static_cast<float>(v * d);
    }
    return r;
}

VectorN VectorN::operator/(double d) const {
    VectorN r(*this);
    for (float& v : r.m_Values) {
        v = static_cast<float>(v / d);
    }
    return r;
}

double VectorN::MagnitudeQ() const {
    double sum = 0.0;
    for (float v : m_Values) {
        sum += static_cast<double>(v) * static_cast<double>(v);
    }
    return sum;
}

double VectorN::Magnitude() const { return std::sqrt(MagnitudeQ()); }

void VectorN::Normalize() {
    const double m = Magnitude();
    if (m == 0.0) {
        return;
    }
    for (float& v : m_Values) {
        v = static_cast<float>(v / m);
    }
}

std::string VectorN::ToString(int precision) const {
    if (precision < 0) {
        precision = 0;
    }
    std::string out = "(";
    std::string number;
    for (std::size_t i = 0; i < m_Values.size(); ++i) {
        if (i > 0) {
            out += ", ";
        }
        const double v = static_cast<double>(m_Values[i]);
        const int length = std::snprintf(nullptr, 0, "%.*f", precision, v);
        if (length > 0) {
            number.assign(static_cast<std::size_t>(length) + 1, '\0');
            std::snprintf(&number[0], number.size(), "%.*f", precision, v);
            number.resize(static_cast<std::size_t>(length));
            out += number;
        }
    }
    out += ")";
    return out;
}

}  // namespace DataTypes
