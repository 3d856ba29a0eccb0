#include "PkgProgram/PathGenerator_02Linear.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "PkgProgram/Command.h"
#include "PkgProgram/CommandCircular.h"
#include "PkgProgram/PathElementCircular.h"
#include "PkgProgram/PathElementJointSet.h"
#include "PkgProgram/PathElementLine.h"
#include "PkgProgram/PathElementSpline.h"
#include "PkgProgram/PathElementSpline6.h"
#include "common/LogSingleton.h"
#include "kinematics/RobotKinematic.h"

namespace {

std::string NineValues(const float* v) {
    std::string text;
    char one[32];
    for (int i = 0; i < 9; ++i) {
        std::snprintf(one, sizeof(one), " %.1f", static_cast<double>(v[i]));
        text += one;
    }
    return text;
}

}  // namespace

PathGenerator_02Linear::PathGenerator_02Linear(float cart, float joint, int look)
    : PathGenerator(look), smoothDistCart(cart), smoothDistJoint(joint) {
    elements.reserve(2 * (static_cast<std::size_t>(lookAhead) + 1));
}

PathGenerator_02Linear::~PathGenerator_02Linear() {
    AbortAndWait();
    DeleteElements();
}

void PathGenerator_02Linear::DeleteElements() {
    elements.clear();
    endTimes.clear();
}

void PathGenerator_02Linear::Init(bool optimizeFlag, int /*slicingMs*/, bool silentFlag) {
    optimize = optimizeFlag;
    silent = silentFlag;
    if (!silent) LogSingleton::instance()->addFormat("PGLinear: Optimize: %d LookAhead: %d", optimize ? 1 : 0, lookAhead);
}

void PathGenerator_02Linear::InitVelAcc(const float* jointVel, const float* jointAcc, const float* jointAccInc,
                                        double cartVel, double cartAcc, double cartAccInc, double oriVel,
                                        double oriAcc, double oriAccInc) {
    for (int i = 0; i < 9; ++i) {
        jointVelocityLimits[i] = jointVel != nullptr ? jointVel[i] : 0.0f;
        jointAccelerationLimits[i] = jointAcc != nullptr ? jointAcc[i] : 0.0f;
        jointJerkLimits[i] = jointAccInc != nullptr ? jointAccInc[i] : 0.0f;
    }
    cartVelocity = static_cast<float>(cartVel);
    cartAcceleration = static_cast<float>(cartAcc);
    cartJerk = static_cast<float>(cartAccInc);
    oriVelocity = static_cast<float>(oriVel);
    oriAcceleration = static_cast<float>(oriAcc);
    oriJerk = static_cast<float>(oriAccInc);
    if (silent) return;
    LogSingleton* log = LogSingleton::instance();
    log->add("");
    log->add("PGLinear - Motion Base Parameter");
    log->add("JointVel:   " + NineValues(jointVelocityLimits));
    log->add("JointAcc:   " + NineValues(jointAccelerationLimits));
    log->add("JointAccInc:" + NineValues(jointJerkLimits));
    log->addFormat("Cart -  Vel: %.1f  Acc: %.1f  AccInc: %.1f", cartVel, cartAcc, cartAccInc);
    log->addFormat("Ori  -  Vel: %.1f  Acc: %.1f  AccInc: %.1f", oriVel, oriAcc, oriAccInc);
}

void PathGenerator_02Linear::SetFirstCmd(std::shared_ptr<Command> cmd, DataTypes::RobotState* start,
                                         int commandIndex, int successorIndex) {
    std::unique_lock<std::recursive_mutex> lock(planningMutex, std::try_to_lock);
    if (!lock.owns_lock()) throw std::logic_error("tried to define new path but the pathgen is still running");
    SetPathUnavailable();
    chainBroken = false;
    pathKind = cmd ? cmd->motionKind : 1;
    commandQueue[0] = std::move(cmd);
    commandIndexList[0] = commandIndex;
    successorIndexList[0] = successorIndex;
    queuedCount = 1;
    DeleteElements();
    currentElement = 0;
    refusedCode = 0;
    failCode = 0;
    brakeSpeeds.clear();
    if (start != nullptr) startState = *start;
    if (kinematic != nullptr) kinematic->SetJoints(startState.jointSetPoint, false);
    if (debug) LogSingleton::instance()->addFormat("PGLinear::FirstCmd set: %d", pathKind);
}

void PathGenerator_02Linear::SetNextCmd(std::shared_ptr<Command> cmd, int commandIndex, int successorIndex) {
    std::unique_lock<std::recursive_mutex> lock(planningMutex, std::try_to_lock);
    if (!lock.owns_lock()) throw std::logic_error("tried to define new path but the pathgen is still running");
    if (!cmd || cmd->motionKind != pathKind) chainBroken = true;
    if (chainBroken) return;
    LogSingleton* log = LogSingleton::instance();
    if (queuedCount < lookAhead) {
        PathGenerator::SetNextCmd(std::move(cmd), commandIndex, successorIndex);
        if (debug) log->addFormat("PGLinear::NextCmd set: %d", commandQueue[0]->motionKind);
    } else {
        log->add("PGLinear::Could not set Position, look-ahead is limited");
    }
}

void PathGenerator_02Linear::ComputePath() {
    using Programs::PathElement;
    LogSingleton* log = LogSingleton::instance();
    if (debug)
        log->addFormat("PGLinear::ComputePathCart() - starting with %d setPoints, %d elements", queuedCount,
                       static_cast<int>(elements.size()));
    std::lock_guard<std::recursive_mutex> lock(planningMutex);
    DeleteElements();
    if (queuedCount < 1 || static_cast<std::size_t>(queuedCount) > commandQueue.size()) {
        // Without a path the program would wait for it for ever: the planning fails instead.
        char text[160];
        std::snprintf(text, sizeof(text), "PathGen Error in ComputePath(): nrOfSetPoints > setPoints.size(): %d > %d",
                      queuedCount, static_cast<int>(commandQueue.size()));
        log->add(text);
        throw std::runtime_error(text);
    }
    refusedCode = CheckTargets(startState, false);
    if (refusedCode != 0) {
        if (!abortRequest) SetAvailable(true);
        return;
    }
    const bool cartesian = pathKind == 1;
    DataTypes::RobotState start = startState;
    if (kinematic != nullptr && cartesian) {
        // The pose of the set-point joints: the path starts where the joints are.
        kinematic->SetJoints(startState.jointSetPoint, false);
        kinematic->GetPosition(&start);
        start.UpdateABC();
    }
    // A Cartesian command whose path would drive a joint past its velocity limit is planned again, slower.
    std::vector<float> velocityScale(static_cast<std::size_t>(queuedCount), 1.0f);
    // Per Cartesian blend (after its command): the share of the speed of the commands it joins that
    // keeps the joints within their acceleration limits through it.
    std::vector<float> blendShare(static_cast<std::size_t>(queuedCount), 1.0f);
    std::vector<float> reached;
    // Joint path: corners whose blend is planned as an exact stop instead, the corners that had a
    // blend, and the plan with its blends kept while it is compared with stops at every corner.
    std::vector<bool> forcedStop(static_cast<std::size_t>(queuedCount), false);
    std::vector<bool> blended(static_cast<std::size_t>(queuedCount), false);
    std::vector<float> blendScale;
    JointPlan kept;
    bool allStops = false;
    work = PlanningWork{};
    // Each corner is decided from its neighbours, so the whole path is planned a few times at most,
    // however long the chain.
    constexpr int JointDecisionRounds = 3;
    for (int attempt = 0;; ++attempt) {
        ++work.wholePaths;
        DeleteElements();
        DataTypes::RobotState previousTarget = start;
        DataTypes::RobotState segmentStart = start;
        DataTypes::RobotState segmentEnd = start;
        DataTypes::RobotState blendStart = start;
        DataTypes::RobotState corner = start;
        float previousVelocity = 0.0f;
        float previousBlend = 0.0f;
        std::vector<bool> stopCorner;  // per blend: the corner is a stop, not a blend
        std::vector<MainSettings> mains;
        const int n = queuedCount;
        auto limits = [this](PathElement& e) {
            e.SetMotionParameter(jointVelocityLimits, jointAccelerationLimits, jointJerkLimits, cartVelocity,
                                 cartAcceleration, cartJerk, oriVelocity, oriAcceleration, oriJerk);
            e.SetDebugFlag(debug);
        };

        for (int i = 0; i < n && !abortRequest; ++i) {
            const std::size_t q = static_cast<std::size_t>(i);
            Command& command = *commandQueue[q];
            DataTypes::RobotState target = previousTarget;
            float vMms = 0.0f;
            float vPercent = 0.0f;
            float accPercent = 0.0f;
            float smoothPercent = 0.0f;
            command.GetTargetPosition(&previousTarget, &target, vMms, vPercent, accPercent, smoothPercent);
            previousTarget = target;
            const float share = std::min(blendShare[q], q > 0 ? blendShare[q - 1] : 1.0f);
            const float velocity = cartesian ? vMms * velocityScale[q] * share : vPercent / 100.0f;
            const float acceleration = accPercent / 100.0f;
            float blend = smoothPercent * (cartesian ? smoothDistCart : smoothDistJoint) / 100.0f;
            blended[q] = blend > 0.0f;
            // Without a blend distance the corner is a stop: at full speed it would turn on the spot.
            const bool stopAfter = !(blend > 0.0f) || forcedStop[q];
            if (stopAfter) blend = 0.0f;
            const bool first = i == 0;
            const bool last = i == n - 1;
            const bool stopBefore = !first && !(previousBlend > 0.0f);
            const float startVelocity = first || stopBefore ? 0.0f : velocity;
            const float endVelocity = last || stopAfter ? 0.0f : velocity;
            const float cutStart = first ? 0.0f : previousBlend;
            const float cutEnd = last ? 0.0f : blend;

            std::shared_ptr<Programs::PathElementMainBase> main;
            if (!cartesian) {
                main = std::make_shared<Programs::PathElementJointSet>(commandIndexList[q], successorIndexList[q]);
            } else if (command.className == "CommandCircular") {
                main = std::make_shared<Programs::PathElementCircular>(commandIndexList[q], successorIndexList[q],
                                                                       static_cast<CommandCircular&>(command).circle);
            } else {
                main = std::make_shared<Programs::PathElementLine>(commandIndexList[q], successorIndexList[q]);
            }
            limits(*main);
            ++work.mainElements;
            std::shared_ptr<Programs::PathElementSplineBase> blendElement;
            if (!first) {
                if (cartesian) {
                    blendElement = std::make_shared<Programs::PathElementSpline>(commandIndexList[q], successorIndexList[q]);
                } else {
                    blendElement = std::make_shared<Programs::PathElementSpline6>(commandIndexList[q], successorIndexList[q]);
                }
                limits(*blendElement);
                elements.push_back(blendElement);
                stopCorner.push_back(stopBefore);
            }
            main->Init(target, velocity, startVelocity, endVelocity, acceleration, 0.0f, 0.0f);
            std::shared_ptr<const CircleParameters> circle;
            if (cartesian && command.className == "CommandCircular") circle = static_cast<CommandCircular&>(command).circle;
            mains.push_back(
                {target, circle, segmentStart, velocity, startVelocity, endVelocity, acceleration, cutStart, cutEnd});
            main->PrepareGeometry(segmentStart, cutStart, cutEnd, segmentEnd);
            const std::shared_ptr<PathElement> previousMain = first ? nullptr : elements[elements.size() - 2];
            elements.push_back(main);
            if (blendElement) {
                const float x = last ? acceleration : 0.0f;
                const bool nearArc = cartesian && (previousMain->GetType() == "Circular" || main->GetType() == "Circular");
                if (nearArc) {
                    const DataTypes::Vector3 from = blendStart.pose.GetTranslation();
                    const DataTypes::Vector3 to = segmentStart.pose.GetTranslation();
                    const float d = 0.3f * (to - from).Magnitude();
                    DataTypes::RobotState inner1 = corner;
                    inner1.pose.SetTranslation(from + previousMain->endDirection * d);
                    DataTypes::RobotState inner2 = inner1;
                    inner2.pose.SetTranslation(to - main->startDirection * d);
                    static_cast<Programs::PathElementSpline&>(*blendElement)
                        .InitSpline(blendStart, inner1, inner2, segmentStart, velocity, previousVelocity, velocity,
                                    acceleration, x, 0.0f);
                } else {
                    blendElement->InitSpline(blendStart, corner, segmentStart, velocity, previousVelocity, velocity,
                                             acceleration, x, 0.0f);
                }
            }
            previousVelocity = velocity;
            previousBlend = blend;
            if (!last) {
                blendStart = segmentEnd;
                corner = target;
                segmentStart = target;
            }
        }

        // Chain the velocities: each blend starts and ends at what its neighbours reach.
        reached.assign(elements.size(), 0.0f);
        for (std::size_t k = 0; k < elements.size(); ++k) {
            if (k % 2 == 0) elements[k]->PrepareAcceleration();
            reached[k] = elements[k]->GetVel();
        }
        for (std::size_t k = 1; k + 1 < elements.size(); k += 2) {
            const bool stop = stopCorner[k / 2];
            elements[k]->startVelocityFactor = stop ? 0.0f : reached[k - 1];
            elements[k]->endVelocityFactor = stop ? 0.0f : reached[k + 1];
            elements[k]->PrepareAcceleration();
        }
        if (!cartesian && !abortRequest) blendScale = LimitJointBlends(mains, stopCorner, limits);
        float sum = 0.0f;
        for (const auto& e : elements) {
            sum += e->GetDuration();
            endTimes.push_back(sum);
        }
        if (abortRequest) break;
        if (cartesian) {
            if (attempt >= 7 ||
                !SlowForJointLimits(velocityScale, blendShare, forcedStop, mains, limits, attempt >= 5))
                break;
            continue;
        }
        const float total = endTimes.empty() ? 0.0f : endTimes.back();
        if (allStops) {
            // The blends kept cost more than stops at every corner: the stops are taken.
            if (!(total < kept.total)) {
                elements = std::move(kept.elements);
                endTimes = std::move(kept.endTimes);
                reached = std::move(kept.reached);
                blendScale = std::move(kept.scale);
                forcedStop = std::move(kept.forcedStop);
            }
            break;
        }
        if (attempt + 1 < JointDecisionRounds && DecideJointCorners(mains, stopCorner, blendScale, forcedStop, limits))
            continue;
        // A slowed blend kept beside others may still cost more than the stops would as a whole:
        // the same path with a stop at every corner is planned once, and the quicker one is kept.
        bool slowedKept = false;
        for (std::size_t b = 0; b < blendScale.size(); ++b) slowedKept = slowedKept || (!stopCorner[b] && blendScale[b] < 1.0f);
        if (!slowedKept) break;
        kept = {elements, endTimes, reached, blendScale, forcedStop, total};
        for (std::size_t q = 0; q + 1 < forcedStop.size(); ++q) forcedStop[q] = forcedStop[q] || blended[q];
        allStops = true;
    }
    if (!cartesian && !abortRequest) LogJointBlends(forcedStop, blendScale);
    if (cartesian && !abortRequest) PlanBrakeBeforeFailure();
    if (debug) {
        std::string line = "Velocities reached:";
        for (float v : reached) line += " " + std::to_string(v);
        log->add(line);
        for (std::size_t k = 0; k < elements.size(); ++k) {
            log->addFormat("Preparing %s Element %i: finished at t=%f", elements[k]->GetType(), static_cast<int>(k),
                           endTimes[k]);
            log->addFormat("                           %s", elements[k]->ToString());
        }
        log->add("");
    }
    if (abortRequest) {
        // A cancelled path is never published, not even in part.
        log->add("PGLinear: path generation cancelled");
        SetPathUnavailable();
        return;
    }
    SetAvailable(true);
}

namespace {

// Joint velocities (units per second) of an element at time t, from positions 1 ms apart inside it.
void JointVelocityAt(const Programs::PathElement& element, float t, float* velocity) {
    const float h = 1.0f;
    const float from = std::max(0.0f, std::min(t, element.GetDuration() - h));
    DataTypes::RobotState a;
    DataTypes::RobotState b;
    element.GetPosition(from, a);
    element.GetPosition(from + h, b);
    for (int j = 0; j < 9; ++j) velocity[j] = (b.jointSetPoint[j] - a.jointSetPoint[j]) * 1000.0f / h;
}

}  // namespace

float PathGenerator_02Linear::JointBlendExcess(const Programs::PathElement& blend, const float* in, const float* out,
                                               float accelerationFactor) const {
    // Sampled as the drives see it, one 10 ms cycle apart, from the speed it enters with to the one it leaves with.
    const float h = 10.0f;
    const float duration = blend.GetDuration();
    std::vector<std::array<float, 9>> positions;
    std::vector<float> times;
    for (float t = 0.0f;; t += h) {
        const bool last = t >= duration;
        DataTypes::RobotState s;
        blend.GetPosition(last ? duration : t, s);
        std::array<float, 9> q{};
        for (int j = 0; j < 9; ++j) q[static_cast<std::size_t>(j)] = s.jointSetPoint[j];
        positions.push_back(q);
        times.push_back(last ? duration : t);
        if (last) break;
    }
    std::vector<std::array<float, 9>> velocities;
    std::vector<float> at;
    velocities.push_back({});
    for (int j = 0; j < 9; ++j) velocities.back()[static_cast<std::size_t>(j)] = in[j];
    at.push_back(0.0f);
    for (std::size_t k = 1; k < positions.size(); ++k) {
        const float dt = times[k] - times[k - 1];
        if (!(dt > 0.01f)) continue;
        std::array<float, 9> v{};
        for (std::size_t j = 0; j < 9; ++j) v[j] = (positions[k][j] - positions[k - 1][j]) * 1000.0f / dt;
        velocities.push_back(v);
        at.push_back(0.5f * (times[k] + times[k - 1]));
    }
    velocities.push_back({});
    for (int j = 0; j < 9; ++j) velocities.back()[static_cast<std::size_t>(j)] = out[j];
    at.push_back(duration);
    const float accFactor = accelerationFactor > 0.0f ? std::min(accelerationFactor, 1.0f) : 1.0f;
    // The acceleration over 50 ms windows within the limit, from one cycle to the next within 1.25 times it.
    constexpr std::size_t Window = 5;
    constexpr float CycleTolerance = 1.25f;
    float excess = 0.0f;
    for (std::size_t k = 0; k < velocities.size(); ++k) {
        for (std::size_t j = 0; j < 9; ++j) {
            if (jointVelocityLimits[j] > 0.0f)
                excess = std::max(excess, std::fabs(velocities[k][j]) / jointVelocityLimits[j]);
            if (k == 0 || !(jointAccelerationLimits[j] > 0.0f)) continue;
            const float limit = jointAccelerationLimits[j] * accFactor;
            const float dt = std::max(h, at[k] - at[k - 1]) / 1000.0f;
            const float cycle = std::fabs(velocities[k][j] - velocities[k - 1][j]) / dt;
            excess = std::max(excess, std::sqrt(cycle / (limit * CycleTolerance)));
            const std::size_t w = k >= Window ? k - Window : 0;
            const float span = std::max(h * Window, at[k] - at[w]) / 1000.0f;
            const float window = std::fabs(velocities[k][j] - velocities[w][j]) / span;
            excess = std::max(excess, std::sqrt(window / limit));
        }
    }
    return excess;
}

std::shared_ptr<Programs::PathElement> PathGenerator_02Linear::PlanMain(
    const MainSettings& s, const Programs::PathElement& old, float share, bool stopAtStart, bool stopAtEnd,
    const std::function<void(Programs::PathElement&)>& limits) {
    ++work.mainElements;
    // Built afresh: a profile keeps phases of its earlier planning.
    std::shared_ptr<Programs::PathElementMainBase> main;
    if (pathKind != 1) {
        main = std::make_shared<Programs::PathElementJointSet>(old.commandIndex, old.successorIndex);
    } else if (s.circle) {
        main = std::make_shared<Programs::PathElementCircular>(old.commandIndex, old.successorIndex, s.circle);
    } else {
        main = std::make_shared<Programs::PathElementLine>(old.commandIndex, old.successorIndex);
    }
    limits(*main);
    main->Init(s.target, s.velocity * share, stopAtStart ? 0.0f : s.startVelocity * share,
               stopAtEnd ? 0.0f : s.endVelocity * share, s.acceleration, 0.0f, 0.0f);
    DataTypes::RobotState start = s.segmentStart;
    DataTypes::RobotState end = s.segmentStart;
    main->PrepareGeometry(start, stopAtStart ? 0.0f : s.cutStart, stopAtEnd ? 0.0f : s.cutEnd, end);
    main->PrepareAcceleration();
    return main;
}

std::vector<float> PathGenerator_02Linear::LimitJointBlends(const std::vector<MainSettings>& mains,
                                                            const std::vector<bool>& stopCorner,
                                                            const std::function<void(Programs::PathElement&)>& limits) {
    const std::size_t blends = elements.size() / 2;
    std::vector<float> scale(blends, 1.0f);  // per blend: the share of the neighbours' speed it joins at
    // A main element's profile starts and ends at rest or at its cruise speed, so the element is
    // slowed as a whole, to the slowest of the blends beside it. Where that costs more than a stop
    // at the corner, the blend becomes a stop (DecideJointCorners).
    auto initMain = [&](std::size_t m) {
        float f = 1.0f;
        if (m > 0) f = std::min(f, scale[m - 1]);
        if (m < blends) f = std::min(f, scale[m]);
        elements[2 * m] = PlanMain(mains[m], *elements[2 * m], f, false, false, limits);
    };
    // Slowing a blend changes the elements beside it, so only the blends next to those are checked
    // again: each blend is looked at a bounded number of times.
    std::vector<std::size_t> pending;
    std::vector<bool> queued(blends, false);
    for (std::size_t b = blends; b-- > 0;) {
        pending.push_back(b);
        queued[b] = true;
    }
    auto recheck = [&](std::size_t b) {
        if (b < blends && !queued[b]) {
            pending.push_back(b);
            queued[b] = true;
        }
    };
    for (std::size_t looks = 0; !pending.empty() && looks < 40 * (blends + 1) && !abortRequest; ++looks) {
        const std::size_t b = pending.back();
        pending.pop_back();
        queued[b] = false;
        if (stopCorner[b]) continue;
        auto& blend = static_cast<Programs::PathElementSpline6&>(*elements[2 * b + 1]);
        float in[9];
        float out[9];
        JointVelocityAt(*elements[2 * b], elements[2 * b]->GetDuration(), in);
        JointVelocityAt(*elements[2 * b + 2], 0.0f, out);
        blend.SetJoinVelocities(in, out);
        blend.PrepareAcceleration();
        const float excess = JointBlendExcess(blend, in, out, mains[b + 1].acceleration);
        if (!(excess > 1.0f) || !(scale[b] >= MinimumBlendShare)) continue;
        // Below a fair share of the taught speed the blend would crawl: it becomes a stop.
        scale[b] = std::max(scale[b] * std::max(0.5f, 0.95f / excess), 0.5f * MinimumBlendShare);
        initMain(b);
        initMain(b + 1);
        recheck(b);
        if (b > 0) recheck(b - 1);
        recheck(b + 1);
    }
    return scale;
}

bool PathGenerator_02Linear::DecideJointCorners(const std::vector<MainSettings>& mains, std::vector<bool> stopCorner,
                                                const std::vector<float>& scale, std::vector<bool>& forcedStop,
                                                const std::function<void(Programs::PathElement&)>& limits) {
    const std::size_t blends = scale.size();
    bool changed = false;
    for (std::size_t b = 0; b < blends && !abortRequest; ++b) {
        if (stopCorner[b] || !(scale[b] < 1.0f)) continue;
        bool stop = scale[b] < MinimumBlendShare;
        if (!stop) {
            // The two elements beside the corner, with the blend slowed or with a stop there; their
            // other ends stay as they are planned.
            const float left = b > 0 && !stopCorner[b - 1] ? scale[b - 1] : 1.0f;
            const float right = b + 1 < blends && !stopCorner[b + 1] ? scale[b + 1] : 1.0f;
            const bool startStops = b == 0 || stopCorner[b - 1];
            const bool endStops = b + 1 >= blends || stopCorner[b + 1];
            const auto& before = *elements[2 * b];
            const auto& after = *elements[2 * b + 2];
            const float blendTime = PlanMain(mains[b], before, std::min(left, scale[b]), startStops, false, limits)
                                        ->GetDuration() +
                                    elements[2 * b + 1]->GetDuration() +
                                    PlanMain(mains[b + 1], after, std::min(right, scale[b]), false, endStops, limits)
                                        ->GetDuration();
            const float stopTime = PlanMain(mains[b], before, left, startStops, true, limits)->GetDuration() +
                                   PlanMain(mains[b + 1], after, right, true, endStops, limits)->GetDuration();
            stop = stopTime < blendTime;
        }
        if (!stop) continue;
        forcedStop[b] = true;
        stopCorner[b] = true;
        changed = true;
    }
    return changed;
}

void PathGenerator_02Linear::LogJointBlends(const std::vector<bool>& forcedStop, const std::vector<float>& scale) {
    LogSingleton* log = LogSingleton::instance();
    for (std::size_t b = 0; b + 1 < forcedStop.size() && b < scale.size(); ++b) {
        if (forcedStop[b]) {
            log->addFormat("PGLinear: joint limits turn the blend after command %d into a stop at its corner",
                           commandIndexList[b]);
        } else if (scale[b] < 1.0f) {
            log->addFormat("PGLinear: joint limits slow the blend after command %d to %.0lf %%", commandIndexList[b],
                           static_cast<double>(scale[b] * 100.0f));
        }
    }
}

int PathGenerator_02Linear::WalkPath(const std::function<void(std::size_t, const float*, double)>& visit,
                                     double& reached) const {
    reached = 0.0;
    if (kinematic == nullptr || elements.empty()) return 0;
    const double h = 10.0;
    kinematic->SetJoints(startState.jointSetPoint, false);
    const double total = endTimes.back();
    std::size_t k = 0;
    double from = 0.0;
    int code = 0;
    try {
        for (double t = h;; t += h) {
            const double at = std::min(t, total);
            while (k + 1 < elements.size() && !(at < endTimes[k])) from = endTimes[k++];
            DataTypes::RobotState state;
            elements[k]->GetPosition(static_cast<float>(at - from), state);
            TransformPosition(pathKind, state);
            visit(k, state.jointSetPoint, at - reached);
            reached = at;
            if (at >= total) break;
        }
    } catch (int thrown) {
        code = thrown;
    }
    kinematic->SetJoints(startState.jointSetPoint, false);
    return code;
}

bool PathGenerator_02Linear::SlowForJointLimits(std::vector<float>& velocityScale, std::vector<float>& blendShare,
                                                std::vector<bool>& forcedStop, const std::vector<MainSettings>& mains,
                                                const std::function<void(Programs::PathElement&)>& limits,
                                                bool lastAttempt) {
    // Per command: the worst ratio on its main element and on the blend after it.
    std::vector<float> worst(velocityScale.size(), 0.0f);
    std::vector<int> worstJoint(velocityScale.size(), -1);
    std::vector<float> worstBlend(velocityScale.size(), 0.0f);
    std::vector<int> worstBlendJoint(velocityScale.size(), -1);
    // Per cycle of the walk: its element and the joint velocities (units per second).
    std::vector<std::size_t> elementOf;
    std::vector<std::array<float, 6>> velocities;
    float previous[9];
    for (int j = 0; j < 9; ++j) previous[j] = startState.jointSetPoint[j];
    double reached = 0.0;
    // A path that fails on its way is braked before the failure (PlanBrakeBeforeFailure).
    WalkPath(
        [&](std::size_t element, const float* joints, double dt) {
            const bool blend = element % 2 == 1;
            const std::size_t command = element / 2;  // a blend follows its command
            std::vector<float>& ratios = blend ? worstBlend : worst;
            std::vector<int>& joint = blend ? worstBlendJoint : worstJoint;
            std::array<float, 6> v{};
            for (int j = 0; j < 6; ++j) {
                v[static_cast<std::size_t>(j)] =
                    dt > 0.0 ? static_cast<float>((joints[j] - previous[j]) * 1000.0 / dt) : 0.0f;
                const float ratio =
                    jointVelocityLimits[j] > 0.0f ? std::fabs(v[static_cast<std::size_t>(j)]) / jointVelocityLimits[j] : 0.0f;
                previous[j] = joints[j];
                if (command < ratios.size() && ratio > ratios[command]) {
                    ratios[command] = ratio;
                    joint[command] = j;
                }
            }
            elementOf.push_back(element);
            velocities.push_back(v);
        },
        reached);
    // Per blend: how far the joints' accelerations around it go past their limits, over 50 ms
    // windows (within 95 %) and from one cycle to the next (within 120 %), and the joint.
    std::vector<float> accelerationExcess(velocityScale.size(), 0.0f);
    std::vector<int> accelerationJoint(velocityScale.size(), -1);
    constexpr std::size_t Window = 5;
    const float h = 0.01f;
    for (std::size_t k = 1; k < velocities.size(); ++k) {
        const std::size_t w = k >= Window ? k - Window : 0;
        for (int j = 0; j < 6; ++j) {
            const float limit = jointAccelerationLimits[j];
            if (!(limit > 0.0f)) continue;
            const std::size_t u = static_cast<std::size_t>(j);
            const float cycle = std::fabs(velocities[k][u] - velocities[k - 1][u]) / h / (1.2f * limit);
            const float window =
                k >= Window ? std::fabs(velocities[k][u] - velocities[w][u]) / (h * Window) / (0.95f * limit) : 0.0f;
            // Charged to each blend the cycles or the window touch.
            for (std::size_t i = w; i <= k; ++i) {
                if (elementOf[i] % 2 == 0) continue;
                const std::size_t b = elementOf[i] / 2;
                const float excess = i + 1 >= k ? std::max(cycle, window) : window;
                if (b < accelerationExcess.size() && excess > accelerationExcess[b]) {
                    accelerationExcess[b] = excess;
                    accelerationJoint[b] = j;
                }
            }
        }
    }
    bool slowed = false;
    LogSingleton* log = LogSingleton::instance();
    for (std::size_t c = 0; c < worst.size(); ++c) {
        // A blend joins the speeds of the commands beside it, so slowing them would slow both as a
        // whole: the corner becomes a stop instead, as without a blend.
        if (worstBlend[c] > 1.0f && !forcedStop[c]) {
            forcedStop[c] = true;
            blendShare[c] = 1.0f;  // a stop needs no slowing
            slowed = true;
            log->addFormat("PGLinear: joint %d turns the blend after command %d into a stop at its corner",
                           worstBlendJoint[c] + 1, commandIndexList[c]);
        }
        if (!(worst[c] > 1.0f)) continue;
        const bool first = velocityScale[c] == 1.0f;
        velocityScale[c] *= 0.97f / worst[c];
        slowed = true;
        if (first)
            log->addFormat("PGLinear: joint %d limits the velocity of command %d to %.0lf %%", worstJoint[c] + 1,
                           commandIndexList[c], static_cast<double>(velocityScale[c] * 100.0f));
    }
    const std::size_t blends = elements.size() / 2;
    for (std::size_t b = 0; b < blends && b + 1 < mains.size(); ++b) {
        if (forcedStop[b] || !(accelerationExcess[b] > 1.0f)) continue;
        // The accelerations of a path grow with the square of its speed.
        const float k = std::min(0.95f, 0.97f / std::sqrt(accelerationExcess[b]));
        bool stop = lastAttempt || blendShare[b] * k < MinimumBlendShare;
        if (!stop) {
            // The two commands beside the corner, slowed with the blend or with a stop there
            // instead; their other ends stay as they are planned.
            const float left = b > 0 ? blendShare[b - 1] : 1.0f;
            const float right = b + 2 < blendShare.size() ? blendShare[b + 1] : 1.0f;
            const float now = blendShare[b];
            const auto& before = *elements[2 * b];
            const auto& after = *elements[2 * b + 2];
            const float slowTime =
                PlanMain(mains[b], before, std::min(left, now * k) / std::min(left, now), false, false, limits)
                    ->GetDuration() +
                elements[2 * b + 1]->GetDuration() / k +
                PlanMain(mains[b + 1], after, std::min(right, now * k) / std::min(right, now), false, false, limits)
                    ->GetDuration();
            const float stopTime =
                PlanMain(mains[b], before, std::min(left, 1.0f) / std::min(left, now), false, true, limits)->GetDuration() +
                PlanMain(mains[b + 1], after, std::min(right, 1.0f) / std::min(right, now), true, false, limits)
                    ->GetDuration();
            stop = !(slowTime < stopTime);
        }
        slowed = true;
        if (stop) {
            forcedStop[b] = true;
            blendShare[b] = 1.0f;  // a stop needs no slowing
            log->addFormat("PGLinear: the acceleration of joint %d turns the blend after command %d into a stop at its corner",
                           accelerationJoint[b] + 1, commandIndexList[b]);
        } else {
            const bool first = blendShare[b] == 1.0f;
            blendShare[b] *= k;
            if (first)
                log->addFormat("PGLinear: the acceleration of joint %d slows the blend after command %d to %.0lf %%",
                               accelerationJoint[b] + 1, commandIndexList[b], static_cast<double>(blendShare[b] * 100.0f));
        }
    }
    return slowed;
}

void PathGenerator_02Linear::PlanBrakeBeforeFailure() {
    failCode = 0;
    brakeSpeeds.clear();
    const double h = 10.0;
    std::vector<std::array<double, 6>> positions;  // joints per cycle of path time, from the start
    positions.emplace_back();
    for (std::size_t j = 0; j < 6; ++j) positions.back()[j] = startState.jointSetPoint[j];
    double reached = 0.0;
    failCode = WalkPath(
        [&](std::size_t, const float* joints, double) {
            std::array<double, 6> q{};
            for (std::size_t j = 0; j < 6; ++j) q[j] = joints[j];
            positions.push_back(q);
        },
        reached);
    if (failCode == 0) return;
    stopTime = reached;
    brakeStart = stopTime;
    // Joint position at a path time, smooth between the planned cycles (Catmull-Rom), so that the
    // steps of a braking that falls between them still change evenly.
    const std::size_t last = positions.size() - 1;
    auto positionAt = [&](double at, std::size_t j) {
        const double x = std::min(std::max(at / h, 0.0), static_cast<double>(last));
        const std::size_t k = std::min(static_cast<std::size_t>(x), last > 0 ? last - 1 : 0);
        const double u = x - static_cast<double>(k);
        // Beyond either end the path goes on as its last three cycles curve.
        auto sample = [&](std::ptrdiff_t i) {
            const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(last);
            if (n < 2 || (i >= 0 && i <= n)) return positions[static_cast<std::size_t>(std::min(std::max(i, std::ptrdiff_t{0}), n))][j];
            const std::size_t e = i < 0 ? 0 : last;
            const std::size_t e1 = i < 0 ? 1 : last - 1;
            const std::size_t e2 = i < 0 ? 2 : last - 2;
            return 3.0 * positions[e][j] - 3.0 * positions[e1][j] + positions[e2][j];
        };
        const std::ptrdiff_t i1 = static_cast<std::ptrdiff_t>(k);
        const double p0 = sample(i1 - 1);
        const double p1 = sample(i1);
        const double p2 = sample(i1 + 1);
        const double p3 = sample(i1 + 2);
        return p1 + 0.5 * u * (p2 - p0 + u * (2.0 * p0 - 5.0 * p1 + 4.0 * p2 - p3 + u * (3.0 * (p1 - p2) + p3 - p0)));
    };
    // The braking lowers the path speed from the planned one to a stand at the failing point along
    // a smooth step (its acceleration starts and ends at none), over as few cycles as keep each
    // joint within 80 % of its acceleration limit and within its jerk limit from one cycle to the
    // next, the path's own curvature included, and the cycles before it at full speed.
    const double cycle = h / 1000.0;  // s
    auto shareOf = [](int k, int count) {
        const double x = static_cast<double>(k + 1) / static_cast<double>(count + 1);
        return 1.0 - x * x * (3.0 - 2.0 * x);
    };
    // Path times of the cycles of a braking over `count` cycles that ends at the stand; empty when
    // it would have to start before the path does.
    auto timesOf = [&](int count) {
        double distance = 0.0;
        for (int k = 0; k < count; ++k) distance += h * shareOf(k, count);
        std::vector<double> times;
        double at = stopTime - distance;
        if (at < 0.0) return times;
        times.push_back(at);
        for (int k = 0; k < count; ++k) {
            at += h * shareOf(k, count);
            times.push_back(k + 1 == count ? stopTime : at);
        }
        return times;
    };
    // How far the worst joint goes past its limits (1: at them) over a braking.
    auto excessOf = [&](const std::vector<double>& times) {
        std::vector<double> at;
        for (int k = 3; k > 0; --k) at.push_back(times.front() - k * h);  // at full speed before
        at.insert(at.end(), times.begin(), times.end());
        for (int k = 0; k < 3; ++k) at.push_back(stopTime);  // standing after
        double excess = 0.0;
        for (std::size_t j = 0; j < 6; ++j) {
            const double acc = 0.8 * static_cast<double>(jointAccelerationLimits[j]) * cycle * cycle;
            const double jerk = static_cast<double>(jointJerkLimits[j]) * cycle * cycle * cycle;
            std::vector<double> q;
            for (double t : at) q.push_back(positionAt(t, j));
            for (std::size_t k = 3; k < q.size(); ++k) {
                const double a1 = q[k] - 2.0 * q[k - 1] + q[k - 2];
                const double a0 = q[k - 1] - 2.0 * q[k - 2] + q[k - 3];
                if (acc > 0.0) excess = std::max(excess, std::fabs(a1) / acc);
                // Where all four cycles run at full speed, the path's own jerk is not the braking's.
                if (jerk > 0.0 && k > 3) excess = std::max(excess, std::fabs(a1 - a0) / jerk);
            }
        }
        return excess;
    };
    std::vector<double> chosen;
    double least = std::numeric_limits<double>::max();
    for (int count = 1; count <= 1000 && !abortRequest; ++count) {
        std::vector<double> times = timesOf(count);
        if (times.empty()) break;
        const double excess = excessOf(times);
        if (excess < least) {
            least = excess;
            chosen = std::move(times);
        }
        if (!(excess > 1.0)) break;
    }
    // The cycle that ends where the braking starts still runs at the planned speed.
    if (chosen.size() > 1 && chosen.front() > h) brakeSpeeds.emplace_back(chosen.front() - h, 1.0);
    for (std::size_t k = 1; k < chosen.size(); ++k) brakeSpeeds.emplace_back(chosen[k - 1], (chosen[k] - chosen[k - 1]) / h);
    brakeStart = brakeSpeeds.empty() ? stopTime : brakeSpeeds.front().first;
    LogSingleton::instance()->addFormat("PGLinear: path fails at %.0lf ms (%s), braking from %.0lf ms", stopTime + h,
                                        IPO::KinematicErrorText(failCode), brakeStart);
}

double PathGenerator_02Linear::BrakeSpeedAt(double t) const {
    if (brakeSpeeds.empty()) return 0.0;
    if (t < brakeSpeeds.front().first) return 1.0;
    const auto next = std::upper_bound(brakeSpeeds.begin(), brakeSpeeds.end(), std::make_pair(t, 2.0));
    const auto& from = *(next - 1);
    if (next == brakeSpeeds.end()) return from.second;
    const double span = next->first - from.first;
    const double w = span > 0.0 ? (t - from.first) / span : 0.0;
    return from.second + (next->second - from.second) * w;
}

int PathGenerator_02Linear::GetJointPosition(long timeFrom, long timeTo, long cycleTime,
                                             const DataTypes::RobotState& current, double velocityLimit,
                                             float* joints, int& commandIndex, long& usedTime) {
    if (!IsPathAvailable()) {
        const char* text = "PGLinear: Tried to get position but path is not available";
        LogSingleton::instance()->addError(text);
        throw std::runtime_error(text);
    }
    if (refusedCode != 0) {
        // Held where it stands: the refusal reaches the interpreter before any motion, naming the
        // command whose target was refused.
        for (int i = 0; i < 9; ++i) joints[i] = startState.jointSetPoint[i];
        commandIndex = refusedCommand >= 0 ? refusedCommand : commandIndexList[0];
        usedTime = 0;
        throw refusedCode;
    }
    // In ms without truncation: a step under 1 ms must still advance.
    const double t0 = static_cast<double>(timeFrom) / 1000.0;
    double t1 = static_cast<double>(timeTo) / 1000.0;
    if (failCode != 0 && t0 >= brakeStart) {
        // Braking before the point where the path fails: never a stop from full speed. Within a
        // microsecond of it (the step's rounding) the arm stands there.
        if (t0 >= stopTime - 0.001) {
            commandIndex = elements[static_cast<std::size_t>(currentElement)]->commandIndex;
            usedTime = 0;
            throw failCode;
        }
        t1 = std::min({t1, t0 + BrakeSpeedAt(t0) * static_cast<double>(cycleTime), stopTime});
    }
    double usedDt = 0.0;
    int element = currentElement;
    const int result = CalculatePosition(current, currentElement, t0, t1, static_cast<double>(cycleTime),
                                         velocityLimit, joints, element, usedDt, 10);
    currentElement = element;
    usedTime = std::lround(usedDt * 1000.0);
    if (result == 0) {
        commandIndex = elements[static_cast<std::size_t>(currentElement)]->commandIndex;
        return -1;
    }
    commandIndex = elements.back()->commandIndex;
    if (debug) LogSingleton::instance()->addFormat("PGLinear: path finished, successor %d", elements.back()->successorIndex);
    return elements.back()->successorIndex;
}

int PathGenerator_02Linear::CalculatePosition(const DataTypes::RobotState& current, int startElement, double t0,
                                              double t1, double cycleTime, double velocityLimit, float* joints,
                                              int& element, double& usedDt, int recursionsLeft) const {
    if (elements.size() != endTimes.size() || elements.empty())
        throw std::runtime_error("PGLinear: elem.size() == endTimes.size()");
    const int count = static_cast<int>(elements.size());
    for (;;) {
        element = startElement < 0 ? 0 : startElement;
        DataTypes::RobotState state;
        int result = 1;
        double startTime = element > 0 && element <= count ? endTimes[static_cast<std::size_t>(element - 1)] : 0.0;
        while (element < count &&
               !elements[static_cast<std::size_t>(element)]->IsTimeInRange(static_cast<float>(t1 - startTime))) {
            startTime = endTimes[static_cast<std::size_t>(element)];
            ++element;
        }
        if (element >= count) {
            const Programs::PathElement& lastElement = *elements.back();
            lastElement.GetPosition(lastElement.GetDuration(), state);
            TransformPosition(pathKind, state);
            for (int i = 0; i < 9; ++i) joints[i] = state.jointSetPoint[i];
            usedDt = t1 - t0;
            return 1;
        }
        result = elements[static_cast<std::size_t>(element)]->GetPosition(static_cast<float>(t1 - startTime), state);
        TransformPosition(pathKind, state);
        const double distance = (current.pose.GetTranslation() - state.pose.GetTranslation()).Magnitude();
        usedDt = t1 - t0;
        const double speed = distance * 1000.0 / cycleTime;
        if (usedDt == 0.0 || velocityLimit < 0.0 || speed <= velocityLimit) {
            for (int i = 0; i < 9; ++i) joints[i] = state.jointSetPoint[i];
            return result;
        }
        if (recursionsLeft == 0) {
            LogSingleton::instance()->addFormat("PathGen could not find position, recursion exceeded: VelMax = %f, VelActual = %f",
                                                velocityLimit, speed);
            for (int i = 0; i < 9; ++i) joints[i] = state.jointSetPoint[i];
            return result;
        }
        const double factor = std::min(0.99, velocityLimit / speed);
        t1 = t0 + usedDt * factor;
        --recursionsLeft;
    }
}

void PathGenerator_02Linear::TransformPosition(CommandType kind, DataTypes::RobotState& state) const {
    if (kinematic == nullptr) throw std::runtime_error("PGLinear: no kinematic model");
    if (kind == 1) {
        kinematic->SetPosition(state.pose, state.jointSetPoint);
        kinematic->GetJoints(state.jointSetPoint);
    } else {
        kinematic->SetJoints(state.jointSetPoint, false);
        kinematic->GetPosition(&state);
    }
}
