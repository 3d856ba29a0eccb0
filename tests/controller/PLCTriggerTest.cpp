#include "controller/PLCInterfaceTrigger.h"

#include <gtest/gtest.h>

using PLCTrigger::PLCInterfaceTrigger;

namespace {

struct ChannelCase {
    PLCInterfaceTrigger::SignalType type;
    int channel;
    bool staysActive;
};

void PrintTo(const ChannelCase& c, std::ostream* os) {
    *os << (c.type == PLCInterfaceTrigger::DIn ? "DIn " : "GSig ") << c.channel;
}

class PLCTriggerChannel : public ::testing::TestWithParam<ChannelCase> {};

TEST_P(PLCTriggerChannel, ActiveOnlyInsideTheSignalRange) {
    const ChannelCase& c = GetParam();
    PLCInterfaceTrigger trigger(true, c.type, c.channel, PLCInterfaceTrigger::Program, "a.xml");
    EXPECT_EQ(trigger.IsActive(), c.staysActive);
    EXPECT_EQ(trigger.GetChannel(), c.channel);  // validation never rewrites the channel
}

INSTANTIATE_TEST_SUITE_P(Ranges, PLCTriggerChannel,
                         ::testing::Values(ChannelCase{PLCInterfaceTrigger::DIn, 0, true},
                                           ChannelCase{PLCInterfaceTrigger::DIn, 63, true},
                                           ChannelCase{PLCInterfaceTrigger::DIn, 64, false},
                                           ChannelCase{PLCInterfaceTrigger::DIn, -1, false},
                                           ChannelCase{PLCInterfaceTrigger::GSig, 99, true},
                                           ChannelCase{PLCInterfaceTrigger::GSig, 100, false},
                                           ChannelCase{PLCInterfaceTrigger::GSig, -5, false}));

struct FileCase {
    const char* given;
    const char* relative;
    bool staysActive;
};

void PrintTo(const FileCase& c, std::ostream* os) { *os << c.given; }

class PLCTriggerFile : public ::testing::TestWithParam<FileCase> {};

TEST_P(PLCTriggerFile, NormalisedToTheProgramsOrMissionsFolder) {
    const FileCase& c = GetParam();
    PLCInterfaceTrigger trigger(true, PLCInterfaceTrigger::DIn, 5, PLCInterfaceTrigger::Mission, c.given);
    EXPECT_EQ(trigger.GetTargetFileRelative(), c.relative);
    EXPECT_EQ(trigger.IsActive(), c.staysActive);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, PLCTriggerFile,
    ::testing::Values(FileCase{"C:\\Data\\Programs\\sub\\x.xml", "sub/x.xml", true},
                      FileCase{"/home/Data/Missions/m1.xml", "m1.xml", true},
                      FileCase{"bare.xml", "bare.xml", true},
                      FileCase{"/a/Programs/b/Programs/c.xml", "b/Programs/c.xml", true},
                      FileCase{"/a/Programs/x/Missions/m.xml", "m.xml", true},
                      FileCase{"", "", false},
                      // A target must not leave its folder.
                      FileCase{"/etc/passwd", "/etc/passwd", false},
                      FileCase{"../../etc/passwd", "../../etc/passwd", false},
                      FileCase{"/Data/Programs/../../x.xml", "../../x.xml", false},
                      FileCase{"sub/..hidden.xml", "sub/..hidden.xml", true},
                      FileCase{"/Data/Programs/", "", false}));

TEST(PLCTrigger, ValidationNeverActivates) {
    PLCInterfaceTrigger trigger(false, PLCInterfaceTrigger::DIn, 3, PLCInterfaceTrigger::Program, "ok.xml");
    EXPECT_FALSE(trigger.IsActive());
}

TEST(PLCTrigger, DefaultToString) {
    PLCInterfaceTrigger trigger;
    EXPECT_FALSE(trigger.IsActive());
    EXPECT_TRUE(trigger.lastLevel);
    EXPECT_EQ(trigger.ToString(), "Active=False, SignalType=DIn, Channel=-1, TargetType=Program, FileName=");
}

TEST(PLCTrigger, ToStringOfAnActiveGlobalSignalMission) {
    PLCInterfaceTrigger trigger(true, PLCInterfaceTrigger::GSig, 42, PLCInterfaceTrigger::Mission,
                                "x\\Missions\\run.xml");
    EXPECT_EQ(trigger.GetSignalType(), PLCInterfaceTrigger::GSig);
    EXPECT_EQ(trigger.GetTargetType(), PLCInterfaceTrigger::Mission);
    EXPECT_EQ(trigger.ToString(), "Active=True, SignalType=GSig, Channel=42, TargetType=Mission, FileName=run.xml");
}

TEST(PLCTrigger, CopiesKeepEveryField) {
    PLCInterfaceTrigger original(true, PLCInterfaceTrigger::GSig, 7, PLCInterfaceTrigger::Mission, "m.xml");
    original.lastLevel = false;
    PLCInterfaceTrigger assigned;
    assigned = original;
    PLCInterfaceTrigger copied(original);
    for (const PLCInterfaceTrigger* t : {&assigned, &copied}) {
        EXPECT_EQ(t->ToString(), original.ToString());
        EXPECT_FALSE(t->lastLevel);
    }
}

TEST(PLCTrigger, BackslashOperator) {
    EXPECT_EQ(PLCTrigger::OpReplaceBackslashWithSlash('\\'), '/');
    EXPECT_EQ(PLCTrigger::OpReplaceBackslashWithSlash('a'), 'a');
}

}  // namespace
