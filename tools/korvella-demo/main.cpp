// korvella-demo: a small remote-control client that shows the controller at
// work. It connects on the remote-control port, resets, enables and references
// the arm, loads and starts a program, prints joints, pose and program state
// while the arm moves, and then disconnects, leaving the controller (and the
// program) running for the next client.
//
//   korvella-demo [--host 127.0.0.1] [--port 3920] [--program Demo.xml] [--seconds 30] [--wait 120]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "common/SendAll.h"

namespace {

using Clock = std::chrono::steady_clock;

class Connection {
public:
    ~Connection() {
        if (fd >= 0) close(fd);
    }

    bool Open(const std::string& host, int port) {
        if (fd >= 0) close(fd);
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) return false;
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            close(fd);
            fd = -1;
            return false;
        }
        return true;
    }

    // One frame; nothing may follow "HXPEND": the server takes any further byte as the next frame.
    bool Send(const std::string& body) {
        counter = (counter + 1) % 1000;
        const std::string frame = "HXPSTART " + std::to_string(counter) + " " + body + " HXPEND";
        return Net::SendAll(fd, frame.data(), frame.size()) == frame.size();
    }
    int LastCounter() const { return counter; }

    // The body of the next frame from the controller; false after the limit or when closed.
    bool Next(std::string& body, std::chrono::milliseconds limit) {
        const auto end = Clock::now() + limit;
        while (true) {
            const std::size_t stop = pending.find(" HXPEND\n");
            if (stop != std::string::npos) {
                const std::string text = pending.substr(0, stop);
                pending.erase(0, stop + 8);
                // "HXPSTART <counter> <body>"
                const std::size_t first = text.find(' ');
                const std::size_t second = first == std::string::npos ? first : text.find(' ', first + 1);
                body = second == std::string::npos ? std::string() : text.substr(second + 1);
                return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (left <= 0) return false;
            pollfd entry{fd, POLLIN, 0};
            if (poll(&entry, 1, static_cast<int>(left)) <= 0) continue;
            char buffer[8192];
            const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
            if (n <= 0) {
                closed = true;
                return false;
            }
            pending.append(buffer, static_cast<std::size_t>(n));
        }
    }
    bool Closed() const { return closed; }

private:
    int fd = -1;
    int counter = 0;
    bool closed = false;
    std::string pending;
};

bool StartsWith(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

// Reads frames until one satisfies the condition; `seen` gets every frame read.
bool WaitFrame(Connection& c, const std::function<bool(const std::string&)>& condition, std::chrono::seconds limit,
               const std::function<void(const std::string&)>& seen = nullptr) {
    const auto end = Clock::now() + limit;
    std::string body;
    while (Clock::now() < end && !c.Closed()) {
        if (!c.Next(body, std::chrono::milliseconds(500))) continue;
        if (seen) seen(body);
        if (condition(body)) return true;
    }
    return false;
}

// The words that follow a keyword of a STATUS line.
std::string After(const std::string& status, const std::string& keyword, int words) {
    std::istringstream in(status);
    std::string word;
    while (in >> word && word != keyword) {
    }
    std::string out;
    for (int i = 0; i < words && in >> word; ++i) out += (i ? " " : "") + word;
    return out;
}

int Fail(const std::string& step) {
    std::printf("demo: %s\n", step.c_str());
    std::fflush(stdout);
    return 1;
}

void Say(const std::string& text) {
    std::printf("demo: %s\n", text.c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    std::string host = "127.0.0.1";
    int port = 3920;
    std::string program = "Demo.xml";
    int seconds = 30;
    int waitSeconds = 120;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--host" && hasValue) {
            host = argv[++i];
        } else if (arg == "--port" && hasValue) {
            port = std::atoi(argv[++i]);
        } else if (arg == "--program" && hasValue) {
            program = argv[++i];
        } else if (arg == "--seconds" && hasValue) {
            seconds = std::atoi(argv[++i]);
        } else if (arg == "--wait" && hasValue) {
            waitSeconds = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr,
                         "usage: %s [--host ADDR] [--port N] [--program FILE] [--seconds N] [--wait N]\n"
                         "  --seconds: how long the status is printed; --wait: how long to wait for the controller\n",
                         argv[0]);
            return 2;
        }
    }
    if (port <= 0 || port > 65535 || seconds < 0 || waitSeconds < 0) return Fail("bad arguments");

    Connection c;
    const auto connectBy = Clock::now() + std::chrono::seconds(waitSeconds);
    while (!c.Open(host, port)) {
        if (Clock::now() > connectBy) return Fail("no controller on the port");
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    Say("connected to " + host + ":" + std::to_string(port));
    bool active = false;
    if (!WaitFrame(c, [&](const std::string& b) {
            active = b == "CMD Active true";
            return StartsWith(b, "CMD Active ");
        }, std::chrono::seconds(20)))
        return Fail("the controller did not say whether this client is active");
    if (!active) return Fail("another client is active; this one may only watch");

    // The joint bus connects a moment after start-up; the modules then report themselves.
    std::string lastStatus;
    const auto keepStatus = [&](const std::string& b) {
        if (StartsWith(b, "STATUS")) lastStatus = b;
    };
    if (!WaitFrame(c, [](const std::string& b) { return StartsWith(b, "STATUS") && After(b, "ERROR", 1) != "n/a" &&
                                                        After(b, "ERROR", 1) != "NotConnected"; },
                   std::chrono::seconds(waitSeconds)))
        return Fail("the joint modules did not report (is the simulated bus running?)");

    Say("reset and enable");
    if (!c.Send("CMD Reset") || !c.Send("CMD Enable")) return Fail("connection lost");
    if (!WaitFrame(c, [](const std::string& b) { return StartsWith(b, "STATUS") && After(b, "ERROR", 1) == "NoError"; },
                   std::chrono::seconds(30), keepStatus))
        return Fail("the arm did not enable, error: " + After(lastStatus, "ERROR", 1));

    Say("reference all joints");
    if (!c.Send("CMD ReferenceAllJoints")) return Fail("connection lost");
    bool referenced = false;
    bool referencingStarted = false;
    const auto referencedBy = Clock::now() + std::chrono::seconds(90);
    auto askAgainAt = Clock::now() + std::chrono::seconds(10);
    int asksLeft = 2;
    while (!referenced && Clock::now() < referencedBy) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        if (!c.Send("CMD GetReferencingInfo")) return Fail("connection lost");
        WaitFrame(c, [&](const std::string& b) {
            if (!StartsWith(b, "INFO ReferencingInfo")) return false;
            referenced = b.find(" Joints 1 1 1 1 1 1") != std::string::npos;
            referencingStarted = referencingStarted || b.find(" Joints 0 0 0 0 0 0") == std::string::npos;
            return true;
        }, std::chrono::seconds(5));
        // The controller refuses referencing until the modules report their motors on, which
        // can come after the first status without error: ask again while no joint has started.
        if (!referencingStarted && asksLeft > 0 && Clock::now() > askAgainAt) {
            if (!c.Send("CMD ReferenceAllJoints")) return Fail("connection lost");
            askAgainAt = Clock::now() + std::chrono::seconds(10);
            --asksLeft;
        }
    }
    if (!referenced) return Fail("the joints did not reference");

    Say("load and start " + program);
    if (!c.Send("CMD LoadProgram " + program)) return Fail("connection lost");
    if (!WaitFrame(c, [&](const std::string& b) { return StartsWith(b, "RUNSTATE " + program + " "); },
                   std::chrono::seconds(20)))
        return Fail("the program did not load");
    bool started = false;
    for (int attempt = 0; attempt < 20 && !started; ++attempt) {
        if (!c.Send("CMD StartProgram")) return Fail("connection lost");
        started = WaitFrame(c, [](const std::string& b) { return StartsWith(b, "EXECACK"); }, std::chrono::seconds(2));
    }
    if (!started) return Fail("the program did not start");

    Say("the arm moves; status for " + std::to_string(seconds) + " s");
    std::string runState = "?";
    auto nextPrint = Clock::now();
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    std::string body;
    while (Clock::now() < end && !c.Closed()) {
        if (!c.Next(body, std::chrono::milliseconds(200))) continue;
        if (StartsWith(body, "RUNSTATE ")) {
            // "RUNSTATE <name> <count> <index> <state> <mode>"
            std::istringstream in(body.substr(9));
            std::string name;
            int count = 0, index = 0, state = 0, mode = 0;
            in >> name >> count >> index >> state >> mode;
            runState = name + " command " + std::to_string(index + 1) + "/" + std::to_string(count) +
                       (state == 2 ? " running" : (state == 1 ? " idle" : " stopped"));
        } else if (StartsWith(body, "EXECERROR")) {
            Say("program error: " + body.substr(10));
        } else if (StartsWith(body, "STATUS") && Clock::now() >= nextPrint) {
            nextPrint = Clock::now() + std::chrono::milliseconds(500);
            std::printf("demo: joints %-44s pose %-38s %s, %s\n", After(body, "POSJOINTCURRENT", 6).c_str(),
                        After(body, "POSCARTROBOT", 6).c_str(), After(body, "ERROR", 1).c_str(), runState.c_str());
            std::fflush(stdout);
        }
    }
    if (c.Closed()) return Fail("the controller closed the connection");
    Say("done; the controller keeps running. Connect your own client on port " + std::to_string(port) +
        "; Ctrl-C in the controller's terminal stops it.");
    return 0;
}
