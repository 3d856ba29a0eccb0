#pragma once
// Plug-in interface of the simulated bus: anything that sits on the bus inside
// the hub (joint modules, I/O modules, drives) implements Device.

#include <linux/can.h>
#include <time.h>

namespace CanSim {

// What a device may do on the bus. Frames it sends reach every peer and every
// other device, never the device itself, in the order they were sent.
class Bus {
public:
    virtual ~Bus() = default;
    virtual void Send(const can_frame& frame) = 0;
    // Monotonic time of the hub.
    virtual timespec Now() const = 0;
};

// A simulated device. All calls come from the hub thread, one at a time, so a
// device needs no lock for its own state.
class Device {
public:
    virtual ~Device() = default;
    // Every frame on the bus except the device's own (SYNC frames with dlc 0
    // included). Frames sent from here are delivered after this call returns.
    virtual void OnFrame(const can_frame& frame, const timespec& time, Bus& bus) = 0;
    // Called about once a millisecond: periodic frames, motion, timeouts.
    virtual void OnTick(const timespec& now, Bus& bus) {
        (void)now;
        (void)bus;
    }
};

}  // namespace CanSim
