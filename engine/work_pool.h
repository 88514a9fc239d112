// One pool of threads for every filter instance in the process. A caller splits its work into
// items and works on them itself; idle pool threads join in only while fewer threads than the
// machine has cores are inside the pool's work, so frame-level parallelism (a host's parallel
// requests, the command's workers) and the split inside a frame together never keep more threads
// busy than there are cores.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace dunmorel {

class WorkPool {
public:
    // `cores` threads may work at once: the callers plus cores - 1 pool threads at most.
    explicit WorkPool(int cores);
    ~WorkPool();
    WorkPool(const WorkPool&) = delete;
    WorkPool& operator=(const WorkPool&) = delete;

    // The pool of this process, sized to the machine. Its threads start on first use and are
    // joined when the process (or, on Linux, the plug-in holding it) unloads.
    static WorkPool& shared();

    // Whether a pool thread could join a job started now.
    bool has_spare_core();

    // At most `cores` threads work at once from now on (at least 1, at most the number the pool
    // was made for); for benchmarks that compare one core with several in one process.
    void limit_cores(int cores);
    int cores();

    // Calls task(i) for every i in [0, count) and returns when all have returned. Items may run
    // on any thread, in any order; they must not throw.
    template <typename Task>
    void run(std::size_t count, Task&& task) {
        run_items(
            count, [](void* t, std::size_t i) { (*static_cast<Task*>(t))(i); }, &task);
    }

private:
    struct Job {
        std::size_t count;
        void (*call)(void*, std::size_t);
        void* task;
        std::size_t next = 0;  // guarded by mutex_
        std::size_t finished = 0;  // guarded by mutex_
        int helpers = 0;  // pool threads working on it, guarded by mutex_
    };

    void run_items(std::size_t count, void (*call)(void*, std::size_t), void* task);
    // Runs items of `job` until none is left; takes and returns the lock.
    void work_on(Job& job, std::unique_lock<std::mutex>& lock);
    void helper_loop();
    void start_threads();

    const int threads_made_for_;
    int cores_;  // guarded by mutex_
    std::mutex mutex_;
    std::condition_variable wake_;  // jobs queued, or a core became free
    std::condition_variable finished_;  // an item finished, or a helper left a job
    std::deque<Job*> jobs_;
    int busy_ = 0;  // threads inside work_on
    bool stopping_ = false;
    bool started_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace dunmorel
