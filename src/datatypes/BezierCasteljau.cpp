#include "datatypes/BezierCasteljau.h"

#include <cmath>
#include <iostream>
#include <stdexcept>

namespace DataTypes {

namespace {

const char* const kWrongDimension = "Bezier: wrong dimension!";
const char* const kNotEnoughPoints = "BezierCasteljau: not enough points to interpolate";

// Curves up to this many points are evaluated without touching the heap.
constexpr std::size_t kStackPoints = 64;

}  // namespace

BezierCasteljau::BezierCasteljau(int dimension) : m_Dimension(dimension) {
    if (dimension < 1) {
        throw std::invalid_argument(kWrongDimension);
    }
}

BezierCasteljau::~BezierCasteljau() = default;

void BezierCasteljau::AddStartPoint(float value) {
    std::vector<float> p(static_cast<std::size_t>(m_Dimension), 0.0f);
    p[0] = value;
    m_Points.push_back(std::move(p));
}

void BezierCasteljau::AddStartPoint(const float* values) {
    if (values == nullptr) {
        throw std::invalid_argument(kWrongDimension);
    }
    m_Points.emplace_back(values, values + m_Dimension);
}

void BezierCasteljau::AddStartPoint(const Vector3& p) {
    if (m_Dimension != 3) {
        throw std::invalid_argument(kWrongDimension);
    }
    m_Points.push_back({p.x, p.y, p.z});
}

void BezierCasteljau::AddStartPoint(const VectorN& p) {
    if (p.size() != m_Dimension) {
        throw std::invalid_argument(kWrongDimension);
    }
    std::vector<float> values(static_cast<std::size_t>(m_Dimension));
    for (int d = 0; d < m_Dimension; ++d) {
        values[static_cast<std::size_t>(d)] = p[static_cast<unsigned>(d)];
    }
    m_Points.push_back(std::move(values));
}

void BezierCasteljau::Interpolate(float t, float* out) const {
    const std::size_t n = m_Points.size();
    if (n < 2) {
        throw std::invalid_argument(kNotEnoughPoints);
    }
    float stackScratch[kStackPoints];
    std::vector<float> heapScratch;
    float* b = stackScratch;
    if (n > kStackPoints) {
        heapScratch.resize(n);
        b = heapScratch.data();
    }
    for (std::size_t d = 0; d < static_cast<std::size_t>(m_Dimension); ++d) {
        for (std::size_t i = 0; i < n; ++i) {
            b[i] = m_Points[i][d];
        }
        for (std::size_t r = 1; r < n; ++r) {
            for (std::size_t i = 0; i < n - r; ++i) {
                b[i] = b[i] + (b[i + 1] - b[i]) * t;
            }
        }
        out[d] = b[0];
    }
}

VectorN BezierCasteljau::InterpolateVector(float t) const {
    VectorN p(m_Dimension);
    Interpolate(t, &p[0]);
    return p;
}

double BezierCasteljau::Distance(const std::vector<float>& a, const std::vector<float>& b) const {
    double sum = 0.0;
    for (std::size_t d = 0; d < a.size(); ++d) {
        const double diff = static_cast<double>(a[d] - b[d]);
        sum += diff * diff;
    }
    return std::sqrt(sum);
}

float BezierCasteljau::GetLength3D(int steps) const {
    if (m_Points.size() < 2) {
        throw std::invalid_argument(kNotEnoughPoints);
    }
    std::vector<float> previous = m_Points.front();
    std::vector<float> p(previous.size());
    float length = 0.0f;
    for (int i = 1; i <= steps; ++i) {
        Interpolate(static_cast<float>(i) * (1.0f / static_cast<float>(steps)), p.data());
        length += static_cast<float>(Distance(p, previous));
        previous.swap(p);
    }
    return length;
}

VectorN BezierCasteljau::ProceedCart(double* t, double distance, double step) const {
    if (!(step > 0.0) || !std::isfinite(step)) {
        // A step that does not advance would never leave the walk.
        throw std::invalid_argument("BezierCasteljau: step must be positive");
    }
    std::vector<float> start(static_cast<std::size_t>(m_Dimension));
    std::vector<float> p(start.size());
    Interpolate(static_cast<float>(*t), start.data());
    double walked = 0.0;
    double u = *t;
    if (u > 1.0) {
        return InterpolateVector(1.0f);
    }
    while (walked < distance) {
        const double next = u + step;
        if (next == u) {
            break;
        }
        u = next;
        if (u >= 1.0) {
            break;
        }
        Interpolate(static_cast<float>(u), p.data());
        walked += Distance(p, start);
        start.swap(p);
    }
    u -= step / 2.0;
    if (u > 1.0) {
        u = 1.0;
    }
    *t = u;
    return InterpolateVector(static_cast<float>(u));
}

void BezierCasteljau::Test() const {
    const int shown = m_Dimension < 3 ? m_Dimension : 3;
    std::cout << "\n Bezier: " << m_Points.size() << " points, " << m_Dimension << " dim\n";
    for (std::size_t i = 0; i < m_Points.size(); ++i) {
        std::cout << "    Point " << i << ":";
        for (int d = 0; d < shown; ++d) {
            std::cout << " " << m_Points[i][static_cast<std::size_t>(d)];
        }
        std::cout << "\n";
    }
    if (m_Points.size() >= 2) {
        std::vector<float> p(static_cast<std::size_t>(m_Dimension));
        float t = 0.0f;
        for (int i = 0; i < 50; ++i) {
            t += 0.02f;
            Interpolate(t, p.data());
            std::cout << "t: " << t << " ->";
            for (int d = 0; d < shown; ++d) {
                std::cout << " " << p[static_cast<std::size_t>(d)];
            }
            std::cout << "\n";
        }
    }
    std::cout << std::endl;
}

}  // namespace DataTypes
