#pragma once
// Ramps the two speeds of a Cartesian jog, the linear (mm/s) and the
// orientation speed (deg/s), like JogAccelControlJoint: at most the
// acceleration per cycle, the faster deceleration when both requests are zero.

class JogAccelControlCart {
public:
    JogAccelControlCart() = default;
    virtual ~JogAccelControlCart() = default;

    // Rates in mm/s² and deg/s²; one that is not a positive finite number
    // keeps its previous value.
    void Init(bool active, int cycleMs, double linearAcceleration, double linearFastDeceleration,
              double orientationAcceleration, double orientationFastDeceleration);
    void Reset();
    void SetTargetVel(double linearTarget, double orientationTarget, double* linearOut, double* orientationOut);

    bool IsActive() const { return active; }
    double GetCycleSeconds() const { return cycleSeconds; }
    double GetLinearAcceleration() const { return linearAcceleration; }
    double GetLinearFastDeceleration() const { return linearFastDeceleration; }
    double GetOrientationAcceleration() const { return orientationAcceleration; }
    double GetOrientationFastDeceleration() const { return orientationFastDeceleration; }

private:
    bool active = false;
    double linearAcceleration = 100.0;
    double linearFastDeceleration = 500.0;
    double orientationAcceleration = 30.0;
    double orientationFastDeceleration = 180.0;
    double currentLinear = 0.0;
    double currentOrientation = 0.0;
    double cycleSeconds = 0.001;
};
