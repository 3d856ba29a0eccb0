#pragma once
// A camera's worker thread with its run flag: started once, paused in steps
// that a stop cuts short, and always joined before its owner goes away.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace Camera {

class CameraThread {
public:
    CameraThread() = default;
    // Stops and joins.
    ~CameraThread();
    CameraThread(const CameraThread&) = delete;
    CameraThread& operator=(const CameraThread&) = delete;

    // Runs the body on a new thread unless one is running. The flag is set
    // before the thread starts, so a Stop that comes first still ends it.
    void Start(std::function<void()> body);
    // Clears the flag, cuts a pause short and waits for the thread.
    void Stop();
    bool IsRunning() const { return running; }
    // For the body: waits the duration unless stopped; true while still running.
    bool Pause(std::chrono::milliseconds duration);
    // For the body: marks the thread ended on its own, so it can be started again.
    void MarkEnded() { running = false; }

private:
    std::atomic<bool> running{false};
    std::mutex mutex;
    std::condition_variable wake;
    std::thread thread;
};

}  // namespace Camera
