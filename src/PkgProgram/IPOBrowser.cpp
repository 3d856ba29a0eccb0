// The program directory browser: a cursor over the listing of one sub-directory
// of the program directory, walked by the front-panel display, the remote
// clients and the Modbus server from their own threads.

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "PkgProgram/IPO.h"
#include "common/Filesystem.h"
#include "common/LogSingleton.h"
#include "common/StringHelper.h"

namespace {

// Enough for any real directory tree; a client that only ever enters cannot grow it without end.
constexpr std::size_t MaxCursorStack = 256;

bool IsParentPath(const std::string& path) { return path == "../" || path == ".."; }

constexpr const char* NoEntry = "n/a";

// The part after the last '/' that does not end the name, so "a/b/" shows as "b/";
// the marker of a cursor past the listing is no path and shows whole.
std::string ShowName(const std::string& entry) {
    if (entry.size() < 2 || entry == NoEntry) return entry;
    const std::string::size_type slash = entry.find_last_of('/', entry.size() - 2);
    return slash == std::string::npos ? entry : entry.substr(slash + 1);
}

void Refuse(const std::string& text) {
    LogSingleton* log = LogSingleton::instance();
    log->addError(text);
    log->DisplayAndServerSetMessage(text);
}

}  // namespace

int IPO::ListLocked(int index, std::string* out) {
    const std::string path = GetProgramsDirectoryAbsolute() + browserDirectory;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) {
        std::perror("could not open dir");
        browserEntryCount = 0;
        return 0;
    }
    std::vector<std::string> entries;
    if (!browserDirectory.empty()) entries.emplace_back("../");
    while (const dirent* entry = readdir(dir)) {
        const std::string entryName = entry->d_name;
        if (entryName.empty() || entryName[0] == '.') continue;
        const bool isDirectory = Filesystem::IsDirectory(path + entryName);
        entries.push_back(browserDirectory + entryName + (isDirectory ? "/" : ""));
    }
    closedir(dir);
    std::sort(entries.begin(), entries.end(), StringHelper::FileComparator);
    browserEntryCount = static_cast<int>(entries.size());
    if (out != nullptr) {
        *out = index >= 0 && index < browserEntryCount ? entries[static_cast<std::size_t>(index)] : NoEntry;
    }
    return browserEntryCount;
}

int IPO::GetFilename(int index, std::string* out) {
    std::lock_guard<std::mutex> lock(browserMutex);
    return ListLocked(index, out);
}

std::string IPO::GetCurrentProgShowName() {
    std::lock_guard<std::mutex> lock(browserMutex);
    std::string entry = "storage01.xml";
    ListLocked(browserCursor, &entry);
    return entry;
}

void IPO::SendCurrentProgShowName() {
    std::string shown;
    int cursor = 0;
    {
        std::lock_guard<std::mutex> lock(browserMutex);
        shown = "storage01.xml";
        ListLocked(browserCursor, &shown);
        cursor = browserCursor;
    }
    shown = ShowName(shown);
    LogSingleton* log = LogSingleton::instance();
    log->addFormat("IPO:     Sending selected filename %d: %s", cursor, shown);
    log->DisplaySetFilename(shown);
}

void IPO::ProgShowCntIncrease() {
    std::lock_guard<std::mutex> lock(browserMutex);
    if (browserCursor + 1 < browserEntryCount) ++browserCursor;
}

void IPO::ProgShowCntDecrease() {
    std::lock_guard<std::mutex> lock(browserMutex);
    if (browserCursor > 0) --browserCursor;
}

bool IPO::SetProgPathLocked(const std::string& path) {
    if (IsParentPath(path)) {
        std::string parent = browserDirectory;
        if (!parent.empty() && parent.back() == '/') parent.pop_back();
        const std::string::size_type slash = parent.find_last_of('/');
        browserDirectory = slash == std::string::npos ? std::string() : parent.substr(0, slash + 1);
        if (!browserCursorStack.empty()) {
            browserCursor = browserCursorStack.back();
            browserCursorStack.pop_back();
        }
        return true;
    }
    if (!Filesystem::StaysInside(path)) return false;
    browserDirectory = path;
    // Listing entries join names straight onto the directory.
    if (!browserDirectory.empty() && browserDirectory.back() != '/') browserDirectory += '/';
    if (browserCursorStack.size() >= MaxCursorStack) browserCursorStack.erase(browserCursorStack.begin());
    browserCursorStack.push_back(browserCursor);
    return true;
}

void IPO::SetProgPath(const std::string& path) {
    bool accepted = false;
    {
        std::lock_guard<std::mutex> lock(browserMutex);
        accepted = SetProgPathLocked(path);
    }
    if (!accepted) Refuse(name + " - Program not found: " + path);
}

int IPO::LoadCurrentDirectoryOrProgram(std::function<void()> onLoaded) {
    return LoadDirectoryOrProgram(GetCurrentProgShowName(), std::move(onLoaded));
}

int IPO::LoadDirectoryOrProgram(const std::string& entry, std::function<void()> onLoaded) {
    LogSingleton* log = LogSingleton::instance();
    // "../" is the listing's own way up; anything else must stay below the program directory.
    if (!IsParentPath(entry) && !Filesystem::StaysInside(entry)) {
        Refuse(name + " - Program not found: " + entry);
        return 2;
    }
    if (!entry.empty() && entry.back() == '/') {
        log->addFormat("IPO: Changing program directory %s", entry);
        SetProgPath(entry);
        SendCurrentProgShowName();
        return -1;
    }
    log->addFormat("IPO: Loading program %s", entry);
    Stop(USER, std::string());
    // The loader stages the file: a refused one keeps the program (and its offsets) as they were.
    if (!BeginLoad(entry, false, [this, onLoaded]() {
            OffsetReset();
            if (onLoaded) onLoaded();
        }))
        return 2;
    std::thread(threadLoadProg, this).detach();
    return 0;
}

std::string IPO::GetProgramsDirectoryAbsolute() const {
    return LogSingleton::instance()->get_rootPath() + "Data/Programs/";
}

bool IPO::IsSelectedEntryAFile() {
    std::string entry;
    {
        std::lock_guard<std::mutex> lock(browserMutex);
        entry = "storage01.xml";
        ListLocked(browserCursor, &entry);
    }
    return Filesystem::IsFile(GetProgramsDirectoryAbsolute() + entry);
}

void IPO::GotoBasedir() {
    std::lock_guard<std::mutex> lock(browserMutex);
    browserCursor = 0;
    browserDirectory.clear();
    browserCursorStack.clear();
    std::string first;
    ListLocked(0, &first);
}

bool IPO::DeleteProgramFile(const char* fileName) {
    LogSingleton* log = LogSingleton::instance();
    const std::string relative = fileName != nullptr ? fileName : "";
    const std::string path = GetProgramsDirectoryAbsolute() + relative;
    // Only files below the program directory: no "..", no absolute name, no directory.
    if (relative.empty() || !Filesystem::StaysInside(relative) || !Filesystem::IsFile(path) ||
        std::remove(path.c_str()) != 0) {
        Refuse("Error: Could not delete file " + relative);
        return false;
    }
    log->add("Deleted file " + relative);
    log->DisplayAndServerSetMessage("Deleted file " + relative);
    return true;
}

int IPO::GetBrowserCursor() const {
    std::lock_guard<std::mutex> lock(browserMutex);
    return browserCursor;
}

int IPO::GetBrowserEntryCount() const {
    std::lock_guard<std::mutex> lock(browserMutex);
    return browserEntryCount;
}

std::string IPO::GetBrowserDirectory() const {
    std::lock_guard<std::mutex> lock(browserMutex);
    return browserDirectory;
}
