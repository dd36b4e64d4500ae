// The process-wide worker pool of the batch functions.
//
// Size: RAYON_NUM_THREADS (a positive count; 0 means one per online
// processor), else RAYON_RS_NUM_CPUS, else the online processor count,
// capped at 65535. Worker stack: RUST_MIN_STACK bytes, default 2 MiB. Both
// are read once, when the first batch creates the pool.
//
// The threads actually started are bounded further, so that an absurd count
// or stack size cannot exhaust the process: at most 512 workers, each stack at
// most 1 GiB, all stacks together at most 64 GiB of address space. A thread
// that cannot be created is simply not part of the pool (the pool needs one);
// results never depend on the number of workers.
//
// A map hands out item indices through one atomic counter, so idle workers
// always take the next pending item. The calling thread publishes the job,
// wakes the workers and waits until every item is done, without taking part.
// While it waits it checks for signals every few milliseconds: when a
// handler raises (Ctrl-C), it stops handing out items, tells the running
// ones to stop (their kernels' interrupt checks see it), waits for them and
// ends the call with the handler's exception.
//
// A batch started while the pool is busy (from a signal handler or a
// finaliser run during those checks, or from another thread that got the
// interpreter lock meanwhile) runs its items on its own calling thread, in
// order, instead of waiting for the pool.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "module_frame/frame.hpp"
#include "module_frame/interrupt.hpp"

namespace nuvra {
namespace {

// An unsigned decimal integer: optional leading '+', digits only, no overflow.
bool parse_count(const char* s, std::uint64_t& out) {
    if (!s) return false;
    if (*s == '+') ++s;
    if (!*s) return false;
    std::uint64_t v = 0;
    for (; *s; ++s) {
        if (*s < '0' || *s > '9') return false;
        if (mul_overflows(v, 10, v) || add_overflows(v, static_cast<std::uint64_t>(*s - '0'), v))
            return false;
    }
    out = v;
    return true;
}

std::uint64_t online_processors() {
    long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<std::uint64_t>(n) : 1;
}

std::uint64_t configured_threads() {
    std::uint64_t n = 0, count;
    if (parse_count(std::getenv("RAYON_NUM_THREADS"), n))
        count = n > 0 ? n : online_processors();
    else if (parse_count(std::getenv("RAYON_RS_NUM_CPUS"), n) && n > 0)
        count = n;
    else
        count = online_processors();
    return std::min<std::uint64_t>(count, 65535);
}

constexpr std::uint64_t max_workers = 512;
constexpr std::uint64_t max_stack = std::uint64_t{1} << 30;
constexpr std::uint64_t max_total_stack = std::uint64_t{64} << 30;

std::uint64_t configured_stack() {
    std::uint64_t n = 0;
    if (parse_count(std::getenv("RUST_MIN_STACK"), n)) return std::min(n, max_stack);
    return 2u << 20;
}

struct Job {
    const std::function<void(std::size_t)>* item;
    std::size_t n;
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> completed{0};
    std::atomic<bool> cancelled{false};
};

// The cancel flag of the job a worker is running; null on other threads.
thread_local const std::atomic<bool>* worker_cancel = nullptr;
// Set while this thread waits in pool_run.
thread_local bool waiting_for_pool = false;

struct Pool {
    std::size_t threads = 0;
    std::mutex mutex;
    std::condition_variable wake;     // workers wait here for a new job
    std::condition_variable finished; // the caller waits here for the job's end
    std::shared_ptr<Job> job;         // the current job, if any
    std::uint64_t generation = 0;     // increases with every job
    std::mutex run_mutex;             // one job at a time
};

Pool* the_pool = nullptr;
std::mutex pool_mutex;

void* worker_main(void* arg) {
    auto* p = static_cast<Pool*>(arg);
    std::uint64_t seen = 0;
    for (;;) {
        std::shared_ptr<Job> job;
        {
            std::unique_lock<std::mutex> lock(p->mutex);
            p->wake.wait(lock, [&] { return p->generation != seen; });
            seen = p->generation;
            job = p->job;
        }
        if (!job) continue;
        worker_cancel = &job->cancelled;
        for (;;) {
            const std::size_t i = job->next.fetch_add(1);
            if (i >= job->n) break;
            try {
                (*job->item)(i);
            } catch (...) {
                // Items report their own failures; nothing may end a worker.
            }
            if (job->completed.fetch_add(1) + 1 == job->n || job->cancelled.load()) {
                std::lock_guard<std::mutex> lock(p->mutex);
                p->finished.notify_all();
            }
        }
        worker_cancel = nullptr;
    }
    return nullptr;
}

// Starts up to `count` detached workers; returns how many started.
std::size_t start_workers(Pool* p, std::size_t count, std::size_t stack, int& error) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    std::size_t size = std::max<std::size_t>(stack, PTHREAD_STACK_MIN);
    size = (size + page - 1) / page * page;
    if (pthread_attr_setstacksize(&attr, size) != 0) pthread_attr_setstacksize(&attr, 2u << 20);
    // Workers never handle signals: the interpreter's main thread does.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    std::size_t started = 0;
    for (; started < count; ++started) {
        pthread_t t;
        error = pthread_create(&t, &attr, worker_main, p);
        if (error != 0) break;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pthread_attr_destroy(&attr);
    return started;
}

// A child process made by fork() has none of the parent's workers: it
// forgets the parent's pool (leaking it) and starts its own on first use.
// pool() runs only on a thread holding the interpreter lock, which the
// forking thread holds, so pool_mutex is free at the fork.
void forget_pool_in_child() { the_pool = nullptr; }

Pool& pool() {
    std::lock_guard<std::mutex> guard(pool_mutex);
    if (the_pool) return *the_pool;
    static const bool fork_handler = (pthread_atfork(nullptr, nullptr, forget_pool_in_child), true);
    (void)fork_handler;
    const std::uint64_t stack = configured_stack();
    const std::uint64_t by_stack = std::max<std::uint64_t>(1, max_total_stack / std::max<std::uint64_t>(stack, 1));
    const std::uint64_t want = std::min<std::uint64_t>({configured_threads(), max_workers, by_stack});
    auto* p = new Pool;
    int error = 0;
    p->threads = start_workers(p, static_cast<std::size_t>(want), static_cast<std::size_t>(stack), error);
    if (p->threads == 0) {
        delete p;  // no thread refers to it
        panic(std::string("The global thread pool has not been initialized.: ") +
              std::strerror(error));
    }
    the_pool = p;  // never destroyed while the process lives
    return *the_pool;
}

}  // namespace

std::size_t pool_thread_count() { return pool().threads; }

namespace detail {

void pool_run(std::size_t n, const std::function<void(std::size_t)>& item) {
    if (n == 0) return;
    Pool& p = pool();
    // (A thread that waits for the pool owns run_mutex: it must not try it.)
    std::unique_lock<std::mutex> one_job(p.run_mutex, std::defer_lock);
    if (waiting_for_pool || !one_job.try_lock()) {
        // The pool is busy: the items run here, in order. Only an interrupt
        // check sets a Python error on this thread, so one stops the rest.
        for (std::size_t i = 0; i < n; ++i) {
            item(i);
            if (PyErr_Occurred()) throw PythonError();
        }
        return;
    }
    auto job = std::make_shared<Job>();
    job->item = &item;
    job->n = n;
    std::unique_lock<std::mutex> lock(p.mutex);
    p.job = job;
    ++p.generation;
    p.wake.notify_all();
    const auto all_done = [&] { return job->completed.load() == n; };
    bool interrupted = false;
    while (!p.finished.wait_for(lock, std::chrono::milliseconds(5), all_done)) {
        // Signal handlers are Python code: they run without the pool's lock.
        lock.unlock();
        waiting_for_pool = true;
        const int rc = PyErr_CheckSignals();
        waiting_for_pool = false;
        lock.lock();
        if (rc < 0) {
            interrupted = true;
            break;
        }
    }
    if (interrupted) {
        // No item is handed out any more; the ones already taken stop at
        // their next check and must finish before the caller's state goes.
        job->cancelled.store(true);
        const std::size_t taken = std::min(job->next.exchange(n), n);
        const auto taken_done = [&] { return job->completed.load() == taken; };
        while (!p.finished.wait_for(lock, std::chrono::milliseconds(5), taken_done)) {
        }
    }
    p.job.reset();  // late workers keep their own reference and find no item left
    if (interrupted) throw PythonError();
}

}  // namespace detail

void check_interrupt() {
    if (worker_cancel) {
        if (worker_cancel->load(std::memory_order_relaxed)) throw Cancelled();
        return;
    }
    if (PyErr_CheckSignals() < 0) throw PythonError();
}

}  // namespace nuvra
