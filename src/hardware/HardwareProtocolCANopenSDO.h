#pragma once
// The CANopen driver's SDO client (CiA 301): expedited uploads and downloads
// checked against the table of known objects, and the decoding of every SDO
// answer, abort, emergency, error register and pre-defined error into the
// device records and log lines. Requests and answers are matched only by the
// index and subindex an answer carries.
//
// The records' state texts, device names and firmware texts are written by
// the CAN read thread and copied by others: both sides go through TextMutex().
//
// Transfers follow CiA 301: one outstanding request per node, the next one
// sent when its answer (or abort) came, in order. An answer is taken only
// when it answers the node's outstanding request; any other response belongs
// to no transfer and changes nothing. One that stays away longer than the
// time-out ends the transfer with abort 0x05040000 (an error line names node
// and object, and the node is told by an abort frame). A node that lets a
// transfer of an operation (a set-up or state walk of the driver) time out
// is not asked again by operations: its queued transfers and those of later
// operations fail at once, so a silent node costs one time-out, not one per
// object, until it answers again or a reset tries it once more.

#include "hardware/CANInterfaceSocketCAN.h"
#include "hardware/jointData.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
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

    static constexpr int DefaultTimeoutMs = 200;
    static constexpr size_t MaxQueuedPerNode = 64;
    static constexpr uint32_t AbortTimeout = 0x05040000;

    // Upload request of a known object, queued behind the node's outstanding
    // one; false (with its error line) for others or a full queue.
    bool RequestSDO(int node, int index, int subindex);
    // Download of a known object in the size of its data type; false (with its
    // error line) for others.
    bool SendSDO(int node, int index, int subindex, unsigned int value);
    // Download of size 1 to 4 bytes without the table; other sizes send nothing.
    bool SendSDO(int node, int index, int subindex, int size, unsigned int value);

    // The same, waiting for the answer: true when the node confirmed the
    // download (or answered the upload, whose value has then been parsed);
    // false for an abort (its code in abortCode), a time-out or a refused
    // request. Never on the CAN read thread.
    bool SendSDOConfirmed(int node, int index, int subindex, unsigned int value, uint32_t* abortCode = nullptr);
    bool SendSDOConfirmed(int node, int index, int subindex, int size, unsigned int value,
                          uint32_t* abortCode = nullptr);
    bool RequestSDOAndWait(int node, int index, int subindex, uint32_t* abortCode = nullptr);
    // Ends transfers unanswered beyond the time-out; any thread but the read thread.
    void CheckTimeouts();
    // Forgets every queued and outstanding transfer (a new connect).
    void ClearTransfers();
    void SetTimeoutMs(int ms) { m_TimeoutMs = ms; }
    // Transfers queued or outstanding for a node.
    size_t PendingTransfers(int node) const;
    // Brackets an operation (they may nest). The outermost end returns the
    // nodes that were skipped in it.
    void BeginOperation();
    std::vector<int> EndOperation();
    // The node timed out in an operation and has not answered since.
    bool Skipped(int node) const;
    // Operations ask every node again (the operator's reset).
    void RetrySkippedNodes();

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
    std::string DriveError(const jointData& record) const;
    void SetDriveError(jointData& record, const std::string& text) const;

    bool debug;

private:
    struct Transfer {
        uint64_t id = 0;
        unsigned char frame[8] = {};
        bool waited = false;
    };
    struct Result {
        bool done = false;
        bool ok = false;
        uint32_t abortCode = 0;
    };
    // Queues a request frame; 0 when refused (a skipped node: abortCode is the
    // time-out). A waited transfer gets a result entry.
    uint64_t Enqueue(int node, const unsigned char* frame, bool waited, uint32_t* abortCode);
    bool Wait(uint64_t id, uint32_t* abortCode);
    // An answer to the node's outstanding transfer; a write refused or read.
    void ParseAnswerFrame(jointData* record, int dlc, const unsigned char* data, bool download);
    // Sends the node's first queued transfer when none is outstanding; caller holds m_QueueMutex.
    void SendNext(int node);
    // Ends the node's outstanding transfer; caller holds m_QueueMutex.
    void Finish(int node, bool ok, uint32_t abortCode);
    // Ends every queued transfer of the node with the time-out; caller holds m_QueueMutex.
    void SkipNode(int node);
    bool Download(int node, int index, int subindex, int size, unsigned int value, bool wait, uint32_t* abortCode);
    bool Upload(int node, int index, int subindex, bool wait, uint32_t* abortCode);

    CANInterfaceSocketCAN* m_Can;
    mutable std::mutex m_QueueMutex;
    std::condition_variable m_QueueChanged;
    std::deque<Transfer> m_Queues[128];
    bool m_Outstanding[128] = {};
    int64_t m_SentUs[128] = {};
    bool m_QueueFullLogged[128] = {};
    int m_OperationDepth = 0;
    bool m_Skipped[128] = {};
    bool m_SkippedInOperation[128] = {};
    std::map<uint64_t, Result> m_Results;
    uint64_t m_NextId = 1;
    std::atomic<int> m_TimeoutMs{DefaultTimeoutMs};
    std::vector<SDOparameter> m_Objects;
    mutable std::mutex m_TextMutex;
    std::string m_LastErrorClass;  // guarded by m_TextMutex
};

}  // namespace Hardware
