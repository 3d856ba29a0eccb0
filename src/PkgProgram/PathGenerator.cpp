#include "PkgProgram/PathGenerator.h"

#include <unistd.h>

#include <stdexcept>
#include <thread>

#include "PkgProgram/Command.h"
#include "common/LogSingleton.h"

AccHandler::AccHandler(float maxAcc, float extraValue) : extra(extraValue) {
    for (int i = 0; i < 9; ++i) {
        maximum[i] = maxAcc;
        current[i] = 0.0f;
    }
}

float* AccHandler::RequestAcc(float /*unused*/) {
    for (int i = 0; i < 9; ++i) current[i] = maximum[i] * (percentage / 100.0f);
    return current;
}

void AccHandler::ResetAcc() {
    for (float& v : current) v = 0.0f;
}

PathGenerator::PathGenerator(int look) : lookAhead(look < 0 ? 0 : look) {
    commandQueue.resize(static_cast<std::size_t>(lookAhead) + 1);
    commandIndexList.resize(static_cast<std::size_t>(lookAhead) + 1, -1);
    successorIndexList.resize(static_cast<std::size_t>(lookAhead) + 1, -1);
}

PathGenerator::~PathGenerator() { AbortAndWait(); }

void PathGenerator::AbortAndWait() {
    if (!working.load()) return;
    // The thread clears the request when it starts planning: keep asking.
    while (working.load()) {
        abortRequest = true;
        usleep(1000);
    }
}

void PathGenerator::SetNextCmd(std::shared_ptr<Command> cmd, int commandIndex, int successorIndex) {
    std::lock_guard<std::recursive_mutex> lock(planningMutex);
    if (queuedCount < lookAhead) {
        const std::size_t at = static_cast<std::size_t>(queuedCount);
        commandQueue[at] = std::move(cmd);
        commandIndexList[at] = commandIndex;
        successorIndexList[at] = successorIndex;
        ++queuedCount;
    } else {
        LogSingleton::instance()->addFormat("PathGen: Could not set Position, look-ahead is limited to %d",
                                            lookAhead);
    }
}

void PathGenerator::SetLookAhead(int n) {
    std::lock_guard<std::recursive_mutex> lock(planningMutex);
    lookAhead = n < 0 ? 0 : n;
    const std::size_t size = static_cast<std::size_t>(lookAhead) + 1;
    // Entries beyond the new size stay unused; the queue is never shorter than a full look-ahead.
    if (commandQueue.size() < size) {
        commandQueue.resize(size);
        commandIndexList.resize(size, -1);
        successorIndexList.resize(size, -1);
    }
}

void PathGenerator::SetPathUnavailable() {
    available = false;
    failed = false;
    SetGenerationError("");
}

std::string PathGenerator::GetGenerationError() const {
    std::lock_guard<std::mutex> lock(errorMutex);
    return errorText;
}

void PathGenerator::SetGenerationError(const std::string& text) {
    std::lock_guard<std::mutex> lock(errorMutex);
    errorText = text;
}

void PathGenerator::ComputePathStartThread() {
    LogSingleton* log = LogSingleton::instance();
    if (debug) log->add("PathGen: Computing path in seperate Thread...");
    std::unique_lock<std::recursive_mutex> lock(planningMutex, std::try_to_lock);
    if (!lock.owns_lock() || working.load()) {
        log->addError("PathGen: Could not start compute thread, already running. This should never happen.");
        return;
    }
    working = true;
    optimize = log->get_pathGeneratorFlagOptimize();
    std::thread(&PathGenerator::ThreadPathGeneration, this).detach();
}

void PathGenerator::ThreadPathGeneration() {
    LogSingleton* log = LogSingleton::instance();
    working = true;
    if (debug)
        log->add(optimize ? "Starting PathGen thread with optimization..."
                          : "Starting PathGen thread WITHOUT optimization...");
    std::unique_lock<std::recursive_mutex> lock(planningMutex, std::defer_lock);
    while (!lock.try_lock()) {
        abortRequest = true;
        usleep(5000);
    }
    available = false;
    failed = false;
    abortRequest = false;
    SetGenerationError("");
    auto fail = [&](const std::string& text) {
        available = false;
        SetGenerationError(text);
        failed = true;
        if (eventCallback != nullptr) eventCallback(HXPEventError, 0, 0, "PathGen ERROR: " + text);
    };
    try {
        ComputePath();
    } catch (const std::invalid_argument& e) {
        log->addFormat("Invalid argument during path generation: %s", e.what());
        fail(e.what());
    } catch (const std::exception& e) {
        log->addFormat("Exception during path generation: %s", e.what());
        fail(e.what());
    } catch (int code) {
        // A bare kinematic code must not end the process.
        const std::string text = "kinematic error " + std::to_string(code);
        log->addFormat("Exception during path generation: %s", text);
        fail(text);
    } catch (...) {
        log->add("Exception during path generation: unknown");
        fail("unknown exception");
    }
    if (debug) {
        log->add("PathGen thread finished...");
        log->add("");
    }
    // Let go of the mutex first: whoever waits for the working flag may destroy this object.
    lock.unlock();
    working = false;
}
