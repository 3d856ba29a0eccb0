#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "PkgProgram/IPOTestSupport.h"
#include "common/LogSingleton.h"
#include "support/LogCapture.h"

namespace {

using IPOTest::Interpreter;
using IPOTest::WriteProgram;

const char* const Cmt = "<Comment Nr=\"1\" Descr=\"c\"/>\n";

// Program directory:  beta.xml  Alpha.xml  .hidden  sub/{one.xml, two.xml, deeper/}  Zdir/  empty/
class ProgramBrowser : public ::testing::Test {
protected:
    void SetUp() override {
        WriteProgram(root, "beta.xml", Cmt);
        WriteProgram(root, "Alpha.xml", Cmt);
        WriteProgram(root, ".hidden", Cmt);
        WriteProgram(root, "sub/one.xml", Cmt);
        WriteProgram(root, "sub/two.xml", Cmt);
        std::filesystem::create_directories(root.File("Data/Programs/sub/deeper"));
        std::filesystem::create_directories(root.File("Data/Programs/Zdir"));
        std::filesystem::create_directories(root.File("Data/Programs/empty"));
        std::string drained;
        while (Log()->DisplayGetFilename(&drained)) {
        }
    }

    static LogSingleton* Log() { return LogSingleton::instance(); }

    std::vector<std::string> Listing() {
        std::vector<std::string> names;
        const int count = in.ipo.GetFilename(0, nullptr);
        for (int i = 0; i < count; ++i) {
            std::string entry;
            in.ipo.GetFilename(i, &entry);
            names.push_back(entry);
        }
        return names;
    }

    std::string Selected() { return in.ipo.GetCurrentProgShowName(); }

    void SelectEntry(const std::string& entry) {
        while (in.ipo.GetBrowserCursor() > 0) in.ipo.ProgShowCntDecrease();
        for (int i = 0; i < 20 && Selected() != entry; ++i) in.ipo.ProgShowCntIncrease();
        ASSERT_EQ(Selected(), entry);
    }

    bool WaitForLoad() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (in.ipo.IsLoading()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    TestSupport::ScratchRoot root;
    Interpreter in;
    TestSupport::LogCapture log;
};

TEST_F(ProgramBrowser, ListsDirectoriesFirstWithoutHiddenEntriesAndParentOnlyBelowTheBase) {
    EXPECT_EQ(Listing(), (std::vector<std::string>{"empty/", "sub/", "Zdir/", "Alpha.xml", "beta.xml"}));
    EXPECT_EQ(in.ipo.GetBrowserEntryCount(), 5);

    in.ipo.SetProgPath("sub/");
    EXPECT_EQ(Listing(), (std::vector<std::string>{"../", "sub/deeper/", "sub/one.xml", "sub/two.xml"}));

    in.ipo.SetProgPath("empty/");
    EXPECT_EQ(Listing(), (std::vector<std::string>{"../"}));

    std::string entry;
    for (int index : {4, 1, -1}) {
        entry = "x";
        EXPECT_EQ(in.ipo.GetFilename(index, &entry), 1);
        EXPECT_EQ(entry, "n/a") << index;
    }
    EXPECT_EQ(in.ipo.GetFilename(0, &entry), 1);
    EXPECT_EQ(entry, "../");
}

TEST_F(ProgramBrowser, CursorStopsAtBothEndsOfTheListing) {
    in.ipo.GetFilename(0, nullptr);
    in.ipo.ProgShowCntDecrease();
    EXPECT_EQ(in.ipo.GetBrowserCursor(), 0);
    for (int i = 0; i < 10; ++i) in.ipo.ProgShowCntIncrease();
    EXPECT_EQ(in.ipo.GetBrowserCursor(), 4);
    EXPECT_EQ(Selected(), "beta.xml");
    EXPECT_TRUE(in.ipo.IsSelectedEntryAFile());
    in.ipo.ProgShowCntDecrease();
    EXPECT_EQ(Selected(), "Alpha.xml");
}

TEST_F(ProgramBrowser, EnteringKeepsTheCursorAndLeavingRestoresIt) {
    SelectEntry("Zdir/");
    EXPECT_FALSE(in.ipo.IsSelectedEntryAFile());
    // Zdir is empty: cursor 2 lies past its only entry "../".
    EXPECT_EQ(in.ipo.LoadCurrentDirectoryOrProgram(), -1);
    EXPECT_EQ(in.ipo.GetBrowserDirectory(), "Zdir/");
    EXPECT_EQ(in.ipo.GetBrowserCursor(), 2);
    EXPECT_EQ(Selected(), "n/a");
    EXPECT_TRUE(log.Has("IPO: Changing program directory Zdir/"));
    std::string shown;
    ASSERT_TRUE(Log()->DisplayGetFilename(&shown));
    EXPECT_EQ(shown, "n/a");

    in.ipo.SetProgPath("../");
    EXPECT_EQ(in.ipo.GetBrowserDirectory(), "");
    EXPECT_EQ(Selected(), "Zdir/");

    // Two levels down and back up again.
    SelectEntry("sub/");
    EXPECT_EQ(in.ipo.LoadCurrentDirectoryOrProgram(), -1);
    SelectEntry("sub/deeper/");
    EXPECT_EQ(in.ipo.LoadCurrentDirectoryOrProgram(), -1);
    ASSERT_TRUE(Log()->DisplayGetFilename(&shown));
    EXPECT_EQ(in.ipo.GetBrowserDirectory(), "sub/deeper/");
    EXPECT_EQ(Listing(), (std::vector<std::string>{"../"}));
    in.ipo.GotoBasedir();
    EXPECT_EQ(in.ipo.GetBrowserDirectory(), "");
    EXPECT_EQ(in.ipo.GetBrowserCursor(), 0);
    // The stack went with the base directory: ".." at the base changes nothing.
    in.ipo.SetProgPath("..");
    EXPECT_EQ(in.ipo.GetBrowserDirectory(), "");
    EXPECT_EQ(in.ipo.GetBrowserCursor(), 0);
}

TEST_F(ProgramBrowser, SendsTheLastNameComponentToTheDisplay) {
    const struct {
        const char* select;
        const char* shown;
    } cases[] = {{"sub/deeper/", "deeper/"}, {"sub/two.xml", "two.xml"}, {"../", "../"}};
    in.ipo.SetProgPath("sub/");
    for (const auto& c : cases) {
        SelectEntry(c.select);
        log.Clear();
        in.ipo.SendCurrentProgShowName();
        std::string shown;
        ASSERT_TRUE(Log()->DisplayGetFilename(&shown)) << c.select;
        EXPECT_EQ(shown, c.shown);
        EXPECT_TRUE(log.Has("IPO:     Sending selected filename " + std::to_string(in.ipo.GetBrowserCursor()) +
                            ": " + c.shown))
            << c.select;
    }
}

TEST_F(ProgramBrowser, UnreadableDirectoryKeepsTheNameAndCountsNothing) {
    std::filesystem::remove_all(root.File("Data/Programs"));
    std::string entry = "kept";
    EXPECT_EQ(in.ipo.GetFilename(0, &entry), 0);
    EXPECT_EQ(entry, "kept");
    EXPECT_EQ(in.ipo.GetBrowserEntryCount(), 0);
    EXPECT_EQ(Selected(), "storage01.xml");
}

TEST_F(ProgramBrowser, LoadsTheSelectedProgramAndKeepsTheLoadedOneWhenRefused) {
    ASSERT_TRUE(in.Load("beta.xml"));
    const float offsets[15] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    in.ipo.OffsetSet(offsets);
    in.ipo.SetProgPath("sub/");
    SelectEntry("sub/one.xml");
    EXPECT_EQ(in.ipo.LoadCurrentDirectoryOrProgram(), 0);
    ASSERT_TRUE(WaitForLoad());
    EXPECT_TRUE(log.Has("IPO: Loading program sub/one.xml"));
    EXPECT_EQ(in.ipo.GetProgramFile(), "sub/one.xml");
    EXPECT_EQ(in.ipo.jointOffsets[0], 0.0f);

    // A program that fails to load keeps the one loaded before, with its offsets.
    in.ipo.OffsetSet(offsets);
    WriteProgram(root, "sub/two.xml", "<NoSuchCommand/>\n");
    SelectEntry("sub/two.xml");
    EXPECT_EQ(in.ipo.LoadCurrentDirectoryOrProgram(), 0);
    ASSERT_TRUE(WaitForLoad());
    EXPECT_EQ(in.ipo.GetProgramFile(), "sub/one.xml");
    EXPECT_EQ(in.ipo.jointOffsets[0], 1.0f);
}

TEST_F(ProgramBrowser, RefusesNamesOutsideTheProgramDirectory) {
    TestSupport::WriteFile(root.File("Data/victim.xml"), "keep");
    std::filesystem::create_directories(root.File("Data/outside"));
    TestSupport::WriteFile(root.File("Data/outside/x.xml"), "keep");
    ASSERT_TRUE(in.Load("beta.xml"));

    for (const std::string& name : std::vector<std::string>{"../victim.xml", "sub/../../victim.xml", root.File("Data/victim.xml")}) {
        log.Clear();
        EXPECT_FALSE(in.ipo.DeleteProgramFile(name.c_str())) << name;
        EXPECT_TRUE(log.HasError("Error: Could not delete file " + name)) << name;
        EXPECT_EQ(in.ipo.LoadDirectoryOrProgram(name), 2) << name;
        EXPECT_FALSE(log.HasStartingWith("IPO: Loading program")) << name;
    }
    EXPECT_EQ(TestSupport::ReadFile(root.File("Data/victim.xml")), "keep");
    // The refused loads did not stop or clear the loaded program.
    EXPECT_EQ(in.ipo.GetProgramFile(), "beta.xml");

    for (const std::string& dir : std::vector<std::string>{"../outside/", "sub/../../outside/", "/tmp/", root.File("Data/outside/")}) {
        in.ipo.SetProgPath(dir);
        EXPECT_EQ(in.ipo.GetBrowserDirectory(), "") << dir;
        EXPECT_EQ(in.ipo.LoadDirectoryOrProgram(dir), 2) << dir;
        EXPECT_EQ(in.ipo.GetBrowserDirectory(), "") << dir;
        EXPECT_TRUE(log.HasError("IPO - Program not found: " + dir)) << dir;
    }
    EXPECT_FALSE(in.ipo.DeleteProgramFile(nullptr));
    EXPECT_FALSE(in.ipo.DeleteProgramFile("sub"));
    EXPECT_TRUE(std::filesystem::is_directory(root.File("Data/Programs/sub")));
}

TEST_F(ProgramBrowser, DeletesByNameRelativeToTheProgramDirectory) {
    in.ipo.SetProgPath("sub/");
    EXPECT_TRUE(in.ipo.DeleteProgramFile("beta.xml"));
    EXPECT_TRUE(log.HasNote("Deleted file beta.xml"));
    EXPECT_FALSE(std::filesystem::exists(root.File("Data/Programs/beta.xml")));
    EXPECT_TRUE(in.ipo.DeleteProgramFile("sub/one.xml"));
    EXPECT_EQ(Listing(), (std::vector<std::string>{"../", "sub/deeper/", "sub/two.xml"}));
    EXPECT_FALSE(in.ipo.DeleteProgramFile("sub/one.xml"));
    EXPECT_TRUE(log.HasError("Error: Could not delete file sub/one.xml"));
}

// The display's main loop, remote clients and the Modbus server walk the browser at once.
TEST_F(ProgramBrowser, ConcurrentUseKeepsTheStateConsistent) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t]() {
            for (int i = 0; i < 150; ++i) {
                std::string entry;
                switch ((i + t) % 7) {
                    case 0: in.ipo.ProgShowCntIncrease(); break;
                    case 1: in.ipo.ProgShowCntDecrease(); break;
                    case 2: in.ipo.GetFilename(i % 6, &entry); break;
                    case 3: in.ipo.LoadDirectoryOrProgram(t % 2 == 0 ? "sub/" : "../"); break;
                    case 4: in.ipo.IsSelectedEntryAFile(); break;
                    case 5: in.ipo.SendCurrentProgShowName(); break;
                    default:
                        if (i % 35 == 6) in.ipo.GotoBasedir();
                        entry = in.ipo.GetCurrentProgShowName();
                        break;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    const int count = in.ipo.GetFilename(0, nullptr);
    EXPECT_GE(in.ipo.GetBrowserCursor(), 0);
    EXPECT_TRUE(in.ipo.GetBrowserDirectory() == "" || in.ipo.GetBrowserDirectory() == "sub/");
    EXPECT_GT(count, 0);
}

}  // namespace
