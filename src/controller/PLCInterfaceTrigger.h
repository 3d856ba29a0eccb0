#pragma once
// One PLC trigger: a digital input or global signal that, on a rising edge,
// starts a program or a mission. Settings are normalised and validated when
// the trigger is built; a trigger with invalid settings stays inactive.

#include <cstdint>
#include <string>

namespace PLCTrigger {

class PLCInterfaceTrigger {
public:
    enum SignalType { DIn = 0, GSig = 1 };
    enum TargetType { Program = 0, Mission = 1 };

    PLCInterfaceTrigger() = default;
    PLCInterfaceTrigger(bool active, SignalType signalType, int32_t channel, TargetType targetType,
                        std::string file);
    PLCInterfaceTrigger(const PLCInterfaceTrigger&) = default;
    PLCInterfaceTrigger(PLCInterfaceTrigger&&) = default;
    PLCInterfaceTrigger& operator=(const PLCInterfaceTrigger&) = default;
    PLCInterfaceTrigger& operator=(PLCInterfaceTrigger&&) = default;

    bool IsActive() const { return active; }
    SignalType GetSignalType() const { return signalType; }
    int32_t GetChannel() const { return channel; }
    TargetType GetTargetType() const { return targetType; }
    const std::string& GetTargetFileRelative() const { return targetFile; }

    // Digital inputs 0..63, global signals 0..99.
    static bool ChannelInRange(SignalType signalType, int32_t channel);
    static int32_t LastChannel(SignalType signalType) { return signalType == DIn ? 63 : 99; }

    // "Active=True, SignalType=DIn, Channel=3, TargetType=Program, FileName=a.xml"
    std::string ToString() const;

    // Input level of the previous robot cycle, for the rising-edge test.
    bool lastLevel = true;

private:
    void Validate();

    bool active = false;
    SignalType signalType = DIn;
    int32_t channel = -1;
    TargetType targetType = Program;
    std::string targetFile;
};

char OpReplaceBackslashWithSlash(char ch);

}  // namespace PLCTrigger
