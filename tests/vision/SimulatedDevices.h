#pragma once
// Network vision devices for the tests, on loopback: an IFM O2D smart camera
// that answers the framed requests, and a bin-picking computer that answers
// "REQUEST". Replies are set by the tests; message builders give the bytes
// the devices send.

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "LoopbackServer.h"
#include "VisionTestSupport.h"

namespace VisionTest {

std::string AsText(const Bytes& bytes);
// A 16 x 16 palette BMP (1334 bytes, so it starts with "BM6") or the 640 x 480 one (308278 bytes).
std::string SmallBmp();
std::string FullBmp();
// Bytes that pass for a JPEG file.
std::string JpegLike();

// "tttt" "L" nine-digit length CR LF, then the body.
std::string O2DFrame(int ticket, const std::string& body);
// The reply to a picture request: ticket, nine-digit size, the picture, CR LF; framed.
std::string O2DPictureReply(const std::string& picture);
// "0000startPASS#0.9#1#<class>#<x>#<y>#<angle>#80" and "stop".
std::string O2D200Pass(int modelClass, const std::string& x, const std::string& y, const std::string& angle);

class SimulatedO2D {
public:
    SimulatedO2D();
    ~SimulatedO2D();

    int Port() const { return server.Port(); }
    LoopbackServer& Server() { return server; }
    // Texts of the frames received, ticket included ("1001V?").
    std::vector<std::string> Requests() const;
    int CountRequests(const std::string& text) const;
    // Frames that were not "tttt" "L" nine digits CR LF body.
    int BadFrames() const;

    // Answers; an empty answer sends nothing.
    void SetDeviceModel(const std::string& model);
    void SetTriggerReply(const std::string& bytes);
    void SetPictureReply(const std::string& bytes);
    void SetSilent(bool silent);

private:
    void OnBytes(const std::string& piece);
    void Answer(const std::string& request);

    LoopbackServer server;
    mutable std::mutex mutex;
    std::string pending;
    std::vector<std::string> requests;
    int badFrames = 0;
    std::string deviceModel = "O2D220";
    std::string triggerReply;
    std::string pictureReply;
    bool silent = false;
};

class SimulatedBinPicking {
public:
    SimulatedBinPicking();
    ~SimulatedBinPicking();

    int Port() const { return server.Port(); }
    LoopbackServer& Server() { return server; }
    int Requests() const { return server.Count("REQUEST"); }
    // Sent once for the next "REQUEST"s, in order; afterwards `standing` for each one.
    void Queue(const std::string& bytes);
    void SetStanding(const std::string& bytes);

private:
    void OnBytes(const std::string& piece);

    LoopbackServer server;
    mutable std::mutex mutex;
    std::vector<std::string> queued;
    std::string standing;
};

}  // namespace VisionTest
