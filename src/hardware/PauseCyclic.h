#pragma once
// Holds back a driver's cyclic set-points while a command sequence sends.
// Sequences on different threads may overlap, so only the last one to end
// resumes them.

#include <atomic>

namespace Hardware {

class PauseCyclic {
public:
    PauseCyclic(std::atomic<int>& active, std::atomic<bool>& flag) : m_Active(active), m_Flag(flag) {
        ++m_Active;
        m_Flag = false;
    }
    ~PauseCyclic() {
        if (--m_Active == 0) m_Flag = true;
    }
    PauseCyclic(const PauseCyclic&) = delete;
    PauseCyclic& operator=(const PauseCyclic&) = delete;

private:
    std::atomic<int>& m_Active;
    std::atomic<bool>& m_Flag;
};

}  // namespace Hardware
