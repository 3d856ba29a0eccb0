#pragma once
// Vector of any dimension, for joint-space arithmetic.

#include <string>
#include <vector>

namespace DataTypes {

class VectorN {
public:
    // n zeros; a negative n throws std::invalid_argument.
    explicit VectorN(int n);
    // The first n values.
    VectorN(int n, const float* values);
    explicit VectorN(const std::vector<float>& values);
    VectorN(const VectorN& other);
    VectorN& operator=(const VectorN& other);
    ~VectorN();

    int size() const { return static_cast<int>(m_Values.size()); }

    // Throws std::out_of_range for an index not below the size.
    float& operator[](unsigned int i);
    float operator[](unsigned int i) const;

    // Different sizes throw std::invalid_argument.
    VectorN operator+(const VectorN& o) const;
    VectorN& operator+=(const VectorN& o);
    VectorN operator-(const VectorN& o) const;
    VectorN& operator-=(const VectorN& o);
    VectorN operator-() const;

    VectorN operator*(float f) const;
    VectorN operator/(float f) const;
    VectorN operator*(double d) const;
    VectorN operator/(double d) const;

    double Magnitude() const;
    double MagnitudeQ() const;
    // Leaves a vector of exactly zero length unchanged.
    void Normalize();

    // "(a, b, ...)" with the given number of decimals.
    std::string ToString(int precision) const;

private:
    std::vector<float> m_Values;
};

}  // namespace DataTypes
