#include "datatypes/FilterAverage.h"

#include <algorithm>

namespace DataTypes {

const int FilterAverage::maxWindow;

FilterAverage::FilterAverage() : FilterAverage(5) {}

FilterAverage::FilterAverage(int window)
    : m_Window(std::clamp(window, 1, maxWindow)), m_Samples{}, m_Index(0), m_Average(0.0f) {}

FilterAverage& FilterAverage::operator=(const FilterAverage& other) {
    m_Window = other.m_Window;
    std::copy(other.m_Samples, other.m_Samples + maxWindow, m_Samples);
    m_Index = other.m_Index;
    m_Average = other.m_Average;
    return *this;
}

FilterAverage::~FilterAverage() = default;

void FilterAverage::ResetFilter() {
    std::fill(m_Samples, m_Samples + m_Window, 0.0f);
    m_Index = 0;
    m_Average = 0.0f;
}

float FilterAverage::GetNewAverage(float value) {
    ++m_Index;
    if (m_Index >= m_Window) {
        m_Index = 0;
    }
    m_Samples[m_Index] = value;
    float sum = 0.0f;
    for (int i = 0; i < m_Window; ++i) {
        sum += m_Samples[i];
    }
    m_Average = sum / static_cast<float>(m_Window);
    return m_Average;
}

}  // namespace DataTypes
