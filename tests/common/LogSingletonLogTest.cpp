// Log lines, the log ring, log file rotation and the root-directory search.

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "CommonTestHelpers.h"
#include "common/LogSingleton.h"
#include "support/TestSupport.h"

using CommonTest::DrainLogRing;
using CommonTest::LogCapture;
using TestSupport::ReadFile;
using TestSupport::ScratchRoot;
using TestSupport::WriteFile;

namespace {

LogSingleton* Log() { return LogSingleton::instance(); }

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string::size_type begin = 0;
    while (begin < text.size()) {
        std::string::size_type end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return lines;
}

const std::regex kStampedLine(R"(^\d{2,}:\d{2}:\d{2}:\d{3}     (.*)$)");
const std::regex kAsctimeLine(R"(^(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 1-3]\d \d\d:\d\d:\d\d \d{4}$)");

// The three header lines of a fresh log file.
void ExpectHeader(const std::vector<std::string>& lines, std::size_t at = 0) {
    ASSERT_GE(lines.size(), at + 3);
    EXPECT_EQ(lines[at], "VQT Korvella LogFile.");
    EXPECT_TRUE(std::regex_match(lines[at + 1], kAsctimeLine)) << lines[at + 1];
    EXPECT_EQ(lines[at + 2], "");
}

// Works in a scratch root with a freshly opened first log file, and puts the
// rotation limits back afterwards.
class LogFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_Root = std::make_unique<ScratchRoot>();
        Log()->SetLogFileCount(5);
        Log()->SetMaxEntries(5000);
        Log()->changeFile();
    }
    void TearDown() override {
        Log()->SetRenameFunction(nullptr);
        Log()->SetLogFileCount(5);
        Log()->SetMaxEntries(5000);
        m_Root.reset();
    }
    std::string File(const std::string& name) const { return m_Root->File(name); }

    // A new first log file and no older ones, after the limits are set.
    void Fresh() {
        Log()->changeFile();
        for (const auto& entry : std::filesystem::directory_iterator(m_Root->Path())) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("logMessages", 0) == 0 && name != "logMessages01.txt") std::filesystem::remove(entry.path());
        }
    }

    std::unique_ptr<ScratchRoot> m_Root;
};

// A global of another unit logs from its constructor: the singleton must be
// built by then.
const int kLogFileCountAtStaticInit = [] {
    LogSingleton::instance()->add("Test: logging during static initialisation");
    return LogSingleton::instance()->GetLogFileCount();
}();

}  // namespace

TEST(LogStartup, SingletonIsBuiltBeforeOtherGlobals) {
    EXPECT_EQ(kLogFileCountAtStaticInit, 5);
    // The line logged during static initialisation is the ring's first: the
    // ring was set up before it and not cleared after. (The working directory
    // is shared with parallel test processes, so its files prove nothing.)
    std::string first;
    ASSERT_GT(LogSingleton::instance()->GetLogMessage(&first), 0);
    EXPECT_NE(first.find("Test: logging during static initialisation"), std::string::npos) << first;
}

// ------------------------------------------------------------------ lines

TEST(LogLines, ReachObserverRingAndFileWithStamp) {
    ScratchRoot root;
    Log()->changeFile();
    DrainLogRing();
    LogCapture capture;

    Log()->add("Plain: hello");
    Log()->addError("Error: broken");

    EXPECT_TRUE(capture.Has("Plain: hello", false));
    EXPECT_TRUE(capture.Has("Error: broken", true));

    std::string ring;
    ASSERT_EQ(Log()->GetLogMessage(&ring), 2);
    EXPECT_TRUE(std::regex_match(ring, std::regex(R"(^\d{2,}:\d{2}:\d{2}:\d{3} Plain: hello$)"))) << ring;
    ASSERT_EQ(Log()->GetLogMessage(&ring), 1);
    EXPECT_TRUE(std::regex_match(ring, std::regex(R"(^\d{2,}:\d{2}:\d{2}:\d{3} Error: broken$)"))) << ring;

    Log()->Flush();
    const std::vector<std::string> lines = Lines(ReadFile(root.File("logMessages01.txt")));
    ASSERT_EQ(lines.size(), 5u);
    ExpectHeader(lines);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[3], match, kStampedLine)) << lines[3];
    EXPECT_EQ(match[1], "Plain: hello");
    ASSERT_TRUE(std::regex_match(lines[4], match, kStampedLine)) << lines[4];
    EXPECT_EQ(match[1], "Error: broken");
}

TEST(LogLines, ValueOverloadsAndTheirCut) {
    LogCapture capture;
    Log()->add("Count", 42);
    Log()->add("Speed", 1.25f);
    Log()->add("Negative", -3.05f);
    const std::string longText(600, 'a');
    Log()->add(longText, 7);
    Log()->add(longText, 7.0f);

    const std::vector<std::string> messages = capture.Lines();
    ASSERT_EQ(messages.size(), 5u);
    EXPECT_EQ(messages[0], "Count 42");
    EXPECT_EQ(messages[1], "Speed 1.2");
    EXPECT_EQ(messages[2], "Negative -3.0");
    EXPECT_EQ(messages[3], std::string(511, 'a'));
    EXPECT_EQ(messages[4], std::string(511, 'a'));
}

namespace {
enum class TestMode { Zero, One, Two };
enum PlainMode { PlainA = 4, PlainB = 10 };
struct FakeVector {
    float x, y, z;
    float Magnitude() const { return 5.0f; }
};
}  // namespace

TEST(LogLines, FormatArgumentsFollowPrintfRules) {
    LogCapture capture;
    const char name7[7] = "abcdef";
    char buffer33[33] = "buffer";
    const std::string text = "text";
    const char* pointer = "ptr";
    std::atomic<int32_t> atomicNumber{17};
    std::atomic<float> atomicFloat{2.5f};

    Log()->addFormat("%s|%d|%u|%ld|%llu|%hd|%hu|%d|%d|%d", text, -3, 4u, 5L, 6ULL, static_cast<short>(-7),
                     static_cast<unsigned short>(8), static_cast<signed char>(-9), static_cast<unsigned char>(200), true);
    Log()->addFormat("%.2f|%.1f|%s|%s|%s|%d|%d|%d|%.1f", 1.25f, 2.5, pointer, name7, buffer33, TestMode::Two, PlainB,
                     atomicNumber, atomicFloat);
    Log()->addFormat("%.2f %.2f %.2f", FakeVector{3, 4, 0}, FakeVector{0, 0, 5}, FakeVector{5, 0, 0});
    Log()->addFormat("100%% done");
    Log()->addErrorFormat("Error %d of %s", 2, std::string("three"));

    const std::vector<CommonTest::CapturedLine> lines = capture.Entries();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].message, "text|-3|4|5|6|-7|8|-9|200|1");
    EXPECT_EQ(lines[1].message, "1.25|2.5|ptr|abcdef|buffer|2|10|17|2.5");
    EXPECT_EQ(lines[2].message, "5.00 5.00 5.00");
    EXPECT_EQ(lines[3].message, "100% done");
    EXPECT_FALSE(lines[3].isError);
    EXPECT_EQ(lines[4].message, "Error 2 of three");
    EXPECT_TRUE(lines[4].isError);
}

TEST(LogLines, FormattedTextIsCutAt1023Characters) {
    LogCapture capture;
    const std::string longText(5000, 'x');
    Log()->addFormat("%s", longText);
    Log()->addErrorFormat("E%s", longText);
    Log()->addFormat("%s", std::string(1023, 'y'));

    const std::vector<std::string> messages = capture.Lines();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0], std::string(1023, 'x'));
    EXPECT_EQ(messages[1], "E" + std::string(1022, 'x'));
    EXPECT_EQ(messages[2], std::string(1023, 'y'));
}

TEST(LogLines, TimeStampCountsFromStart) {
    struct Case {
        timespec start;
        timespec now;
        const char* expected;
    };
    const Case cases[] = {
        {{100, 0}, {100, 0}, "00:00:00:000"},
        {{100, 500000000}, {100 + 3723, 504000000}, "01:02:03:004"},
        {{100, 900000000}, {101, 100000000}, "00:00:00:200"},  // nanosecond borrow
        {{0, 0}, {100 * 3600, 0}, "100:00:00:000"},           // hours are not wrapped
        {{0, 0}, {30L * 24 * 3600 + 59, 999999999}, "720:00:59:999"},  // past 2^31 milliseconds
        {{500, 0}, {400, 0}, "00:00:00:000"},                  // clock set back
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LogSingleton::FormatTimeStamp(c.start, c.now), c.expected) << c.expected;
    }
    EXPECT_TRUE(std::regex_match(Log()->GetTimeString(), std::regex(R"(^\d{2,}:\d{2}:\d{2}:\d{3}$)")));
}

// ------------------------------------------------------------------ ring

TEST(LogRing, HoldsTheLast499LinesOldestFirst) {
    DrainLogRing();
    for (int i = 0; i < 600; ++i) Log()->add("ring " + std::to_string(i));

    std::string line;
    ASSERT_EQ(Log()->GetLogMessage(&line), 499);
    EXPECT_TRUE(std::regex_match(line, std::regex(R"(^\d{2,}:\d{2}:\d{2}:\d{3} ring 101$)"))) << line;
    for (int i = 102; i < 600; ++i) {
        ASSERT_EQ(Log()->GetLogMessage(&line), 600 - i);
        EXPECT_EQ(line.substr(line.find(' ') + 1), "ring " + std::to_string(i));
    }
    line = "unchanged";
    EXPECT_EQ(Log()->GetLogMessage(&line), 0);
    EXPECT_EQ(line, "unchanged");

    // One read position for every caller: a line is handed out once.
    Log()->add("once");
    EXPECT_EQ(Log()->GetLogMessage(&line), 1);
    EXPECT_EQ(Log()->GetLogMessage(&line), 0);
}

// ------------------------------------------------------------------ files

TEST_F(LogFilesTest, RotationMovesEveryFileUpOneNumber) {
    Log()->Flush();  // the header of the current file is still buffered
    for (int i = 1; i <= 5; ++i) {
        char name[32];
        std::snprintf(name, sizeof(name), "logMessages%02d.txt", i);
        WriteFile(File(name), "old" + std::to_string(i) + "\n");
    }
    Log()->changeFile();
    Log()->add("after rotation");

    EXPECT_EQ(ReadFile(File("logMessages02.txt")), "old1\n");
    EXPECT_EQ(ReadFile(File("logMessages03.txt")), "old2\n");
    EXPECT_EQ(ReadFile(File("logMessages04.txt")), "old3\n");
    EXPECT_EQ(ReadFile(File("logMessages05.txt")), "old4\n");
    EXPECT_FALSE(std::filesystem::exists(File("logMessages06.txt")));

    const std::vector<std::string> lines = Lines(ReadFile(File("logMessages01.txt")));
    ASSERT_EQ(lines.size(), 4u);
    ExpectHeader(lines);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[3], match, kStampedLine));
    EXPECT_EQ(match[1], "after rotation");
}

TEST_F(LogFilesTest, RotatesWhenLineCountExceedsMaximumEntries) {
    Log()->SetMaxEntries(250);
    Fresh();  // header counts 3
    for (int i = 0; i < 247; ++i) Log()->add("line " + std::to_string(i));
    EXPECT_FALSE(std::filesystem::exists(File("logMessages02.txt")));

    Log()->add("line 247");  // count 251 > 250: rotation after this line
    Log()->Flush();
    ASSERT_TRUE(std::filesystem::exists(File("logMessages02.txt")));
    const std::vector<std::string> full = Lines(ReadFile(File("logMessages02.txt")));
    ASSERT_EQ(full.size(), 251u);  // 3 header lines + 248 lines
    ExpectHeader(full);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(full.back(), match, kStampedLine));
    EXPECT_EQ(match[1], "line 247");

    const std::vector<std::string> fresh = Lines(ReadFile(File("logMessages01.txt")));
    ASSERT_EQ(fresh.size(), 3u);
    ExpectHeader(fresh);

    // The next file rotates the same way.
    for (int i = 0; i < 248; ++i) Log()->add("second " + std::to_string(i));
    Log()->Flush();
    EXPECT_EQ(Lines(ReadFile(File("logMessages02.txt"))).size(), 251u);
    EXPECT_EQ(Lines(ReadFile(File("logMessages03.txt"))).size(), 251u);
    EXPECT_EQ(Lines(ReadFile(File("logMessages01.txt"))).size(), 3u);
}

TEST_F(LogFilesTest, FileCountHasAMinimumOfTwoAndLogsChanges) {
    struct Case {
        unsigned int requested;
        int expected;
        bool logged;
    };
    const Case cases[] = {{0, 2, true},      {1, 2, false},      {2, 2, false},      {3, 3, true},
                          {7, 7, true},      {7, 7, false},      {4294967295u, 999, true}, {1000, 999, false},
                          {5, 5, true}};
    for (const Case& c : cases) {
        LogCapture capture;
        Log()->SetLogFileCount(c.requested);
        EXPECT_EQ(Log()->GetLogFileCount(), c.expected) << c.requested;
        EXPECT_EQ(capture.Has("Log file count set to " + std::to_string(c.expected), false), c.logged) << c.requested;
    }
}

TEST_F(LogFilesTest, LoweringTheFileCountDeletesTheSurplusFilesAtOnce) {
    for (const char* name : {"logMessages02.txt", "logMessages03.txt", "logMessages04.txt", "logMessages05.txt"}) {
        WriteFile(File(name), "old\n");
    }
    Log()->SetLogFileCount(3);
    EXPECT_TRUE(std::filesystem::exists(File("logMessages01.txt")));
    EXPECT_TRUE(std::filesystem::exists(File("logMessages02.txt")));
    EXPECT_TRUE(std::filesystem::exists(File("logMessages03.txt")));
    EXPECT_FALSE(std::filesystem::exists(File("logMessages04.txt")));
    EXPECT_FALSE(std::filesystem::exists(File("logMessages05.txt")));

    // With three names a rotation drops the third file.
    WriteFile(File("logMessages03.txt"), "third\n");
    WriteFile(File("logMessages02.txt"), "second\n");
    Log()->changeFile();
    EXPECT_EQ(ReadFile(File("logMessages03.txt")), "second\n");
    EXPECT_FALSE(std::filesystem::exists(File("logMessages04.txt")));
}

TEST_F(LogFilesTest, FileNumbersGrowToThreeDigits) {
    Log()->SetLogFileCount(101);
    WriteFile(File("logMessages100.txt"), "hundred\n");
    WriteFile(File("logMessages99.txt"), "ninety-nine\n");
    Log()->changeFile();
    EXPECT_EQ(ReadFile(File("logMessages101.txt")), "hundred\n");
    EXPECT_EQ(ReadFile(File("logMessages100.txt")), "ninety-nine\n");
}

TEST_F(LogFilesTest, MaximumEntriesHasAMinimumOf250AndLogsChanges) {
    struct Case {
        unsigned int requested;
        unsigned int expected;
        bool logged;
    };
    const Case cases[] = {{10, 250, true}, {0, 250, false}, {250, 250, false}, {1000, 1000, true}, {1000, 1000, false}};
    for (const Case& c : cases) {
        LogCapture capture;
        Log()->SetMaxEntries(c.requested);
        EXPECT_EQ(Log()->GetMaxEntries(), c.expected) << c.requested;
        EXPECT_EQ(capture.Has("Log entry count set to " + std::to_string(c.expected), false), c.logged)
            << c.requested;
    }
}

TEST_F(LogFilesTest, RefusedRenameDuringRotationInsideALogCallIsReported) {
    Log()->SetMaxEntries(250);
    Fresh();
    Log()->add("before rotation");
    Log()->SetRenameFunction([](const char* from, const char* to) {
        if (std::string(from) == "logMessages01.txt") {
            errno = EACCES;
            return -1;
        }
        return std::rename(from, to);
    });
    DrainLogRing();
    LogCapture capture;

    // Header (3) + 1 line so far: the 247th line below rotates inside add(),
    // which holds the log mutex. The report must not take it again.
    for (int i = 0; i < 247; ++i) Log()->add("filler " + std::to_string(i));

    const std::string report = "Moving file 'logMessages01.txt' to 'logMessages02.txt' failed: Permission denied";
    EXPECT_TRUE(capture.Has(report, true));

    // The file that could not be moved keeps its lines; the header and the
    // report follow them.
    const std::vector<std::string> lines = Lines(ReadFile(File("logMessages01.txt")));
    ASSERT_EQ(lines.size(), 3u + 248u + 3u + 1u);
    ExpectHeader(lines);
    ExpectHeader(lines, 251);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines.back(), match, kStampedLine));
    EXPECT_EQ(match[1], report);

    bool inRing = false;
    std::string line;
    while (Log()->GetLogMessage(&line) > 0) inRing = inRing || line.find(report) != std::string::npos;
    EXPECT_TRUE(inRing);

    // Logging carries on normally.
    Log()->add("after rotation");
    Log()->Flush();
    EXPECT_NE(ReadFile(File("logMessages01.txt")).find("after rotation"), std::string::npos);
}

TEST_F(LogFilesTest, PublicMoveFileDoesNotOverwriteAndSkipsMissingSources) {
    WriteFile(File("a.txt"), "a");
    WriteFile(File("b.txt"), "b");
    LogCapture capture;
    moveFile("a.txt", "b.txt");
    EXPECT_EQ(ReadFile(File("a.txt")), "a");
    EXPECT_EQ(ReadFile(File("b.txt")), "b");
    moveFile("missing.txt", "c.txt");
    EXPECT_FALSE(std::filesystem::exists(File("c.txt")));
    moveFile("a.txt", "c.txt");
    EXPECT_EQ(ReadFile(File("c.txt")), "a");
    EXPECT_FALSE(fileExists("a.txt"));
    deleteFile("c.txt");
    deleteFile("c.txt");
    EXPECT_FALSE(fileExists("c.txt"));
    EXPECT_TRUE(capture.Entries().empty());
}

TEST_F(LogFilesTest, ConcurrentLinesNeverInterleaveAcrossRotations) {
    Log()->SetLogFileCount(12);
    Log()->SetMaxEntries(250);
    Fresh();
    constexpr int kThreads = 4;
    constexpr int kLines = 300;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        std::string line;
        while (!done.load()) Log()->GetLogMessage(&line);
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                if (i % 2 == 0) {
                    Log()->addFormat("thread %d line %d", t, i);
                } else {
                    Log()->addErrorFormat("thread %d line %d", t, i);
                }
            }
        });
    }
    for (std::thread& writer : writers) writer.join();
    done.store(true);
    reader.join();
    Log()->Flush();

    // Every line is whole, and each thread's lines appear once, in order.
    std::vector<int> next(kThreads, 0);
    const std::regex threadLine(R"(^thread (\d) line (\d+)$)");
    for (int file = 12; file >= 1; --file) {
        char name[32];
        std::snprintf(name, sizeof(name), "logMessages%02d.txt", file);
        for (const std::string& line : Lines(ReadFile(File(name)))) {
            if (line.empty() || line.rfind("VQT Korvella", 0) == 0 || std::regex_match(line, kAsctimeLine)) continue;
            std::smatch stamped;
            ASSERT_TRUE(std::regex_match(line, stamped, kStampedLine)) << line;
            const std::string message = stamped[1];
            std::smatch parts;
            ASSERT_TRUE(std::regex_match(message, parts, threadLine)) << message;
            const int t = std::stoi(parts[1]);
            EXPECT_EQ(std::stoi(parts[2]), next[t]) << message;
            next[t] = std::stoi(parts[2]) + 1;
        }
    }
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kLines);
}

// ------------------------------------------------------------------ root directory

TEST(RootDirectory, NearestAncestorHoldingData) {
    ScratchRoot base(false);
    const std::string b = base.Path();
    std::filesystem::create_directories(b + "/opt/app/bin");
    std::filesystem::create_directories(b + "/opt/app/Data");
    std::filesystem::create_directories(b + "/plain/x/y");
    std::filesystem::create_directories(b + "/self/Data");
    std::filesystem::create_directories(b + "/deep/Data");
    std::filesystem::create_directories(b + "/deep/a/b/c/d");
    std::filesystem::create_directories(b + "/file/sub");
    WriteFile(b + "/file/Data", "not a directory");

    // The scratch directory's own ancestors must not hold Data for the
    // "none found" cases to mean anything.
    ASSERT_EQ(findRootDirectory(b), b + "/");

    struct Case {
        std::string start;
        std::string expected;
    };
    const Case cases[] = {
        {b + "/opt/app/bin", b + "/opt/app/"},
        {b + "/opt/app", b + "/opt/app/"},
        {b + "/self", b + "/self/"},
        {b + "/deep/a/b/c/d", b + "/deep/"},
        {b + "/plain/x/y", b + "/plain/x/y/"},
        {b + "/file/sub", b + "/file/sub/"},
        {"relative/dir", "relative/dir/"},
        {"", "/"},
    };
    for (const Case& c : cases) EXPECT_EQ(findRootDirectory(c.start), c.expected) << c.start;
}

TEST(RootDirectory, EveryHeaderSetsProgramAndRootPath) {
    ScratchRoot root;
    std::filesystem::create_directories(root.File("bin/sub"));
    ASSERT_EQ(chdir(root.File("bin/sub").c_str()), 0);
    Log()->changeFile();
    const std::string cwd = std::filesystem::current_path().string();
    EXPECT_EQ(Log()->get_programPath(), cwd);
    EXPECT_EQ(Log()->get_rootPath(), std::filesystem::path(cwd).parent_path().parent_path().string() + "/");
    EXPECT_TRUE(std::filesystem::exists("logMessages01.txt"));

    ASSERT_EQ(chdir(root.Path().c_str()), 0);
    Log()->addHeader();
    EXPECT_EQ(Log()->get_rootPath(), std::filesystem::current_path().string() + "/");
}
