#pragma once
// One Modbus TCP request answered by the library against the register image,
// with the mapping callbacks around the answer: reads are filled before it,
// writes acted on after it, only for what the library accepted and wrote.

#include <modbus/modbus.h>

#include <cstdint>

namespace Modbus {

bool validCoilCntRead(int n);
bool validCoilCntWrite(int n);
bool validRegisterCntRead(int n);
bool validRegisterCntWrite(int n);

// Answers one request of `length` bytes (MBAP header included) on the
// context's socket. The library's result; -1 with errno ECANCELED when a
// mapping callback threw, EINVAL without a context.
int Reply(modbus_t* context, const uint8_t* request, int length, modbus_mapping_t* mapping);

}  // namespace Modbus
