#pragma once
// The one way the controller runs a shell command (power-off, reboot). The
// function that actually runs it can be replaced, so that no test ever
// reaches a real power-off.

#include <functional>
#include <string>

class CommandRunner {
public:
    // Runs the command and returns its exit status; -1 when it could not be
    // run at all or did not exit normally.
    using RunFunction = std::function<int(const std::string& command)>;

    // True when the command ran and exited with status 0.
    static bool Run(const std::string& command);

    // Replaces the function that runs commands; an empty function restores
    // the shell.
    static void SetRunFunction(RunFunction function);

    // The default: the command through /bin/sh (PATH applies).
    static int RunWithShell(const std::string& command);
};
