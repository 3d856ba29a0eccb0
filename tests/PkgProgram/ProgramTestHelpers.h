#pragma once
// Helpers shared by the program-model tests.

#include <mutex>
#include <string>
#include <vector>

#include "common/LogSingleton.h"

namespace ProgramTest {

// Collects log lines while it lives.
class LogCapture {
public:
    LogCapture() {
        LogSingleton::instance()->SetLineObserver([this](const std::string& message, bool isError) {
            std::lock_guard<std::mutex> lock(mutex);
            lines.push_back({message, isError});
        });
    }
    ~LogCapture() { LogSingleton::instance()->SetLineObserver(nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    bool Has(const std::string& message, bool isError) const {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& l : lines) {
            if (l.message == message && l.isError == isError) return true;
        }
        return false;
    }
    bool HasErrorContaining(const std::string& part) const {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& l : lines) {
            if (l.isError && l.message.find(part) != std::string::npos) return true;
        }
        return false;
    }

private:
    struct Line {
        std::string message;
        bool isError;
    };
    mutable std::mutex mutex;
    std::vector<Line> lines;
};

}  // namespace ProgramTest
