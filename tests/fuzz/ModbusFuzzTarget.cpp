// Fuzz entry point of the Modbus request path: bytes as a client sends them
// are cut into requests by the request reader, in chunks whose size the first
// byte picks, and every complete request is answered by the reply path on a
// socket that goes nowhere; the raw bytes are also answered as one request,
// and the status-bit walk runs on the address and count they name. Nothing
// may crash or let an exception out.

#include <fcntl.h>
#include <modbus/modbus.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "controller/RobotMaster.h"
#include "server/ModbusReply.h"
#include "server/ModbusRequestReader.h"
#include "server/ModbusServer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static RobotMaster* robotMaster = new RobotMaster();
    static modbus_mapping_t* mapping = modbus_mapping_new(Modbus::BitCount, Modbus::BitCount, Modbus::RegisterCount,
                                                          Modbus::RegisterCount);
    static modbus_t* context = [] {
        modbus_t* c = modbus_new_tcp("127.0.0.1", 1);
        modbus_set_response_timeout(c, 0, 1);
        modbus_set_socket(c, open("/dev/null", O_RDWR | O_CLOEXEC));
        return c;
    }();
    if (size == 0) return 0;

    const std::size_t chunk = 1 + data[0] % 32;
    Modbus::RequestReader reader;
    std::vector<uint8_t> request;
    for (std::size_t offset = 1; offset < size; offset += chunk) {
        reader.Append(data + offset, std::min(chunk, size - offset));
        Modbus::RequestReader::Status status;
        while ((status = reader.Next(request)) == Modbus::RequestReader::Status::Complete)
            Modbus::Reply(context, request.data(), static_cast<int>(request.size()), mapping);
        if (status == Modbus::RequestReader::Status::Invalid) break;
    }
    Modbus::Reply(context, data, static_cast<int>(size), mapping);

    if (size >= 4) {
        const unsigned short start = static_cast<unsigned short>((data[0] << 8) | data[1]);
        const int count = (data[2] << 8) | data[3];
        Modbus::OnReadBits(robotMaster, mapping->tab_bits, mapping->nb_bits, start, count);
    }
    return 0;
}
