#pragma once
// Ramps the nine joint jog speeds requested each cycle so that each changes by
// at most its acceleration per cycle; when every requested speed is zero (the
// operator let go) the joints slow down with their faster deceleration.
// Used by the robot thread only; whoever resets it from another thread holds
// the robot master's working-state lock.

class JogAccelControlJoint {
public:
    static constexpr int Joints = 9;

    JogAccelControlJoint();
    virtual ~JogAccelControlJoint() = default;

    // cycleMs: the robot cycle. A rate that is not a positive finite number
    // keeps the joint's previous rate: a zero or negative deceleration would
    // never stop a jog.
    void Init(bool active, int cycleMs, const float acceleration[Joints], const float fastDeceleration[Joints]);
    // The next call starts from standstill.
    void Reset();
    // Speeds out, one cycle further toward the targets; targets pass through
    // unchanged while the ramp is off.
    void SetTargetVel(const double target[Joints], double out[Joints]);

    bool IsActive() const { return active; }
    double GetCycleSeconds() const { return cycleSeconds; }
    double GetAcceleration(int joint) const;
    double GetFastDeceleration(int joint) const;

private:
    bool active = false;
    double acceleration[Joints];
    double fastDeceleration[Joints];
    double current[Joints];
    double cycleSeconds = 0.001;
};
