// File-system helpers.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

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
