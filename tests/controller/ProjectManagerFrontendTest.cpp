// The front-end file and opening a project through it.

#include <gtest/gtest.h>

#include "ProjectManagerTestSupport.h"

using namespace ProjectManagerTest;

namespace {

class Frontend : public ::testing::Test {
protected:
    void SetUp() override {
        ResetGlobalSettings();
        pm.SetRootPath(root.Path());
    }
    void TearDown() override { ResetGlobalSettings(); }

    void WriteFrontend(const std::string& text) { TestSupport::WriteFile(root.Path() + "VQTFrontend.xml", text); }
    std::string FrontendPath() const { return root.Path() + "VQTFrontend.xml"; }

    ProjectRoot root;
    LogCapture log;
    ProjectManager pm;
    FakeTarget target;
};

TEST_F(Frontend, NamesTheProjectAndOpensIt) {
    std::string name;
    EXPECT_EQ(pm.ReadFrontend(name), 0);
    EXPECT_EQ(name, ProjectName());
    EXPECT_TRUE(log.Has("Reading VQTFrontend.xml...", false));
    EXPECT_TRUE(log.Has("ProjectManager: loading project Data/Projects/Cell4/Cell4.prj", false));

    EXPECT_EQ(pm.OpenProject(&target), 0);
    EXPECT_EQ(target.initCalls, 1);
    EXPECT_EQ(pm.GetProjectFile(), root.ProjectPath());
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
}

struct BadFrontend {
    const char* what;
    const char* content;  // null: no file at all
    int result;
    const char* reason;
};

void PrintTo(const BadFrontend& c, std::ostream* os) { *os << c.what; }

class FrontendFailure : public Frontend, public ::testing::WithParamInterface<BadFrontend> {};

TEST_P(FrontendFailure, SetsTheSeriousFailReasonAndReadsNoProject) {
    const BadFrontend& c = GetParam();
    std::remove(FrontendPath().c_str());
    if (c.content != nullptr) WriteFrontend(c.content);

    EXPECT_EQ(pm.OpenProject(&target), c.result) << c.what;
    EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), c.reason);
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeSeriousFail);
    EXPECT_EQ(target.initCalls, 0);
    EXPECT_TRUE(pm.GetProjectFile().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Variants, FrontendFailure,
    ::testing::Values(
        BadFrontend{"missing", nullptr, 1, "1 VQTFrontend.xml missing"},
        BadFrontend{"not xml", "<VQTModule><StartUp Project=\"x\"></VQTModule>", 2, "2 VQTFrontend.xml not valid"},
        BadFrontend{"empty file", "", 2, "2 VQTFrontend.xml not valid"},
        BadFrontend{"other root", "<Module><StartUp Project=\"Data/p.prj\"/></Module>", 2,
                    "2 VQTFrontend.xml not valid"},
        BadFrontend{"StartUp without Project", "<VQTModule><StartUp Name=\"x\"/></VQTModule>", 3,
                    "3 Project not named"},
        BadFrontend{"no StartUp", "<VQTModule><Logging FileCount=\"5\"/></VQTModule>", 3, "3 Project not named"}),
    [](const ::testing::TestParamInfo<BadFrontend>& info) {
        std::string n = info.param.what;
        for (char& ch : n) {
            if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
        }
        return n;
    });

TEST_F(Frontend, FailureLines) {
    std::remove(FrontendPath().c_str());
    std::string name;
    pm.ReadFrontend(name);
    EXPECT_TRUE(log.HasError("File " + FrontendPath() + " not available! Aborting read()"));

    WriteFrontend("<Other/>");
    pm.ReadFrontend(name);
    EXPECT_TRUE(log.HasError("Could not read file VQTFrontend.xml correctly! Aborting! " + FrontendPath()));

    WriteFrontend("<VQTModule><StartUp/></VQTModule>");
    pm.ReadFrontend(name);
    EXPECT_TRUE(log.HasError("Error: File VQTFrontend.xml did not contain the project information, missing tag "
                             "\"Project\" in line \"StartUp\"?."));
}

TEST_F(Frontend, LastStartUpWins) {
    WriteFrontend(
        "<VQTModule><StartUp Project=\"Data/a.prj\"/><Other/><StartUp Project=\"Data/b.prj\"/><StartUp/></VQTModule>");
    std::string name;
    EXPECT_EQ(pm.ReadFrontend(name), 0);
    EXPECT_EQ(name, "Data/b.prj");
    EXPECT_EQ(log.Count("ProjectManager: loading project Data/a.prj"), 1);
    EXPECT_EQ(log.Count("ProjectManager: loading project Data/b.prj"), 1);
}

TEST_F(Frontend, LoggingSettingsOnlyWhenGiven) {
    LogSingleton* logger = LogSingleton::instance();
    const int files = logger->GetLogFileCount();
    const unsigned int entries = logger->GetMaxEntries();

    WriteFrontend("<VQTModule><StartUp Project=\"Data/a.prj\"/><Logging EntryCount=\"3000\"/></VQTModule>");
    std::string name;
    EXPECT_EQ(pm.ReadFrontend(name), 0);
    EXPECT_EQ(logger->GetLogFileCount(), files);
    EXPECT_EQ(logger->GetMaxEntries(), 3000u);

    // A negative count is refused instead of turning into a huge unsigned one.
    WriteFrontend("<VQTModule><StartUp Project=\"Data/a.prj\"/><Logging FileCount=\"-1\"/></VQTModule>");
    EXPECT_EQ(pm.ReadFrontend(name), 0);
    EXPECT_EQ(logger->GetLogFileCount(), files);

    logger->SetMaxEntries(entries);
}

TEST_F(Frontend, ProjectNamedButMissing) {
    std::remove(root.ProjectPath().c_str());
    EXPECT_EQ(pm.OpenProject(&target), 1);
    EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "4 project file not found");
    EXPECT_TRUE(log.HasError("Project: Could not find project file " + root.ProjectPath()));
    EXPECT_EQ(target.initCalls, 0);
}

// Project names come from a file: they must not reach outside Data/.
TEST_F(Frontend, ProjectNameStaysBelowData) {
    TestSupport::CopyFixture("proj-Cell4.prj", root.Path() + "Outside.prj");
    const std::vector<std::string> names = {"Outside.prj", "Data/../Outside.prj", "Data/Projects/../../Outside.prj",
                                            "//" + root.Path() + "Outside.prj", "Data\\..\\Outside.prj"};
    for (const std::string& bad : names) {
        ResetGlobalSettings();
        EXPECT_EQ(pm.ReadProjectFile(bad, &target), 1) << bad;
        EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "4 project file not found") << bad;
    }
    EXPECT_EQ(target.initCalls, 0);
}

TEST_F(Frontend, ProjectNameForms) {
    // One leading slash is dropped and backslashes become slashes.
    for (const char* good : {"/Data/Projects/Cell4/Cell4.prj", "Data\\Projects\\Cell4\\Cell4.prj"}) {
        ResetGlobalSettings();
        ProjectManager fresh;
        fresh.SetRootPath(root.Path());
        FakeTarget t;
        EXPECT_EQ(fresh.ReadProjectFile(good, &t), 0) << good;
        EXPECT_EQ(fresh.GetProjectFile(), root.ProjectPath());
    }
    ResetGlobalSettings();
    EXPECT_EQ(pm.ReadProjectFile("", &target), 1);
    EXPECT_TRUE(log.HasError("Project: empty project file name"));
    EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "4 project file not found");
}

TEST(ProjectManagerXmlError, Texts) {
    std::string text = "x";
    EXPECT_TRUE(ProjectManager::TranslateXmlError(tinyxml2::XML_SUCCESS, text));
    EXPECT_EQ(text, "");
    const std::pair<tinyxml2::XMLError, const char*> cases[] = {
        {tinyxml2::XML_NO_ATTRIBUTE, "no attribute"},
        {tinyxml2::XML_ERROR_FILE_NOT_FOUND, "file not found"},
        {tinyxml2::XML_ERROR_PARSING_ELEMENT, "error parsing element"},
        {tinyxml2::XML_ERROR_PARSING_CDATA, "error parsing data"},
        {tinyxml2::XML_ERROR_EMPTY_DOCUMENT, "empty document"},
        {tinyxml2::XML_ERROR_MISMATCHED_ELEMENT, "mismatched element"},
        {tinyxml2::XML_NO_TEXT_NODE, "no text node"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(ProjectManager::TranslateXmlError(c.first, text));
        EXPECT_EQ(text, c.second);
    }
    EXPECT_FALSE(ProjectManager::TranslateXmlError(999, text));
    EXPECT_EQ(text, "unknown error");
}

TEST(ProjectManagerXmlError, QueryIntAttribOrDefault) {
    tinyxml2::XMLDocument document;
    document.Parse("<E A=\"7\" B=\"x\"/>");
    const tinyxml2::XMLElement* e = document.RootElement();
    EXPECT_EQ(ProjectManager::QueryIntAttribOrDefault(e, "A", -1), 7);
    EXPECT_EQ(ProjectManager::QueryIntAttribOrDefault(e, "B", -1), -1);
    EXPECT_EQ(ProjectManager::QueryIntAttribOrDefault(e, "C", 5), 5);
}

}  // namespace
