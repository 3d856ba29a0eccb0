// File-system helpers.

#include <gtest/gtest.h>

#include <algorithm>
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

// Each write has a temporary of its own beside the target; what writes of
// processes that are gone left behind is removed, a live writer's is kept.
TEST(Filesystem, TemporariesAreUniqueAndStaleOnesAreCleared) {
    ScratchRoot root;
    const std::string path = root.File("project.prj");
    const std::string gone = path + "_999999999_abcdef_tmp";  // no such process
    const std::string live = path + "_1_abcdef_tmp";          // init runs as long as the machine
    const std::string other = root.File("other.prj_999999999_abcdef_tmp");
    for (const std::string& stale : {gone, live, other, path + "_tmp"}) WriteFile(stale, "<half");

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
    std::fclose(a);
    std::fclose(b);
    EXPECT_EQ(ReadFile(first), "first");
    EXPECT_EQ(ReadFile(second), "second");
    EXPECT_FALSE(std::filesystem::exists(gone));
    EXPECT_FALSE(std::filesystem::exists(path + "_tmp"));
    EXPECT_TRUE(std::filesystem::exists(live));
    EXPECT_TRUE(std::filesystem::exists(other));  // another file's

    EXPECT_TRUE(Filesystem::WriteAtomically(path, [](std::FILE* f) { return std::fputs("new", f) >= 0; }).ok);
    EXPECT_EQ(ReadFile(path), "new");
    // Temporaries of this process stay for their writers (here: the two above).
    EXPECT_TRUE(std::filesystem::exists(first));
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
