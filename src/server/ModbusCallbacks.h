#pragma once
// The mapping callbacks that the reply path calls around the library's answer:
// six plain function pointers, each taking a start address and a count.

namespace Modbus {

using MappingCallback = void (*)(unsigned short start, int count);

// Forwarders to the server singleton's members of the same name.
void onReadDiscreteInputs(unsigned short start, int count);
void onReadCoils(unsigned short start, int count);
void onReadInputRegisters(unsigned short start, int count);
void onReadHoldingRegisters(unsigned short start, int count);
void onWriteCoils(unsigned short start, int count);
void onWriteHoldingRegisters(unsigned short start, int count);

struct Callbacks {
    MappingCallback onReadDiscreteInputs = nullptr;
    MappingCallback onReadCoils = nullptr;
    MappingCallback onReadInputRegisters = nullptr;
    MappingCallback onReadHoldingRegisters = nullptr;
    MappingCallback onWriteCoils = nullptr;
    MappingCallback onWriteHoldingRegisters = nullptr;

    // Fills the table with the forwarders above.
    void SetupCallbacks();

    // Each calls its pointer when it is set.
    void CallOnReadDiscreteInputs(unsigned short start, int count) const { Call(onReadDiscreteInputs, start, count); }
    void CallOnReadCoils(unsigned short start, int count) const { Call(onReadCoils, start, count); }
    void CallOnReadInputRegisters(unsigned short start, int count) const { Call(onReadInputRegisters, start, count); }
    void CallOnReadHoldingRegisters(unsigned short start, int count) const {
        Call(onReadHoldingRegisters, start, count);
    }
    void CallOnWriteCoils(unsigned short start, int count) const { Call(onWriteCoils, start, count); }
    void CallOnWriteHoldingRegisters(unsigned short start, int count) const {
        Call(onWriteHoldingRegisters, start, count);
    }

private:
    static void Call(MappingCallback callback, unsigned short start, int count) {
        if (callback != nullptr) callback(start, count);
    }
};

}  // namespace Modbus
