#pragma once
// The CANopen driver's SDO client (CiA 301): expedited uploads and downloads
// checked against the table of known objects, and the decoding of every SDO
// answer, abort, emergency, error register and pre-defined error into the
// device records and log lines. Requests and answers are matched only by the
// index and subindex an answer carries; nothing waits for an answer.
//
// The records' state texts, device names and firmware texts are written by
// the CAN read thread and copied by others: both sides go through TextMutex().

#include "hardware/CANInterfaceSocketCAN.h"
#include "hardware/jointData.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace Hardware {

enum sdoObjectType : int { sdoObjectCount = 0, sdoObjectValue = 1 };
enum sdoDataType : int { sdoData8 = 0, sdoData16 = 1, sdoData24 = 2, sdoData32 = 3 };
enum sdoAccessType : int { sdoReadOnly = 0, sdoReadWrite = 2 };

struct SDOparameter {
    int index = 0;
    int subindex = 0;
    std::string name;
    sdoObjectType objectType = sdoObjectValue;
    sdoDataType dataType = sdoData8;
    sdoAccessType accessType = sdoReadOnly;

    // Bytes of the data type: 1 to 4.
    int Size() const { return static_cast<int>(dataType) + 1; }
};

// Joins two texts with a separator; b alone when a is empty.
std::string addStringWithSeparator(const std::string& a, const std::string& b, const std::string& separator);

class HardwareProtocolCANopenSDO {
public:
    HardwareProtocolCANopenSDO(CANInterfaceSocketCAN* can, bool debug);

    // The known objects, in table order (the same for every client).
    static const std::vector<SDOparameter>& KnownObjects();
    // The table entry, or null.
    const SDOparameter* FindObject(int index, int subindex) const;

    // Upload request of a known object; false (with its error line) for others.
    bool RequestSDO(int node, int index, int subindex);
    // Download of a known object in the size of its data type; false (with its
    // error line) for others.
    bool SendSDO(int node, int index, int subindex, unsigned int value);
    // Download of size 1 to 4 bytes without the table; other sizes send nothing.
    bool SendSDO(int node, int index, int subindex, int size, unsigned int value);

    // Every frame of 0x580 + node (CAN read thread).
    void ParseSDOAnswer(jointData* record, int dlc, const unsigned char* data, long reserved);
    // Every frame of 0x80 + node (CAN read thread).
    void ParseEmergency(jointData* record, int node, const unsigned char* data);
    // State text of a statusword; updates the record's statusword, state
    // text, enabled flag and homing progress.
    std::string ParseStatusWord(jointData* record, long statusword);

    // Text of an abort frame; empty for 0x1008 and 0x100A (the end of a text).
    std::string ParseSDOError(const jointData& record, const unsigned char* data) const;
    void ParseSDOAnswerGeneral(jointData& record, const unsigned char* data);
    void ParseSDOAnswerProfileMotors(jointData& record, const unsigned char* data);
    void ParseSDOAnswerProfileIO(jointData& record, const unsigned char* data);
    void ParsePredefinedErrorField(jointData& record, unsigned char subindex, unsigned char number,
                                   unsigned char errorRegister, unsigned short code);
    static std::string ParseErrorRegister(unsigned char errorRegister);
    static std::string ParseErrorCode(unsigned short code);
    static std::string ParseErrorNumber(unsigned char number);
    static std::string AbortCodeText(uint32_t code);

    // Motor current in mA from the two components in A: 1000 * sqrt(a^2 + b^2),
    // divided by sqrt(2) in closed loop (submode bit 0).
    static float MotorCurrent(uint32_t driveSubmode, float a, float b);

    // Guarded access to the records' texts.
    std::mutex& TextMutex() const { return m_TextMutex; }
    void SetStateText(jointData& record, const std::string& text) const;
    std::string StateText(const jointData& record) const;
    std::string DeviceName(const jointData& record) const;
    std::string FirmwareVersion(const jointData& record) const;
    void ClearDeviceTexts(jointData& record) const;

    bool debug;

private:
    CANInterfaceSocketCAN* m_Can;
    std::vector<SDOparameter> m_Objects;
    mutable std::mutex m_TextMutex;
    std::string m_LastErrorClass;  // guarded by m_TextMutex
};

}  // namespace Hardware
