// File upload through the command interpreter, in a scratch root: lines
// arrive byte-exact below Data/, names that would leave it are refused, and a
// file being replaced stays whole until the upload is finished.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/LogSingleton.h"
#include "controller/RobotMaster.h"
#include "server/ComServer.h"
#include "support/LogCapture.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

class UploadTest : public ::testing::Test {
protected:
    UploadTest() : connection(std::make_shared<ComServer>(&rm, nullptr, nullptr, -1)) {
        LogSingleton::instance()->serverMessageCallback = [this](const std::string& text) { messages.push_back(text); };
    }
    ~UploadTest() override { LogSingleton::instance()->serverMessageCallback = nullptr; }

    void Frame(const std::string& frame) {
        std::vector<char> buffer(frame.begin(), frame.end());
        buffer.push_back('\0');
        ASSERT_TRUE(connection->ParseMessage(buffer.data(), static_cast<int>(frame.size())));
    }
    void Init(const std::string& name, int lines) {
        Frame("HXPSTART 1 CMD UploadFileInit " + name + " " + std::to_string(lines) + " HXPEND");
    }
    void Line(const std::string& text) { Frame("HXPSTART 2 CMD UploadFileLine " + text + " HXPEND"); }
    void Finish() { Frame("HXPSTART 3 CMD UploadFileFinish HXPEND"); }
    std::string Data(const std::string& relative) const { return root.File("Data/" + relative); }
    // Every file below the root, relative to it.
    std::vector<std::string> Files() const {
        std::vector<std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(root.Path()))
            if (entry.is_regular_file()) files.push_back(fs::relative(entry.path(), root.Path()).string());
        std::sort(files.begin(), files.end());
        return files;
    }

    TestSupport::ScratchRoot root;
    RobotMaster rm;
    std::shared_ptr<ComServer> connection;
    TestSupport::LogCapture log;
    std::vector<std::string> messages;
};

TEST_F(UploadTest, LinesArriveByteExactInNewDirectoriesAndTheFinishIsAnnounced) {
    Init("Programs/new/deep/Pick.xml", 5);
    EXPECT_TRUE(log.Has("HXP-Server: Starting file upload: Programs/new/deep/Pick.xml, 5"));
    EXPECT_TRUE(log.Has("   Full path: " + Data("Programs/new/deep/Pick.xml")));
    Line("<Program>");
    Line("  two  blanks\tand a tab  ");
    Frame("HXPSTART 2 CMD UploadFileLine  HXPEND");  // two blanks: an empty line
    Frame("HXPSTART 2 CMD UploadFileLine HXPEND");   // one blank: the cut reads the end token
    Frame("HXPSTART 12345 CMD UploadFileLine </Program> HXPEND");
    EXPECT_TRUE(log.Has("   File upload line 1:   two  blanks\tand a tab  "));
    // Nothing is in place before the finish.
    EXPECT_FALSE(fs::exists(Data("Programs/new/deep/Pick.xml")));
    Finish();

    EXPECT_EQ(TestSupport::ReadFile(Data("Programs/new/deep/Pick.xml")),
              "<Program>\n  two  blanks\tand a tab  \n\nHXPEND\n</Program>\n");
    EXPECT_FALSE(fs::exists(Data("Programs/new/deep/Pick.xml_tmp")));
    EXPECT_EQ(messages, std::vector<std::string>{"Programs/new/deep/Pick.xml uploaded, 5 lines"});
    EXPECT_TRUE(connection->QueuedBodies().empty());

    // Lines and finish without an open upload are ignored.
    Line("stray");
    Finish();
    EXPECT_EQ(messages.size(), 1u);
}

TEST_F(UploadTest, TheFinishReportsTheAnnouncedCount) {
    Init("a.txt", 7);
    Line("only one");
    Finish();
    EXPECT_EQ(TestSupport::ReadFile(Data("a.txt")), "only one\n");
    EXPECT_EQ(messages, std::vector<std::string>{"a.txt uploaded, 7 lines"});
}

TEST_F(UploadTest, NamesThatLeaveDataOrNameNoFileAreRefusedAndNothingIsWritten) {
    TestSupport::WriteFile(root.File("keep.txt"), "outside");
    const std::vector<std::string> before = Files();
    struct Case {
        const char* name;
        bool relative;  // refused for its two dots
    };
    const Case cases[] = {
        {"../keep.txt", true},   {"Programs/../../keep.txt", true}, {"Pick..xml", true},
        {"/tmp/evil.txt", false}, {"a//b.txt", false},               {"dir/", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        messages.clear();
        Init(c.name, 1);
        Line("payload");
        Finish();
        const std::string path = Data(c.name);
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0], c.relative ? "HXP-Server: Invalid path: " + path + ", must not be relative!"
                                          : "HXP-Server: Invalid path: " + path);
    }
    EXPECT_EQ(Files(), before);
    EXPECT_FALSE(fs::exists("/tmp/evil.txt"));
    EXPECT_FALSE(fs::exists(Data("a")));
    EXPECT_EQ(TestSupport::ReadFile(root.File("keep.txt")), "outside");
}

TEST_F(UploadTest, AFileInTheWayOfADirectoryIsReported) {
    TestSupport::WriteFile(Data("plain"), "x");
    Init("plain/inner.txt", 1);
    EXPECT_TRUE(log.HasError("HXP-Server: Could not create path '" + Data("plain") + "': exists but is no directory"));
    Line("payload");
    Finish();
    EXPECT_EQ(TestSupport::ReadFile(Data("plain")), "x");
    EXPECT_EQ(messages.size(), 1u);
}

TEST_F(UploadTest, AnUnfinishedUploadNeverTouchesTheFileItWouldReplace) {
    TestSupport::WriteFile(Data("Programs/Keep.xml"), "old content\n");
    Init("Programs/Keep.xml", 2);
    Line("half");
    // A new upload discards the unfinished one; its lines go to the new file only.
    Init("Programs/Other.xml", 1);
    EXPECT_TRUE(log.Has("HXP-Server: Discarding unfinished upload: Programs/Keep.xml"));
    Line("other");
    Finish();
    EXPECT_EQ(TestSupport::ReadFile(Data("Programs/Keep.xml")), "old content\n");
    EXPECT_EQ(TestSupport::ReadFile(Data("Programs/Other.xml")), "other\n");

    // A connection that ends mid-upload leaves the old file too.
    Init("Programs/Keep.xml", 2);
    Line("half again");
    connection.reset();
    EXPECT_EQ(TestSupport::ReadFile(Data("Programs/Keep.xml")), "old content\n");
    EXPECT_FALSE(fs::exists(Data("Programs/Keep.xml_tmp")));
}

TEST_F(UploadTest, PassiveClientsCannotUpload) {
    connection->SetActive(false);
    Init("p.txt", 1);
    Line("x");
    Finish();
    EXPECT_FALSE(fs::exists(Data("p.txt")));
    EXPECT_TRUE(messages.empty());
}

}  // namespace
