#include "vision/CameraThread.h"

namespace Camera {

CameraThread::~CameraThread() { Stop(); }

void CameraThread::Start(std::function<void()> body) {
    std::unique_lock<std::mutex> lock(mutex);
    if (running) return;
    // A thread that ended on its own is collected first.
    std::thread ended = std::move(thread);
    running = true;
    thread = std::thread(std::move(body));
    lock.unlock();
    if (ended.joinable()) ended.join();
}

void CameraThread::Stop() {
    std::unique_lock<std::mutex> lock(mutex);
    running = false;
    wake.notify_all();
    std::thread stopped = std::move(thread);
    lock.unlock();
    if (stopped.joinable()) stopped.join();
}

bool CameraThread::Pause(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(mutex);
    wake.wait_for(lock, duration, [this] { return !running; });
    return running;
}

}  // namespace Camera
