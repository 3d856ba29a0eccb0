// The simulated joint modules at power-on stand at the project's home
// position, so that the driver reads exactly the home joints.

#include "hardware/HardwareTestSupport.h"
#include "hardware/VQTCANV2Codec.h"
#include "korvella-cansim/SimFaultChannel.h"
#include "korvella-cansim/SimRobotConfig.h"
#include "support/TestSupport.h"

#include <string>
#include <vector>

namespace {

using Codec = Hardware::VQTCANV2Codec;

std::string Project(const std::string& robotAttributes) {
    return "<?xml version=\"1.0\"?>\n<ProjectFile>\n    <Robot Name=\"R\" Type=\"T\" " + robotAttributes +
           "/>\n</ProjectFile>\n";
}

struct HomeCase {
    const char* name;
    std::string attributes;
    std::vector<float> home;
};

void PrintTo(const HomeCase& c, std::ostream* os) { *os << c.name; }

class SimHomeRead : public ::testing::TestWithParam<HomeCase> {};

TEST_P(SimHomeRead, HomeposIsReadAsTheControllerReadsIt) {
    TestSupport::ScratchRoot root;
    const std::string path = root.File("p.prj");
    TestSupport::WriteFile(path, Project(GetParam().attributes));
    CanSim::SimRobotConfig config;
    std::string error;
    ASSERT_TRUE(CanSim::SimRobotConfig::LoadHome(path, config, error)) << error;
    EXPECT_EQ(config.home, GetParam().home);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimHomeRead,
    ::testing::Values(HomeCase{"Six", "Homepos=\"0 -30 60 0 30 0\"", {0, -30, 60, 0, 30, 0}},
                      HomeCase{"Missing", "", {}},
                      HomeCase{"NotANumberIsZero", "Homepos=\"1.5 x 2 nan\"", {1.5f, 0, 2, 0}},
                      HomeCase{"AtMostNine", "Homepos=\"1 2 3 4 5 6 7 8 9 10 11\"", {1, 2, 3, 4, 5, 6, 7, 8, 9}}),
    [](const ::testing::TestParamInfo<HomeCase>& info) { return std::string(info.param.name); });

TEST(SimHomeRead, UnreadableProjectIsAnError) {
    TestSupport::ScratchRoot root;
    CanSim::SimRobotConfig config;
    std::string error;
    EXPECT_FALSE(CanSim::SimRobotConfig::LoadHome(root.File("none.prj"), config, error));
    EXPECT_NE(error.find("none.prj"), std::string::npos) << error;
    TestSupport::WriteFile(root.File("other.prj"), "<?xml version=\"1.0\"?>\n<Other/>\n");
    EXPECT_FALSE(CanSim::SimRobotConfig::LoadHome(root.File("other.prj"), config, error));
}

// Gear scales of both signs and a gear zero: the raw count the driver turns back into the home joint.
TEST(SimHomePosition, ModulesStartWhereTheDriverReadsTheHomeJoints) {
    CanSim::Hub hub;
    TestSupport::ScratchRoot root;
    std::string error;
    ASSERT_TRUE(hub.Start(root.File("bus.sock"), std::string(), &error)) << error;
    CanSim::SimRobotConfig config;
    config.protocol = "VQTCANV3";
    config.mainIOModule = false;
    config.joints = {{0x10, 190.0f, 0.0f}, {0x20, -190.0f, 0.0f}, {0x30, 100.0f, 250.0f}, {0x40, 50.0f, 0.0f}};
    config.home = {10.0f, -30.0f, 60.0f};  // the fourth joint has no home value: 0
    CanSim::SimFaultChannel channel(hub);
    ASSERT_TRUE(channel.Populate(config, error)) << error;
    const auto joints = channel.Joints();
    ASSERT_EQ(joints.size(), 4u);
    const float expected[4] = {10.0f, -30.0f, 60.0f, 0.0f};
    for (std::size_t i = 0; i < joints.size(); ++i) {
        const double raw = joints[i]->GetSnapshot().positionRaw;
        const auto& j = config.joints[i];
        EXPECT_NEAR(Codec::PositionFromRaw(static_cast<int32_t>(raw), j.gearScale, j.gearZero), expected[i], 1e-3)
            << "joint " << i;
    }
    hub.Stop();
}

}  // namespace
