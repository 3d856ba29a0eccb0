// Persistent counters and their file "variableStorage.xml".

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "CommonTestHelpers.h"
#include "common/LogSingleton.h"
#include "support/TestSupport.h"

using CommonTest::FakeClock;
using CommonTest::LogCapture;
using TestSupport::ReadFile;
using TestSupport::ScratchRoot;
using TestSupport::WriteFile;

namespace {

LogSingleton* Log() { return LogSingleton::instance(); }

std::string StorageFile(int complete, int last, int enabled, int motion, int starts, int good, int bad,
                        const std::vector<int>& joints) {
    std::ostringstream s;
    s << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
      << "<!-- Storage for Korvella persistent system and user variable -->\n"
      << "<Data>\n"
      << "<SystemVariables UpTimeComplete=\"" << complete << "\" UpTimeLast=\"" << last << "\" UpTimeEnabled=\""
      << enabled << "\" UpTimeMotion=\"" << motion << "\" ProgramStarts=\"" << starts << "\"/>\n"
      << "<JointDirChanges";
    for (std::size_t j = 0; j < joints.size(); ++j) s << " J" << j + 1 << "=\"" << joints[j] << "\"";
    s << "/>\n<UserVariables   ";
    for (int i = 1; i <= 10; ++i) s << "User" << i << "=\"1.0\" ";
    s << "PartsGood=\"" << good << "\" PartsBad=\"" << bad << "\"/>\n</Data>\n";
    return s.str();
}

// A scratch root whose path the log knows (through a new log file) and a
// fake clock for the 300 s rule.
class PersistentTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_Root = std::make_unique<ScratchRoot>();
        Log()->changeFile();
        m_Clock = std::make_unique<FakeClock>();
    }
    void TearDown() override {
        m_Clock.reset();
        m_Root.reset();
    }
    std::string StoragePath() const { return m_Root->File("variableStorage.xml"); }
    void Store(const std::string& content) { WriteFile(StoragePath(), content); }
    void ReadAll(int complete, int last, int enabled, int motion, int starts, int good, int bad,
                 const std::vector<int>& joints) {
        Store(StorageFile(complete, last, enabled, motion, starts, good, bad, joints));
        Log()->ReadVariablesFromStorage();
    }

    std::unique_ptr<ScratchRoot> m_Root;
    std::unique_ptr<FakeClock> m_Clock;
};

const std::vector<int> kZeroJoints(9, 0);

}  // namespace

TEST_F(PersistentTest, MissingFileIsReportedAndFirstWriteCreatesIt) {
    ReadAll(0, 0, 0, 0, 0, 0, 0, kZeroJoints);  // known counters
    std::filesystem::remove(StoragePath());
    LogCapture capture;
    Log()->ReadVariablesFromStorage();
    EXPECT_TRUE(capture.Has("Reading persistent variables from " + StoragePath(), false));
    EXPECT_TRUE(capture.Has("ERROR - variable Storage file not found - reseting persistent variables!", true));
    EXPECT_EQ(capture.Entries().size(), 2u);

    Log()->ForceWriteVariablesToStorage();
    EXPECT_EQ(ReadFile(StoragePath()),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
              "<!-- Storage for Korvella persistent system and user variable -->\n"
              "<Data>\n"
              "<SystemVariables UpTimeComplete=\"0\" UpTimeLast=\"0\" UpTimeEnabled=\"0\" UpTimeMotion=\"0\" "
              "ProgramStarts=\"0\"/>\n"
              "<JointDirChanges J1=\"0\" J2=\"0\" J3=\"0\" J4=\"0\" J5=\"0\" J6=\"0\" J7=\"0\" J8=\"0\" J9=\"0\"/>\n"
              "<UserVariables   User1=\"1.0\" User2=\"1.0\" User3=\"1.0\" User4=\"1.0\" User5=\"1.0\" "
              "User6=\"1.0\" User7=\"1.0\" User8=\"1.0\" User9=\"1.0\" User10=\"1.0\" PartsGood=\"0\" "
              "PartsBad=\"0\"/>\n"
              "</Data>\n");
}

TEST_F(PersistentTest, ReadsEveryCounterWithItsLogLines) {
    LogCapture capture;
    ReadAll(3000, 95, 61, 0, 42, 7, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9});

    EXPECT_EQ(capture.Lines(), (std::vector<std::string>{
                                      "Reading persistent variables from " + StoragePath(),
                                      "System Variable: UpTimeComplete =   2 days   02 h   00 min",
                                      "System Variable: UpTimeLast =       0 days   01 h   35 min",
                                      "System Variable: UpTimeEnabled =    0 days   01 h   01 min",
                                      "System Variable: UpTimeMotion =     0 days   00 h   00 min",
                                      "System Variable: ProgramStarts =    42",
                                      "System Variable: DirectionChanges = 1 2 3 4 5 6 7 8 9",
                                  }));
    for (const CommonTest::CapturedLine& line : capture.Entries()) EXPECT_FALSE(line.isError) << line.message;

    EXPECT_EQ(Log()->GetSystemVar(sysVarUpTimeComplete), 3000);
    EXPECT_EQ(Log()->GetSystemVar(sysVarUpTimeLast), 0);  // this run counts from 0
    EXPECT_EQ(Log()->GetSystemVar(sysVarUpTimeEnabled), 61);
    EXPECT_EQ(Log()->GetSystemVar(sysVarUpTimeMotion), 0);
    EXPECT_EQ(Log()->GetSystemVar(sysVarProgramStarts), 42);
    for (int j = 0; j < 9; ++j) EXPECT_EQ(Log()->GetSystemVar(static_cast<SystemVar>(sysVarJ1 + j)), j + 1);
    EXPECT_EQ(Log()->PartsGood, 7);
    EXPECT_EQ(Log()->PartsBad, 3);
}

TEST_F(PersistentTest, MissingOrMalformedCountersResetToZero) {
    ReadAll(10, 10, 10, 10, 10, 5, 6, std::vector<int>(9, 4));
    Store("<?xml version=\"1.0\"?>\n<Data>\n"
          "<SystemVariables UpTimeComplete=\"abc\" UpTimeEnabled=\"12abc\" UpTimeMotion=\"99999999999\" "
          "ProgramStarts=\"\"/>\n"
          "<JointDirChanges J2=\"8\" J3=\"x\"/>\n"
          "<UserVariables PartsBad=\"9\"/>\n"
          "</Data>\n");
    LogCapture capture;
    Log()->ReadVariablesFromStorage();

    for (const char* name : {"UpTimeComplete", "UpTimeLast", "UpTimeEnabled", "UpTimeMotion", "ProgramStarts"}) {
        EXPECT_TRUE(capture.Has(std::string("SystemVariable ") + name + " not found: reset to 0!", true)) << name;
    }
    for (SystemVar id : {sysVarUpTimeComplete, sysVarUpTimeLast, sysVarUpTimeEnabled, sysVarUpTimeMotion,
                         sysVarProgramStarts}) {
        EXPECT_EQ(Log()->GetSystemVar(id), 0) << id;
    }
    // Absent or unreadable part and joint counters keep their values.
    EXPECT_EQ(Log()->PartsGood, 5);
    EXPECT_EQ(Log()->PartsBad, 9);
    EXPECT_EQ(Log()->GetSystemVar(sysVarJ1), 4);
    EXPECT_EQ(Log()->GetSystemVar(sysVarJ2), 8);
    EXPECT_EQ(Log()->GetSystemVar(sysVarJ3), 4);
    EXPECT_TRUE(capture.Has("System Variable: DirectionChanges = 4 8 4 4 4 4 4 4 4", false));
}

TEST_F(PersistentTest, BrokenStructureIsReportedAndKeepsCounters) {
    struct Case {
        std::string content;
        std::vector<std::string> errors;
    };
    const std::string system = "<SystemVariables UpTimeComplete=\"1\" UpTimeLast=\"1\" UpTimeEnabled=\"1\" "
                               "UpTimeMotion=\"1\" ProgramStarts=\"1\"/>";
    const Case cases[] = {
        {"<Data><SystemVariables", {"Could not read file storage file correctly! Reseting persistent variables!"}},
        {"", {"Could not read file storage file correctly! Reseting persistent variables!"}},
        {"<Other/>", {"LogSingleton: line Data not found in variableStorage file!"}},
        {"<Data><UserVariables PartsGood=\"99\"/></Data>",
         {"LogSingleton: line SystemVariables not found in variableStorage file!"}},
        {"<Data>" + system + "</Data>",
         {"LogSingleton: line UserVariables not found in variableStorage file!",
          "LogSingleton: line JointDirChanges not found in variableStorage file!"}},
    };
    for (const Case& c : cases) {
        ReadAll(20, 20, 20, 20, 20, 21, 22, std::vector<int>(9, 23));
        Store(c.content);
        LogCapture capture;
        Log()->ReadVariablesFromStorage();
        std::vector<std::string> errors;
        for (const CommonTest::CapturedLine& line : capture.Entries()) {
            if (line.isError) errors.push_back(line.message);
        }
        EXPECT_EQ(errors, c.errors) << c.content;
        EXPECT_EQ(Log()->PartsGood, 21) << c.content;
        EXPECT_EQ(Log()->GetSystemVar(sysVarJ5), 23) << c.content;
        if (c.content.find("SystemVariables ") == std::string::npos) {
            EXPECT_EQ(Log()->GetSystemVar(sysVarUpTimeComplete), 20) << c.content;
        }
    }
}

TEST_F(PersistentTest, WrittenCountersReadBackEqual) {
    ReadAll(100, 0, 50, 25, 3, 0, 0, kZeroJoints);
    for (int i = 0; i < 2400; ++i) Log()->IncreaseSystemVariables(sysVarUpTimeComplete, 25);
    Log()->IncreaseSystemVariables(sysVarProgramStarts, 1);
    Log()->IncreaseSystemVariables(sysVarJ9, 1);
    Log()->PartsGood = 12;
    Log()->PartsBad = 2;
    Log()->ForceWriteVariablesToStorage();

    const std::string written = ReadFile(StoragePath());
    EXPECT_NE(written.find("<SystemVariables UpTimeComplete=\"101\" UpTimeLast=\"1\" UpTimeEnabled=\"50\" "
                           "UpTimeMotion=\"25\" ProgramStarts=\"4\"/>\n"),
              std::string::npos)
        << written;
    EXPECT_NE(written.find("J9=\"1\"/>\n"), std::string::npos);
    EXPECT_NE(written.find("PartsGood=\"12\" PartsBad=\"2\"/>\n"), std::string::npos);

    Log()->PartsGood = 0;
    Log()->ReadVariablesFromStorage();
    EXPECT_EQ(Log()->GetSystemVar(sysVarUpTimeComplete), 101);
    EXPECT_EQ(Log()->GetSystemVar(sysVarProgramStarts), 4);
    EXPECT_EQ(Log()->GetSystemVar(sysVarJ9), 1);
    EXPECT_EQ(Log()->PartsGood, 12);
}

TEST_F(PersistentTest, WritesAtMostEvery300Seconds) {
    ReadAll(0, 0, 0, 0, 0, 0, 0, kZeroJoints);
    Log()->ForceWriteVariablesToStorage();  // last write: now
    const std::string first = ReadFile(StoragePath());

    Log()->PartsGood = 1;
    m_Clock->AdvanceMS(299 * 1000);
    Log()->WriteVariablesToStorage();
    EXPECT_EQ(ReadFile(StoragePath()), first);

    m_Clock->AdvanceMS(1000);  // 300 s since the last write
    Log()->WriteVariablesToStorage();
    EXPECT_NE(ReadFile(StoragePath()).find("PartsGood=\"1\""), std::string::npos);

    Log()->PartsGood = 2;
    m_Clock->AdvanceMS(10 * 1000);
    Log()->WriteVariablesToStorage();
    EXPECT_NE(ReadFile(StoragePath()).find("PartsGood=\"1\""), std::string::npos);
    Log()->ForceWriteVariablesToStorage();  // shutdown path: at once
    EXPECT_NE(ReadFile(StoragePath()).find("PartsGood=\"2\""), std::string::npos);
}

TEST_F(PersistentTest, RewriteReplacesTheFileWholeAndNeverInPlace) {
    ReadAll(7, 0, 0, 0, 0, 0, 0, kZeroJoints);
    Log()->ForceWriteVariablesToStorage();
    const std::string before = ReadFile(StoragePath());

    // A reader that opened the old file still sees it whole after the rewrite:
    // the new content went to another file that was renamed into place.
    std::ifstream oldFile(StoragePath());
    Log()->PartsGood = 55;
    Log()->ForceWriteVariablesToStorage();
    std::stringstream oldContent;
    oldContent << oldFile.rdbuf();
    EXPECT_EQ(oldContent.str(), before);
    EXPECT_NE(ReadFile(StoragePath()).find("PartsGood=\"55\""), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(StoragePath() + "_tmp"));
}

TEST_F(PersistentTest, FailedRewriteKeepsTheOldFileAndSaysSo) {
    ReadAll(7, 0, 0, 0, 0, 0, 0, kZeroJoints);
    Log()->ForceWriteVariablesToStorage();
    const std::string before = ReadFile(StoragePath());

    Log()->PartsGood = 66;
    LogCapture capture;
    {
        TestSupport::FileSizeLimit limit;
        Log()->ForceWriteVariablesToStorage();
    }
    EXPECT_EQ(ReadFile(StoragePath()), before);
    EXPECT_TRUE(capture.Has("LogSingleton: Could not write persistent variables to " + StoragePath() +
                                ": File too large",
                            true));
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(StoragePath()).parent_path()))
        EXPECT_EQ(entry.path().string().find("_tmp"), std::string::npos) << entry.path();

    Log()->ReadVariablesFromStorage();
    EXPECT_EQ(Log()->GetSystemVar(sysVarUpTimeComplete), 7);
}

TEST_F(PersistentTest, IncreaseSystemVariablesCountsMinutesAndEvents) {
    ReadAll(0, 0, 0, 0, 0, 0, 0, kZeroJoints);

    // 2400 x 25 ms is one minute, carried once, with nothing left over.
    for (SystemVar id : {sysVarUpTimeComplete, sysVarUpTimeEnabled, sysVarUpTimeMotion}) {
        for (int i = 0; i < 2400; ++i) Log()->IncreaseSystemVariables(id, 25);
    }
    EXPECT_EQ(Log()->GetSystemVar(sysVarUpTimeComplete), 1);
    EXPECT_EQ(Log()->GetSystemVar(sysVarUpTimeLast), 1);
    EXPECT_EQ(Log()->GetSystemVar(sysVarUpTimeEnabled), 1);
    EXPECT_EQ(Log()->GetSystemVar(sysVarUpTimeMotion), 1);
    Log()->IncreaseSystemVariables(sysVarUpTimeComplete, 59999);
    EXPECT_EQ(Log()->GetSystemVar(sysVarUpTimeComplete), 1);  // accumulators were empty
    Log()->IncreaseSystemVariables(sysVarUpTimeComplete, 1);
    EXPECT_EQ(Log()->GetSystemVar(sysVarUpTimeComplete), 2);

    Log()->IncreaseSystemVariables(12, 7);  // joint 3: one change, the amount is ignored
    EXPECT_EQ(Log()->GetSystemVar(sysVarJ3), 1);
    Log()->IncreaseSystemVariables(sysVarProgramStarts, 1);
    Log()->IncreaseSystemVariables(sysVarProgramStarts, 2);
    EXPECT_EQ(Log()->GetSystemVar(sysVarProgramStarts), 3);

    for (int id : {1, 5, 9, 19, -1}) Log()->IncreaseSystemVariables(id, 60000);
    EXPECT_EQ(Log()->GetSystemVar(sysVarUpTimeLast), 2);
    for (int j = 0; j < 9; ++j) {
        EXPECT_EQ(Log()->GetSystemVar(static_cast<SystemVar>(sysVarJ1 + j)), j == 2 ? 1 : 0);
    }
    for (int id : {5, 9, 19, -1, 100}) EXPECT_EQ(Log()->GetSystemVar(static_cast<SystemVar>(id)), -1) << id;
}

TEST(PersistentFormat, HourString) {
    struct Case {
        int minutes;
        const char* expected;
    };
    const Case cases[] = {
        {0, "  0 days   00 h   00 min"},
        {95, "  0 days   01 h   35 min"},
        {1439, "  0 days   23 h   59 min"},
        {1440, "  1 days   00 h   00 min"},
        {1440 * 1000 + 61, "1000 days   01 h   01 min"},
    };
    for (const Case& c : cases) EXPECT_EQ(GetHourString(c.minutes), c.expected) << c.minutes;
}
