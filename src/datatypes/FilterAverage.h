#pragma once
// Moving average over the last 1 to 25 samples.

namespace DataTypes {

class FilterAverage {
public:
    FilterAverage();
    // The window is clamped to 1..25.
    explicit FilterAverage(int window);
    FilterAverage(const FilterAverage&) = default;
    FilterAverage& operator=(const FilterAverage& other);
    virtual ~FilterAverage();

    void ResetFilter();
    // Stores the value and returns the average of the window; slots not yet
    // written count as zeros.
    float GetNewAverage(float value);
    float GetAverage() const { return m_Average; }

private:
    static const int maxWindow = 25;

    int m_Window;
    float m_Samples[maxWindow];
    int m_Index;
    float m_Average;
};

}  // namespace DataTypes
