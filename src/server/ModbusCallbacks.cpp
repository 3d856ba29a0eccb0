#include "server/ModbusCallbacks.h"

#include "server/ModbusServer.h"

namespace Modbus {

void onReadDiscreteInputs(unsigned short start, int count) {
    ModbusServer::Instance()->OnReadDiscreteInputs(start, count);
}
void onReadCoils(unsigned short start, int count) { ModbusServer::Instance()->OnReadCoils(start, count); }
void onReadInputRegisters(unsigned short start, int count) {
    ModbusServer::Instance()->OnReadInputRegisters(start, count);
}
void onReadHoldingRegisters(unsigned short start, int count) {
    ModbusServer::Instance()->OnReadHoldingRegisters(start, count);
}
void onWriteCoils(unsigned short start, int count) { ModbusServer::Instance()->OnWriteCoils(start, count); }
void onWriteHoldingRegisters(unsigned short start, int count) {
    ModbusServer::Instance()->OnWriteHoldingRegisters(start, count);
}

void Callbacks::SetupCallbacks() {
    onReadDiscreteInputs = &Modbus::onReadDiscreteInputs;
    onReadCoils = &Modbus::onReadCoils;
    onReadInputRegisters = &Modbus::onReadInputRegisters;
    onReadHoldingRegisters = &Modbus::onReadHoldingRegisters;
    onWriteCoils = &Modbus::onWriteCoils;
    onWriteHoldingRegisters = &Modbus::onWriteHoldingRegisters;
}

}  // namespace Modbus
