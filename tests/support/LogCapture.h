#pragma once
// Collects every finished log line while it lives, for assertions on log texts.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace TestSupport {

struct CapturedLine {
    std::string message;
    bool isError;
};

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<CapturedLine> Entries() const;
    // The messages alone, in order.
    std::vector<std::string> Lines() const;
    // Lines equal to the text.
    int Count(const std::string& exact) const;
    // Lines that contain the text.
    int CountContaining(const std::string& part) const;
    bool Has(const std::string& exact) const { return Count(exact) > 0; }
    bool Has(const std::string& exact, bool isError) const;
    bool HasError(const std::string& exact) const { return Has(exact, true); }
    // A plain (not error) line equal to the text.
    bool HasNote(const std::string& exact) const { return Has(exact, false); }
    bool HasErrorContaining(const std::string& part) const;
    // Lines that start with the prefix.
    std::vector<std::string> StartingWith(const std::string& prefix) const;
    bool HasStartingWith(const std::string& prefix) const { return !StartingWith(prefix).empty(); }
    void Clear();

private:
    struct Store {
        std::mutex mutex;
        std::vector<CapturedLine> lines;
    };
    // Shared with the observer, so a line logged while the capture ends
    // never writes into freed memory.
    std::shared_ptr<Store> m_Store;
};

}  // namespace TestSupport
