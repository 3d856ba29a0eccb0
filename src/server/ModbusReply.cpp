#include "server/ModbusReply.h"

#include <modbus/modbus-tcp.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <mutex>

#include "common/LogSingleton.h"
#include "server/ModbusServer.h"

namespace Modbus {

namespace {

// A library exception answer: MBAP header, function code with bit 7 set, exception code.
constexpr int ExceptionAnswerLength = 9;

int Word(const uint8_t* frame, int offset) { return (frame[offset] << 8) | frame[offset + 1]; }

// The range a write request covers when its counts and addresses fit the image; false for no write.
bool WriteRange(const uint8_t* frame, const modbus_mapping_t* mapping, int& address, int& count) {
    const int function = frame[7];
    address = Word(frame, 8);
    count = 1;
    switch (function) {
        case MODBUS_FC_WRITE_SINGLE_COIL: {
            const int value = Word(frame, 10);
            return (value == 0xFF00 || value == 0x0000) && address < mapping->nb_bits;
        }
        case MODBUS_FC_WRITE_SINGLE_REGISTER:
        case MODBUS_FC_MASK_WRITE_REGISTER:
            return address < mapping->nb_registers;
        case MODBUS_FC_WRITE_MULTIPLE_COILS:
            count = Word(frame, 10);
            return validCoilCntWrite(count) && address + count <= mapping->nb_bits;
        case MODBUS_FC_WRITE_MULTIPLE_REGISTERS:
            count = Word(frame, 10);
            return validRegisterCntWrite(count) && address + count <= mapping->nb_registers;
        case MODBUS_FC_WRITE_AND_READ_REGISTERS: {
            const int readAddress = address;
            const int readCount = Word(frame, 10);
            address = Word(frame, 12);
            count = Word(frame, 14);
            return readCount >= 1 && readCount <= MODBUS_MAX_WR_READ_REGISTERS &&
                   readAddress + readCount <= mapping->nb_registers && count >= 1 &&
                   count <= MODBUS_MAX_WR_WRITE_REGISTERS &&
                   address + count <= mapping->nb_registers;
        }
        default:
            return false;
    }
}

}  // namespace

bool validCoilCntRead(int n) { return n >= 1 && n <= MODBUS_MAX_READ_BITS; }
bool validCoilCntWrite(int n) { return n >= 1 && n <= MODBUS_MAX_WRITE_BITS; }
bool validRegisterCntRead(int n) { return n >= 1 && n <= MODBUS_MAX_READ_REGISTERS; }
bool validRegisterCntWrite(int n) { return n >= 1 && n <= MODBUS_MAX_WRITE_REGISTERS; }

int Reply(modbus_t* context, const uint8_t* request, int length, modbus_mapping_t* mapping) {
    LogSingleton* log = LogSingleton::instance();
    if (context == nullptr) {
        log->add("Modbus: Can not send response, context is NULL");
        errno = EINVAL;
        return -1;
    }
    if (request == nullptr || mapping == nullptr || length <= 0 || length > MODBUS_TCP_MAX_ADU_LENGTH) {
        errno = EINVAL;
        return -1;
    }
    // The library reads a request's fields wherever they should be, whatever its length.
    uint8_t frame[MODBUS_TCP_MAX_ADU_LENGTH] = {};
    std::memcpy(frame, request, static_cast<std::size_t>(length));

    ModbusServer* server = ModbusServer::Instance();
    const Callbacks& callbacks = server->GetCallbacks();
    const int function = frame[7];
    const int address = Word(frame, 8);
    const int count = Word(frame, 10);
    const bool framed = length >= 12;

    if (framed) {
        try {
            switch (function) {
                case MODBUS_FC_READ_COILS:
                    if (validCoilCntRead(count) && count <= mapping->nb_bits)
                        callbacks.CallOnReadCoils(static_cast<unsigned short>(address), count);
                    break;
                case MODBUS_FC_READ_DISCRETE_INPUTS:
                    if (validCoilCntRead(count) && count <= mapping->nb_input_bits)
                        callbacks.CallOnReadDiscreteInputs(static_cast<unsigned short>(address), count);
                    break;
                case MODBUS_FC_READ_HOLDING_REGISTERS:
                case MODBUS_FC_WRITE_AND_READ_REGISTERS:
                    if (validRegisterCntRead(count) && count <= mapping->nb_registers)
                        callbacks.CallOnReadHoldingRegisters(static_cast<unsigned short>(address), count);
                    break;
                case MODBUS_FC_READ_INPUT_REGISTERS:
                    if (validRegisterCntRead(count) && count <= mapping->nb_input_registers)
                        callbacks.CallOnReadInputRegisters(static_cast<unsigned short>(address), count);
                    break;
                default:
                    break;
            }
        } catch (const std::exception&) {
            log->addFormat("Modbus: Exception during read (function code %d, address %d, count %d)", function,
                           address, count);
            errno = ECANCELED;
            return -1;
        }
    }

    int result = 0;
    int error = 0;
    {
        std::lock_guard<std::mutex> lock(server->ImageMutex());
        errno = 0;
        // The library sends nothing for this one; it is as unsupported as any other unknown function.
        if (function == MODBUS_FC_READ_EXCEPTION_STATUS)
            result = modbus_reply_exception(context, frame, MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
        else
            result = modbus_reply(context, frame, length, mapping);
        error = errno;
    }

    int writeAddress = 0;
    int writeCount = 0;
    // An exception answer means the library wrote nothing, so nothing is acted on.
    if (framed && result != ExceptionAnswerLength && WriteRange(frame, mapping, writeAddress, writeCount)) {
        try {
            if (function == MODBUS_FC_WRITE_SINGLE_COIL || function == MODBUS_FC_WRITE_MULTIPLE_COILS)
                callbacks.CallOnWriteCoils(static_cast<unsigned short>(writeAddress), writeCount);
            else
                callbacks.CallOnWriteHoldingRegisters(static_cast<unsigned short>(writeAddress), writeCount);
        } catch (const std::exception& e) {
            log->addFormat("Modbus: Exception during write (function code %d, address %d, count %d): %s", function,
                           writeAddress, writeCount, e.what());
            errno = ECANCELED;
            return -1;
        }
    }
    errno = error;
    return result;
}

}  // namespace Modbus
