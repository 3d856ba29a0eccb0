// Generated chains of blended lines and arcs, planned by the Cartesian path
// generator and sampled every cycle: the path is continuous, keeps its speed
// and acceleration limits and ends exactly on the last target.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "PkgProgram/CartesianTestSupport.h"
#include "PkgProgram/PathElementCircular.h"

using CartesianTest::Planner;
using CartesianTest::Sample;
using DataTypes::Vector3;

namespace {

struct Step {
    bool arc = false;
    Vector3 via;
    Vector3 end;
    float vel = 0.0f;
    float acc = 0.0f;
    float smooth = 0.0f;
};

struct Chain {
    std::vector<Step> steps;
    double limit = -1.0;
    std::string Describe() const {
        std::ostringstream out;
        out << "limit " << limit;
        for (const Step& s : steps)
            out << "\n  " << (s.arc ? "arc via " + s.via.ToString() + " to " : "line to ") << s.end.ToString()
                << " vel " << s.vel << " acc " << s.acc << " smooth " << s.smooth;
        return out.str();
    }
};

Vector3 RandomUnit(std::mt19937& rng) {
    std::normal_distribution<float> n(0.0f, 1.0f);
    Vector3 v;
    do {
        v = Vector3(n(rng), n(rng), n(rng));
    } while (v.Magnitude() < 0.1f);
    v.Normalize();
    return v;
}

// Targets stay in a box around the arm's working point; arcs have moderate radii.
Chain Generate(std::mt19937& rng, const Vector3& base) {
    std::uniform_int_distribution<int> count(3, 10);
    std::uniform_real_distribution<float> box(-110.0f, 110.0f);
    std::uniform_real_distribution<float> vel(20.0f, 250.0f);
    std::uniform_real_distribution<float> acc(20.0f, 100.0f);
    std::uniform_real_distribution<float> smooth(5.0f, 100.0f);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::uniform_real_distribution<float> radius(30.0f, 90.0f);
    std::uniform_real_distribution<float> degrees(25.0f, 160.0f);
    Chain chain;
    const int n = count(rng);
    Vector3 previous = base;
    for (int i = 0; i < n; ++i) {
        Step s;
        s.vel = vel(rng);
        s.acc = acc(rng);
        s.smooth = unit(rng) < 0.15f ? 0.0f : smooth(rng);
        s.arc = unit(rng) < 0.4f;
        // Arcs that would leave the working box are drawn again.
        for (int attempt = 0; s.arc && attempt < 20; ++attempt) {
            // A circle through the previous target: centre at `radius` from it, in a random plane.
            const float r = radius(rng);
            const Vector3 toStart = RandomUnit(rng);
            const Vector3 centre = previous - toStart * r;
            Vector3 w = Vector3::Cross(RandomUnit(rng), toStart);
            if (w.Magnitude() < 0.2f) w = Vector3::Cross(Vector3(0, 0, 1), toStart);
            w.Normalize();
            const float total = degrees(rng) * 3.14159265f / 180.0f;
            const float viaAngle = total * (0.3f + 0.4f * unit(rng));
            auto at = [&](float a) { return centre + toStart * (r * std::cos(a)) + w * (r * std::sin(a)); };
            s.via = at(viaAngle);
            s.end = at(total);
            bool inside = true;
            for (int k = 0; k <= 8; ++k) {
                const Vector3 d = at(total * static_cast<float>(k) / 8.0f) - base;
                inside = inside && std::fabs(d.x) < 200.0f && std::fabs(d.y) < 200.0f && std::fabs(d.z) < 150.0f;
            }
            if (inside) break;
        }
        if (!s.arc) {
            s.end = base + Vector3(box(rng), box(rng), box(rng) * 0.7f);
        }
        previous = s.end;
        chain.steps.push_back(s);
    }
    chain.limit = unit(rng) < 0.5f ? -1.0 : 30.0 + 220.0 * unit(rng);
    return chain;
}

std::vector<std::shared_ptr<Command>> Commands(const Chain& chain, const Vector3& abc) {
    std::vector<std::shared_ptr<Command>> commands;
    for (const Step& s : chain.steps) {
        if (s.arc) {
            commands.push_back(CartesianTest::Arc(s.via, s.end, abc, s.vel, s.acc, s.smooth));
        } else {
            commands.push_back(CartesianTest::Line(s.end, abc, s.vel, s.acc, s.smooth));
        }
    }
    return commands;
}

bool Finite(const float* j) {
    for (int i = 0; i < 9; ++i)
        if (!std::isfinite(j[i])) return false;
    return true;
}

}  // namespace

// Each generated chain is checked on its own path; a failure names the seed and the chain.
TEST(CartesianPathProperties, GeneratedChainsOfLinesAndArcsKeepTheirLimitsAndEndOnTheTarget) {
    constexpr double Dt = 0.010;  // s per cycle
    for (unsigned seed = 1; seed <= 200; ++seed) {
        std::mt19937 rng(seed);
        Planner planner;
        const Vector3 base = planner.start.pose.GetTranslation();
        const Vector3 abc(planner.start.A, planner.start.B, planner.start.C);
        const Chain chain = Generate(rng, base);
        SCOPED_TRACE("seed " + std::to_string(seed) + ": " + chain.Describe());
        const auto commands = Commands(chain, abc);
        std::vector<Sample> samples;
        try {
            planner.Plan(commands);
            ASSERT_TRUE(planner.generator.IsPathAvailable());
            samples = planner.Run(10, 100.0, chain.limit);
        } catch (int code) {
            FAIL() << "kinematic error " << code;
        }
        ASSERT_FALSE(samples.empty());
        const auto& elements = planner.generator.Elements();
        const int n = static_cast<int>(chain.steps.size());
        ASSERT_EQ(static_cast<int>(elements.size()), 2 * n - 1);

        // The speed an element may reach: its command's, and in a blend also the one before.
        auto allowed = [&](int element) {
            const int command = element / 2 + (element % 2);
            float v = chain.steps[static_cast<std::size_t>(command)].vel;
            if (element % 2 == 1) v = std::max(v, chain.steps[static_cast<std::size_t>(command - 1)].vel);
            return v;
        };
        Vector3 previous = planner.start.pose.GetTranslation();
        std::vector<double> speed;
        for (std::size_t k = 0; k < samples.size(); ++k) {
            const Sample& s = samples[k];
            ASSERT_TRUE(Finite(s.joints)) << "sample " << k;
            const double v = (s.position - previous).Magnitude() / Dt;
            speed.push_back(v);
            const int before = k > 0 ? samples[k - 1].element : 0;
            const float vmax = std::max(allowed(std::min(before, 2 * n - 2)), allowed(std::min(s.element, 2 * n - 2)));
            EXPECT_LE(v, vmax * 1.04 + 1.0) << "sample " << k << " in element " << s.element;
            if (chain.limit >= 0.0) {
                EXPECT_LE(v, chain.limit * 1.001 + 0.05) << "sample " << k;
            }
            previous = s.position;
        }

        // Tangential acceleration inside main elements, where no speed limit cuts in.
        const bool limitCuts = chain.limit >= 0.0;
        for (std::size_t k = 2; k + 1 < samples.size() && !limitCuts; ++k) {
            const int e = samples[k].element;
            if (e % 2 != 0 || samples[k - 2].element != e || samples[k + 1].element != e) continue;
            const Step& step = chain.steps[static_cast<std::size_t>(e / 2)];
            const double a = std::fabs(speed[k + 1] - speed[k]) / Dt;
            EXPECT_LE(a, CartesianTest::CartAcc * step.acc / 100.0 * 1.03 + 30.0)
                << "sample " << k << " in element " << e;
        }

        // At every join, finely sampled: the velocity vector does not jump.
        const auto& ends = planner.generator.EndTimes();
        for (std::size_t j = 0; j + 1 < ends.size(); ++j) {
            const double t = ends[j];
            const double h = 0.02;  // ms
            const double gap = 0.01;
            if (t < 2.0 * h) continue;
            const Vector3 before = (planner.PositionAt(t - gap) - planner.PositionAt(t - gap - h)) / (h / 1000.0);
            const Vector3 after = (planner.PositionAt(t + gap + h) - planner.PositionAt(t + gap)) / (h / 1000.0);
            const double jump = (after - before).Magnitude();
            const double scale = std::max(before.Magnitude(), after.Magnitude());
            // A blend changes its speed in 5 ms steps of its time table: one step may show at its ends.
            const auto& blend = *elements[j % 2 == 1 ? j : j + 1];
            const double stair = blend.GetDuration() > 0.0f ? std::fabs(blend.endVelocityFactor - blend.startVelocityFactor) *
                                                                  5.0 / blend.GetDuration()
                                                            : 0.0;
            EXPECT_LE(jump, 0.05 * scale + 10.0 + stair) << "join after element " << j << " at " << t << " ms: "
                                                 << before.ToString() << " then " << after.ToString();
        }

        // The last set-point is the last target.
        const Sample& last = samples.back();
        EXPECT_LT((last.position - chain.steps.back().end).Magnitude(), 0.001f);
        DataTypes::Matrix44 goal;
        goal.SetRotationABCDeg2(abc.x, abc.y, abc.z);
        EXPECT_LT(CartesianTest::OrientationError(last.pose, goal), 0.01f);
        EXPECT_EQ(last.command, n - 1);
    }
}
