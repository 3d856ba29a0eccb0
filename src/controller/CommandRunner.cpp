#include "controller/CommandRunner.h"

#include <cstdlib>
#include <mutex>
#include <sys/wait.h>

namespace {

std::mutex& RunnerMutex() {
    static std::mutex m;
    return m;
}

CommandRunner::RunFunction& Runner() {
    static CommandRunner::RunFunction f;
    return f;
}

}  // namespace

bool CommandRunner::Run(const std::string& command) {
    RunFunction f;
    {
        std::lock_guard<std::mutex> lock(RunnerMutex());
        f = Runner();
    }
    // Not called under the lock: a command may take long, and the runner
    // may be replaced meanwhile by another thread.
    const int status = f ? f(command) : RunWithShell(command);
    return status == 0;
}

void CommandRunner::SetRunFunction(RunFunction function) {
    std::lock_guard<std::mutex> lock(RunnerMutex());
    Runner() = std::move(function);
}

int CommandRunner::RunWithShell(const std::string& command) {
    const int status = std::system(command.c_str());
    if (status == -1) return -1;
    if (!WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}
