// File-system helpers.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "CommonTestHelpers.h"
#include "common/Filesystem.h"
#include "support/TestSupport.h"

using CommonTest::LogCapture;
using TestSupport::ReadFile;
using TestSupport::ScratchRoot;
using TestSupport::WriteFile;

TEST(Filesystem, KindsOfPaths) {
    ScratchRoot root;
    WriteFile(root.File("file.txt"), "12345");
    std::filesystem::create_directories(root.File("dir"));
    std::filesystem::create_symlink(root.File("file.txt"), root.File("link"));

    struct Case {
        std::string path;
        bool exists, isFile, isDirectory;
        int32_t size;
    };
    const Case cases[] = {
        {root.File("file.txt"), true, true, false, 5},
        {"file.txt", true, true, false, 5},  // relative to the working directory
        {root.File("link"), true, true, false, 5},
        {root.File("dir"), true, false, true, -2},
        {root.File("missing"), false, false, false, -1},
        {"", false, false, false, -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Filesystem::Exists(c.path), c.exists) << c.path;
        EXPECT_EQ(Filesystem::IsFile(c.path), c.isFile) << c.path;
        EXPECT_EQ(Filesystem::IsDirectory(c.path), c.isDirectory) << c.path;
        if (c.size != -2) {
            EXPECT_EQ(Filesystem::GetFileSize(c.path), c.size) << c.path;
        }
    }
}

TEST(Filesystem, DeleteReportsFailures) {
    ScratchRoot root;
    WriteFile(root.File("gone.txt"), "x");
    LogCapture capture;
    EXPECT_TRUE(Filesystem::Delete(root.File("gone.txt")));
    EXPECT_FALSE(Filesystem::Exists(root.File("gone.txt")));
    EXPECT_TRUE(capture.Entries().empty());

    EXPECT_FALSE(Filesystem::Delete(root.File("gone.txt")));
    EXPECT_TRUE(capture.Has("Could not delete file '" + root.File("gone.txt") + "': No such file or directory", true));
}

TEST(Filesystem, MoveReportsFailures) {
    ScratchRoot root;
    WriteFile(root.File("a.txt"), "a");
    LogCapture capture;
    EXPECT_TRUE(Filesystem::Move(root.File("a.txt"), root.File("b.txt")));
    EXPECT_EQ(ReadFile(root.File("b.txt")), "a");
    EXPECT_FALSE(Filesystem::Exists(root.File("a.txt")));
    EXPECT_TRUE(capture.Entries().empty());

    EXPECT_FALSE(Filesystem::Move(root.File("a.txt"), root.File("c.txt")));
    EXPECT_TRUE(capture.Has("Could not move file '" + root.File("a.txt") + "' to '" + root.File("c.txt") +
                                "': No such file or directory",
                            true));
    EXPECT_FALSE(Filesystem::Move(root.File("b.txt"), root.File("no/such/dir/b.txt")));
    EXPECT_EQ(ReadFile(root.File("b.txt")), "a");
}

TEST(Filesystem, WriteAtomicallyReplacesWholeOrNotAtAll) {
    ScratchRoot root;
    const std::string path = root.File("settings.xml");
    const std::string temporary = path + "_tmp";
    auto writeText = [](const std::string& text) {
        return [text](std::FILE* file) { return std::fwrite(text.data(), 1, text.size(), file) == text.size(); };
    };
    WriteFile(path, "old");

    // A stale read-only temporary file from an interrupted write is replaced.
    WriteFile(temporary, "stale");
    std::filesystem::permissions(temporary, std::filesystem::perms::owner_read);
    Filesystem::AtomicWriteResult result = Filesystem::WriteAtomically(path, writeText("new"));
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(ReadFile(path), "new");
    EXPECT_FALSE(std::filesystem::exists(temporary));

    // A writer that fails, or writes nothing, leaves the old file and no temporary.
    result = Filesystem::WriteAtomically(path, [](std::FILE* file) { return std::fputs("half", file) >= 0 && false; });
    EXPECT_FALSE(result.ok);
    EXPECT_FALSE(result.moveFailed);
    result = Filesystem::WriteAtomically(path, writeText(""));
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(ReadFile(path), "new");
    EXPECT_FALSE(std::filesystem::exists(temporary));

    // The content is complete but cannot take the file's place.
    const std::string directory = root.File("taken");
    std::filesystem::create_directories(directory + "/inside");
    result = Filesystem::WriteAtomically(directory, writeText("x"));
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.moveFailed);
    EXPECT_NE(result.error, 0);
    EXPECT_TRUE(std::filesystem::is_directory(directory + "/inside"));
    EXPECT_FALSE(std::filesystem::exists(directory + "_tmp"));
}

// Each write has a temporary of its own beside the target; what interrupted
// writes left behind is removed, a live writer's is kept.
TEST(Filesystem, TemporariesAreUniqueAndStaleOnesAreCleared) {
    ScratchRoot root;
    const std::string path = root.File("project.prj");
    const std::string gone = path + "_999999999_5_tmp";  // its writer is gone
    const std::string other = root.File("other.prj_999999999_5_tmp");
    for (const std::string& stale : {gone, other, path + "_tmp"}) WriteFile(stale, "<half");

    std::string first;
    std::string second;
    std::FILE* a = Filesystem::CreateTemporary(path, first);
    std::FILE* b = Filesystem::CreateTemporary(path, second);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(first, second);
    for (const std::string& name : {first, second}) {
        EXPECT_EQ(std::filesystem::path(name).parent_path(), std::filesystem::path(path).parent_path());
        EXPECT_EQ(name.rfind(path + "_", 0), 0u) << name;
        EXPECT_EQ(name.substr(name.size() - 4), "_tmp") << name;
    }
    // Two writers at once: each whole file lands, never a mix of both.
    std::fputs("first", a);
    std::fputs("second", b);
    std::fflush(a);
    std::fflush(b);
    EXPECT_EQ(ReadFile(first), "first");
    EXPECT_EQ(ReadFile(second), "second");
    EXPECT_FALSE(std::filesystem::exists(gone));
    EXPECT_FALSE(std::filesystem::exists(path + "_tmp"));
    EXPECT_TRUE(std::filesystem::exists(other));  // another file's

    EXPECT_TRUE(Filesystem::WriteAtomically(path, [](std::FILE* f) { return std::fputs("new", f) >= 0; }).ok);
    EXPECT_EQ(ReadFile(path), "new");
    // Temporaries of writers still at work stay (here: the two above, still open).
    EXPECT_TRUE(std::filesystem::exists(first));
    EXPECT_TRUE(std::filesystem::exists(second));
    std::fclose(a);
    std::fclose(b);
    // Closed and never renamed: abandoned, so the next write clears them.
    EXPECT_TRUE(Filesystem::WriteAtomically(path, [](std::FILE* f) { return std::fputs("newer", f) >= 0; }).ok);
    EXPECT_FALSE(std::filesystem::exists(first));
    EXPECT_FALSE(std::filesystem::exists(second));
}

namespace {

// Another process that holds a writer's lock on a file until it is dropped,
// as a controller in another container writing its temporary would.
class LockHolder {
public:
    explicit LockHolder(const std::string& path) {
        int ready[2];
        if (pipe(ready) != 0 || pipe(m_Release) != 0) return;
        m_Pid = fork();
        if (m_Pid == 0) {
            close(ready[0]);
            close(m_Release[1]);
            const int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
            const char ok = fd >= 0 && flock(fd, LOCK_EX) == 0 && write(fd, "<half", 5) == 5 ? '1' : '0';
            if (write(ready[1], &ok, 1) != 1) _exit(1);
            char byte = 0;
            while (read(m_Release[0], &byte, 1) < 0 && errno == EINTR) {
            }
            _exit(0);
        }
        close(ready[1]);
        close(m_Release[0]);
        char ok = '0';
        m_Holding = read(ready[0], &ok, 1) == 1 && ok == '1';
        close(ready[0]);
    }
    ~LockHolder() {
        if (m_Pid <= 0) return;
        // A byte, not the pipe's end: later children hold copies of its write end.
        if (write(m_Release[1], "r", 1) != 1) ADD_FAILURE() << "could not release the holder";
        close(m_Release[1]);
        int status = 0;
        waitpid(m_Pid, &status, 0);
    }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;
    bool Holding() const { return m_Holding; }

private:
    pid_t m_Pid = -1;
    int m_Release[2] = {-1, -1};
    bool m_Holding = false;
};

}  // namespace

// A temporary is removed only when no writer holds it, whatever process id
// its name carries (ids repeat across pid namespaces and restarts), and only
// names of exactly the temporaries' pattern are ever touched.
TEST(Filesystem, OnlyTemporariesNobodyHoldsAreRemovedWhateverTheirProcessId) {
    ScratchRoot root;
    const std::string path = root.File("Up1.xml");
    const std::string self = std::to_string(getpid());
    struct Case {
        std::string suffix;
        bool held;  // by a writer in another process
        bool kept;
        const char* what;
    };
    const Case cases[] = {
        {"_" + self + "_7_tmp", false, false, "this process id's earlier run, killed during a write"},
        {"_1_2_tmp", false, false, "a pid that is alive here, but nobody writes the file"},
        {"_999999999_3_tmp", true, true, "a writer whose pid means nothing here (another pid namespace)"},
        {"_" + self + "_8_tmp", true, true, "a writer elsewhere whose pid looks like ours"},
        {"_99999_backup_tmp", false, true, "a user's file"},
        {"_99999_3_4_tmp", false, true, "a user's file"},
        {"__3_tmp", false, true, "a user's file"},
        {"_12__tmp", false, true, "a user's file"},
        {"_x12_3_tmp", false, true, "a user's file"},
        {"_12_3_TMP", false, true, "a user's file"},
        {"_12_3_tmp.bak", false, true, "a user's file"},
        {"_+12_3_tmp", false, true, "a user's file"},
    };
    std::vector<std::unique_ptr<LockHolder>> holders;
    for (const Case& c : cases) {
        if (c.held) {
            holders.push_back(std::make_unique<LockHolder>(path + c.suffix));
            ASSERT_TRUE(holders.back()->Holding()) << c.suffix;
        } else {
            WriteFile(path + c.suffix, "<half");
        }
    }
    EXPECT_TRUE(Filesystem::WriteAtomically(path, [](std::FILE* f) { return std::fputs("<Program/>", f) >= 0; }).ok);
    EXPECT_EQ(ReadFile(path), "<Program/>");
    for (const Case& c : cases) {
        EXPECT_EQ(std::filesystem::exists(path + c.suffix), c.kept) << c.suffix << ": " << c.what;
    }
    // Once its writer has ended, a held temporary is stale like any other.
    holders.clear();
    EXPECT_TRUE(Filesystem::WriteAtomically(path, [](std::FILE* f) { return std::fputs("<Program/>", f) >= 0; }).ok);
    for (const Case& c : cases) {
        if (c.held) {
            EXPECT_FALSE(std::filesystem::exists(path + c.suffix)) << c.suffix;
        }
    }
}

namespace {

// Runs `writer` as process 1 of a pid namespace of its own, as a controller in
// a container runs; it reports the temporary it made and then either is killed
// in the middle of its write or keeps writing until released. Empty when pid
// namespaces cannot be made here.
class ContainerWriter {
public:
    explicit ContainerWriter(const std::string& path) {
        int report[2];
        if (pipe(report) != 0 || pipe(m_Release) != 0 || pipe(m_Kill) != 0) return;
        m_Pid = fork();
        if (m_Pid == 0) {
            close(report[0]);
            close(m_Release[1]);
            close(m_Kill[1]);
            if (unshare(CLONE_NEWPID) != 0) _exit(2);
            const pid_t init = fork();
            if (init == 0) {
                close(m_Kill[0]);
                std::string name;
                std::FILE* file = Filesystem::CreateTemporary(path, name);
                if (file == nullptr || std::fputs("<half", file) < 0 || std::fflush(file) != 0) _exit(1);
                name = std::to_string(getpid()) + " " + name;
                if (write(report[1], name.data(), name.size()) != static_cast<ssize_t>(name.size())) _exit(1);
                close(report[1]);
                char byte = 0;
                while (read(m_Release[0], &byte, 1) < 0 && errno == EINTR) {
                }
                _exit(0);
            }
            close(report[1]);
            close(m_Release[0]);
            // A byte asks for the kill; the namespace ends with its process 1.
            char byte = 0;
            if (read(m_Kill[0], &byte, 1) == 1 && byte == 'k' && init > 0) kill(init, SIGKILL);
            int status = 0;
            if (init < 0 || waitpid(init, &status, 0) != init) _exit(1);
            _exit(0);
        }
        close(report[1]);
        close(m_Release[0]);
        close(m_Kill[0]);
        char text[4096];
        ssize_t length = 0;
        ssize_t got = 0;
        while ((got = read(report[0], text + length, sizeof(text) - 1 - static_cast<std::size_t>(length))) > 0)
            length += got;
        close(report[0]);
        const std::string line(text, static_cast<std::size_t>(std::max<ssize_t>(length, 0)));
        const std::size_t blank = line.find(' ');
        if (blank != std::string::npos) {
            innerPid = std::atoi(line.substr(0, blank).c_str());
            temporary = line.substr(blank + 1);
        }
    }
    // Ends the writer: by SIGKILL in the middle of its write, or normally once released.
    void End(bool killed) {
        if (m_Pid <= 0) return;
        // Bytes, not the pipes' ends: other children may hold copies of the write ends.
        if (write(m_Kill[1], killed ? "k" : "n", 1) != 1) ADD_FAILURE() << "could not reach the writer";
        if (!killed && write(m_Release[1], "r", 1) != 1) ADD_FAILURE() << "could not release the writer";
        close(m_Kill[1]);
        close(m_Release[1]);
        int status = 0;
        waitpid(m_Pid, &status, 0);
        m_Pid = -1;
    }
    ~ContainerWriter() { End(false); }
    ContainerWriter(const ContainerWriter&) = delete;
    ContainerWriter& operator=(const ContainerWriter&) = delete;

    int innerPid = 0;
    std::string temporary;

private:
    pid_t m_Pid = -1;
    int m_Release[2] = {-1, -1};
    int m_Kill[2] = {-1, -1};
};

}  // namespace

// Two controllers that each run as process 1 of their own container on one
// folder: the live one's temporary survives the other's writes, and a run
// killed in its write leaves a temporary the next run (same pid) removes.
TEST(Filesystem, ControllersInPidNamespacesKeepLiveTemporariesAndClearTheirKilledRuns) {
    ScratchRoot root;
    const std::string path = root.File("Data/project.prj");
    WriteFile(path, "<old/>");
    ContainerWriter killed(path);
    if (killed.temporary.empty()) GTEST_SKIP() << "no pid namespaces here (needs root and unshare)";
    EXPECT_EQ(killed.innerPid, 1);
    killed.End(true);
    ASSERT_TRUE(std::filesystem::exists(killed.temporary));
    // A write between the runs moves the parent's counter on, so the next run's name differs.
    ASSERT_TRUE(Filesystem::WriteAtomically(root.File("Data/other.prj"), [](std::FILE* f) { return std::fputs("x", f) >= 0; }).ok);

    ContainerWriter next(path);
    ASSERT_FALSE(next.temporary.empty());
    EXPECT_EQ(next.innerPid, 1);
    EXPECT_NE(next.temporary, killed.temporary);
    EXPECT_FALSE(std::filesystem::exists(killed.temporary)) << "the killed run's temporary piles up";

    // This process writes beside the live one (pid 1 of its namespace means another process here).
    EXPECT_TRUE(Filesystem::WriteAtomically(path, [](std::FILE* f) { return std::fputs("<new/>", f) >= 0; }).ok);
    EXPECT_EQ(ReadFile(path), "<new/>");
    EXPECT_TRUE(std::filesystem::exists(next.temporary)) << "a live writer's temporary was removed";
    next.End(false);
}

// Two writers of one file at once (a client's upload beside the main loop's
// rewrite): the file always holds one writer's text whole.
TEST(Filesystem, TwoWritersOfOneFileAtOnceEachLandWhole) {
    ScratchRoot root;
    const std::string path = root.File("robot.xml");
    const std::string a(200000, 'a');
    const std::string b(200000, 'b');
    auto writer = [&](const std::string& text, int& failures) {
        for (int i = 0; i < 30; ++i) {
            const bool ok = Filesystem::WriteAtomically(path, [&](std::FILE* file) {
                                // Written in pieces, so the two writes overlap in time.
                                for (std::size_t at = 0; at < text.size(); at += 4096)
                                    if (std::fwrite(text.data() + at, 1, std::min<std::size_t>(4096, text.size() - at),
                                                    file) == 0)
                                        return false;
                                return true;
                            }).ok;
            if (!ok) ++failures;
        }
    };
    int failuresA = 0;
    int failuresB = 0;
    std::thread first(writer, std::cref(a), std::ref(failuresA));
    std::thread second(writer, std::cref(b), std::ref(failuresB));
    first.join();
    second.join();
    EXPECT_EQ(failuresA, 0);
    EXPECT_EQ(failuresB, 0);
    const std::string result = ReadFile(path);
    EXPECT_TRUE(result == a || result == b) << "a mix of " << result.size() << " bytes";
}
