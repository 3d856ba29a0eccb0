#include "support/LogCapture.h"

#include <algorithm>

#include "common/LogSingleton.h"

namespace TestSupport {

LogCapture::LogCapture() : m_Store(std::make_shared<Store>()) {
    std::shared_ptr<Store> store = m_Store;
    LogSingleton::instance()->SetLineObserver([store](const std::string& message, bool isError) {
        std::lock_guard<std::mutex> lock(store->mutex);
        store->lines.push_back({message, isError});
    });
}

LogCapture::~LogCapture() { LogSingleton::instance()->SetLineObserver(nullptr); }

std::vector<CapturedLine> LogCapture::Entries() const {
    std::lock_guard<std::mutex> lock(m_Store->mutex);
    return m_Store->lines;
}

std::vector<std::string> LogCapture::Lines() const {
    std::vector<std::string> messages;
    for (const CapturedLine& line : Entries()) messages.push_back(line.message);
    return messages;
}

int LogCapture::Count(const std::string& exact) const {
    const std::vector<CapturedLine> lines = Entries();
    return static_cast<int>(
        std::count_if(lines.begin(), lines.end(), [&](const CapturedLine& l) { return l.message == exact; }));
}

int LogCapture::CountContaining(const std::string& part) const {
    const std::vector<CapturedLine> lines = Entries();
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const CapturedLine& l) {
        return l.message.find(part) != std::string::npos;
    }));
}

bool LogCapture::Has(const std::string& exact, bool isError) const {
    const std::vector<CapturedLine> lines = Entries();
    return std::any_of(lines.begin(), lines.end(),
                       [&](const CapturedLine& l) { return l.message == exact && l.isError == isError; });
}

bool LogCapture::HasErrorContaining(const std::string& part) const {
    const std::vector<CapturedLine> lines = Entries();
    return std::any_of(lines.begin(), lines.end(), [&](const CapturedLine& l) {
        return l.isError && l.message.find(part) != std::string::npos;
    });
}

std::vector<std::string> LogCapture::StartingWith(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const CapturedLine& line : Entries()) {
        if (line.message.compare(0, prefix.size(), prefix) == 0) found.push_back(line.message);
    }
    return found;
}

void LogCapture::Clear() {
    std::lock_guard<std::mutex> lock(m_Store->mutex);
    m_Store->lines.clear();
}

}  // namespace TestSupport
