#include "engine/work_pool.h"

#include <algorithm>
#include <system_error>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

namespace dunmorel {

WorkPool::WorkPool(int cores) : threads_made_for_(std::max(1, cores)), cores_(threads_made_for_) {}

void WorkPool::limit_cores(int cores) {
    std::lock_guard<std::mutex> lock(mutex_);
    cores_ = std::clamp(cores, 1, threads_made_for_);
}

int WorkPool::cores() {
    std::lock_guard<std::mutex> lock(mutex_);
    return cores_;
}

WorkPool::~WorkPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
#ifdef _WIN32
    // Reached only when the process ends (the module is pinned once threads exist), after
    // Windows has stopped every other thread: a join would wait for a thread-exit signal that a
    // stopped thread never gives.
    for (std::thread& t : threads_) t.detach();
#else
    for (std::thread& t : threads_) t.join();
#endif
}

WorkPool& WorkPool::shared() {
    // A function-local object of the plug-in: when a host unloads the plug-in, its destructor runs
    // first and joins the threads, so none is left running code that is gone.
    static WorkPool pool(static_cast<int>(std::thread::hardware_concurrency()));
    return pool;
}

void WorkPool::start_threads() {
    // Threads are made on the first job that could use them, not at load: a host that loads the
    // plug-in without filtering anything pays nothing. Failing to start one just leaves the work
    // to the callers.
    started_ = true;
#ifdef _WIN32
    // A Windows DLL cannot join its threads while it is unloaded: the loader's lock is held then
    // and an exiting thread needs it. So once the pool has threads, the module holding it stays
    // loaded until the process ends, and its threads with it.
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&WorkPool::shared), &self);
#endif
    for (int i = 1; i < threads_made_for_; ++i) {
        try {
            threads_.emplace_back([this] { helper_loop(); });
        } catch (const std::system_error&) {
            break;
        }
    }
}

bool WorkPool::has_spare_core() {
    std::lock_guard<std::mutex> lock(mutex_);
    return cores_ > 1 && busy_ + 1 < cores_;
}

void WorkPool::work_on(Job& job, std::unique_lock<std::mutex>& lock) {
    ++busy_;
    while (job.next < job.count) {
        const std::size_t i = job.next++;
        // Only jobs with items left stay queued, so a helper never waits on an exhausted one.
        if (job.next == job.count) {
            const auto queued = std::find(jobs_.begin(), jobs_.end(), &job);
            if (queued != jobs_.end()) jobs_.erase(queued);
        }
        lock.unlock();
        job.call(job.task, i);
        lock.lock();
        if (++job.finished == job.count) finished_.notify_all();
    }
    --busy_;
    // A core is free again: a helper that waited for one may take another caller's job.
    if (!jobs_.empty()) wake_.notify_one();
}

void WorkPool::run_items(std::size_t count, void (*call)(void*, std::size_t), void* task) {
    if (count == 0) return;
    Job job{count, call, task};
    std::unique_lock<std::mutex> lock(mutex_);
    const bool shared_out = count > 1 && threads_made_for_ > 1;
    if (shared_out) {
        if (!started_) start_threads();
        jobs_.push_back(&job);
        wake_.notify_all();
    }
    work_on(job, lock);
    // The job left the queue with its last item; helpers still on it finish theirs.
    finished_.wait(lock, [&] { return job.finished == job.count && job.helpers == 0; });
}

void WorkPool::helper_loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || (!jobs_.empty() && busy_ < cores_); });
        if (stopping_) return;
        Job& job = *jobs_.front();
        ++job.helpers;
        work_on(job, lock);
        --job.helpers;
        finished_.notify_all();
    }
}

}  // namespace dunmorel
