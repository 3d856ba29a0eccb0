#pragma once
// Programs that tests run beside them: the simulated bus (korvella-cansim)
// with its fault channel on a pipe, and the controller program with its
// console on a pipe. Both write their output to a file and are killed when
// the object ends. Also the six-axis sample copied into a scratch root.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <tinyxml2.h>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

extern char** environ;

namespace SimBusTest {

// One child process: standard input from a pipe the test writes, output to a file.
class Process {
public:
    Process() = default;
    ~Process() { Kill(); }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    void Start(const std::vector<std::string>& args, const std::string& cwd, const std::string& output,
               const std::vector<std::string>& setEnv) {
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            bool replaced = false;
            for (const std::string& s : setEnv) replaced = replaced || s.substr(0, s.find('=')) == entry.substr(0, entry.find('='));
            if (!replaced) env.push_back(entry);
        }
        for (const std::string& s : setEnv) env.push_back(s);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);

        int fds[2];
        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
        pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // Only async-signal-safe calls between fork and exec.
            const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (out < 0 || chdir(cwd.c_str()) != 0) _exit(127);
            dup2(fds[0], 0);
            dup2(out, 1);
            dup2(out, 2);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        close(fds[0]);
        input = fds[1];
    }

    // One line to the program's standard input.
    void Line(const std::string& text) {
        const std::string line = text + "\n";
        ASSERT_GE(input, 0);
        ASSERT_EQ(write(input, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    }
    void CloseInput() {
        if (input >= 0) close(input);
        input = -1;
    }
    void Signal(int sig) const {
        if (pid > 0) kill(pid, sig);
    }
    bool Running() const { return pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0; }
    // True once the process ended within the limit; its wait status in `status`.
    bool WaitExit(int& status, std::chrono::seconds limit = std::chrono::seconds(20)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (pid > 0 && std::chrono::steady_clock::now() < end) {
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    void Kill() {
        CloseInput();
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }

private:
    pid_t pid = -1;
    int input = -1;
};

// Polls until the condition holds; false when it did not within the limit.
inline bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

inline void EditXml(const std::string& path, const std::function<void(tinyxml2::XMLElement* root)>& edit) {
    tinyxml2::XMLDocument document;
    ASSERT_EQ(document.LoadFile(path.c_str()), tinyxml2::XML_SUCCESS) << path;
    edit(document.RootElement());
    ASSERT_EQ(document.SaveFile(path.c_str()), tinyxml2::XML_SUCCESS);
}

// The six-axis sample in a scratch root (which is also the log's root while it lives).
class Sample {
public:
    Sample() {
        std::filesystem::copy(std::string(KORVELLA_SAMPLES_DIR) + "/six-axis", scratch.Path(),
                              std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing);
    }
    std::string Root() const { return scratch.Path(); }
    std::string File(const std::string& relative) const { return scratch.File(relative); }
    // Relative to Data/Robots/, as RobotMaster::Init takes it.
    static std::string RobotRelative() { return "KorvellaSix/KorvellaSix.xml"; }
    std::string RobotFile() const { return File("Data/Robots/" + RobotRelative()); }
    std::string ProjectFile() const { return File("Data/Projects/SixAxis/SixAxis.prj"); }
    std::string Socket() const { return File("can.sock"); }

    void EditRobot(const std::function<void(tinyxml2::XMLElement* robot)>& edit) const { EditXml(RobotFile(), edit); }
    void EditProject(const std::function<void(tinyxml2::XMLElement* project)>& edit) const {
        EditXml(ProjectFile(), edit);
    }
    // E-stop monitoring on input 20 and the brake on output 21 (the DIO module's first bits).
    void AddEStopAndBrake(int delayMs) const {
        EditRobot([delayMs](tinyxml2::XMLElement* robot) {
            robot->FirstChildElement("EStopMonitoring")->SetAttribute("DInChannel", 20);
            tinyxml2::XMLElement* brake = robot->FirstChildElement("Brake");
            brake->SetAttribute("Active", "True");
            brake->SetAttribute("DOutChannel", 21);
            brake->SetAttribute("DelayMS", delayMs);
        });
    }

    // The simulated bus with the sample's modules and DIO module 112; faults through Bus().Line.
    void StartBus() {
        bus.Start({KORVELLA_CANSIM_PROGRAM, "--socket", Socket(), "--robot", RobotFile(), "--dio", "112"}, Root(),
                  File("cansim.txt"), {});
        struct stat info {};
        ASSERT_TRUE(WaitFor([&]() { return stat(Socket().c_str(), &info) == 0; })) << "simulated bus did not start";
    }
    Process& Bus() { return bus; }

private:
    TestSupport::ScratchRoot scratch;
    Process bus;
};

// The messages of the log lines in a file (time stamp and blanks removed).
inline std::vector<std::string> Messages(const std::string& path) {
    std::vector<std::string> messages;
    std::istringstream in(TestSupport::ReadFile(path));
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() >= 17 && line[2] == ':' && line[5] == ':' && line[8] == ':' &&
            line.compare(12, 5, "     ") == 0) {
            messages.push_back(line.substr(17));
        } else {
            messages.push_back(line);
        }
    }
    return messages;
}

// The controller program in the sample's root, on the sample's simulated bus,
// with its console on a pipe.
class Controller {
public:
    explicit Controller(Sample& sample, std::vector<std::string> extraEnv = {}) : sample(sample) {
        // The caller's entries come first and win; by default the remote-control
        // server takes any free port, so parallel runs never compete for 3920.
        std::vector<std::string> env = extraEnv;
        for (const char* e : {"KORVELLA_LOG_NO_WAIT=1", "KORVELLA_HXP_PORT=0"}) env.push_back(e);
        env.push_back("KORVELLA_CAN_SIM=" + sample.Socket());
        process.Start({KORVELLA_PROGRAM}, sample.Root(), Output(), env);
    }
    ~Controller() { process.Kill(); }

    std::string Output() const { return sample.File("console.txt"); }
    std::vector<std::string> Log() const { return Messages(Output()); }
    int Count(const std::string& message) const {
        int n = 0;
        for (const std::string& m : Log()) n += m == message ? 1 : 0;
        return n;
    }
    std::vector<std::string> StartingWith(const std::string& prefix) const {
        std::vector<std::string> found;
        for (const std::string& m : Log())
            if (m.compare(0, prefix.size(), prefix) == 0) found.push_back(m);
        return found;
    }
    // Waits until the message was logged `times` times in all.
    bool WaitForMessage(const std::string& message, int times = 1,
                        std::chrono::seconds limit = std::chrono::seconds(40)) {
        return WaitFor([&]() { return Count(message) >= times || !process.Running(); },
                       std::chrono::duration_cast<std::chrono::milliseconds>(limit)) &&
               Count(message) >= times;
    }
    // The referencing sequence reached the last joint of the six-axis arm (also
    // when a module still reported an error and was referenced despite it).
    bool WaitForLastJointReferencing(std::chrono::seconds limit = std::chrono::seconds(60)) {
        return WaitFor([&]() { return !StartingWith("Referencing joint 5").empty() || !process.Running(); },
                       std::chrono::duration_cast<std::chrono::milliseconds>(limit)) &&
               !StartingWith("Referencing joint 5").empty();
    }
    // The last lines of the console, for a failure's message.
    std::string Tail(std::size_t lines = 40) const {
        const std::vector<std::string> all = Log();
        std::string text = "\n--- last console lines ---\n";
        for (std::size_t i = all.size() > lines ? all.size() - lines : 0; i < all.size(); ++i) text += all[i] + "\n";
        return text;
    }
    // A console line, typed once the previous one had its effect.
    void Type(const std::string& line) { process.Line(line); }
    // Ends the program with SIGTERM and expects a clean exit.
    void Stop() {
        process.Signal(SIGTERM);
        int status = 0;
        ASSERT_TRUE(process.WaitExit(status, std::chrono::seconds(30))) << "Korvella did not end";
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_EQ(Count("Korvella: Exiting..."), 1);
    }

private:
    Sample& sample;
    Process process;
};

}  // namespace SimBusTest
