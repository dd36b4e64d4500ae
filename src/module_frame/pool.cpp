// The process-wide worker pool of the batch functions, on oneTBB.
//
// Size: RAYON_NUM_THREADS (a positive count; 0 means one per online
// processor), else RAYON_RS_NUM_CPUS, else the online processor count,
// capped at 65535. Worker stack: RUST_MIN_STACK bytes, default 2 MiB.
// The calling thread hands the whole map to the pool's arena and blocks on a
// latch without taking part in the work.
//
// The threads actually started are bounded further, so that an absurd count
// or stack size cannot make thread creation fail (which would end the
// process): at most 1024 workers, each stack at most 1 GiB, and all stacks
// together at most 64 GiB of address space. Results never depend on the
// number of workers.
#include <tbb/blocked_range.h>
#include <tbb/global_control.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "module_frame/frame.hpp"

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

std::size_t online_processors() {
    long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<std::size_t>(n) : 1;
}

std::size_t configured_threads() {
    std::uint64_t n = 0;
    std::size_t count;
    if (parse_count(std::getenv("RAYON_NUM_THREADS"), n))
        count = n > 0 ? static_cast<std::size_t>(std::min<std::uint64_t>(n, 65535))
                      : online_processors();
    else if (parse_count(std::getenv("RAYON_RS_NUM_CPUS"), n) && n > 0)
        count = static_cast<std::size_t>(std::min<std::uint64_t>(n, 65535));
    else
        count = online_processors();
    return std::min<std::size_t>(count, 65535);
}

constexpr std::uint64_t max_workers = 1024;
constexpr std::uint64_t max_stack = std::uint64_t{1} << 30;
constexpr std::uint64_t max_total_stack = std::uint64_t{64} << 30;

std::size_t configured_stack() {
    std::uint64_t n = 0;
    if (parse_count(std::getenv("RUST_MIN_STACK"), n) && n > 0)
        return static_cast<std::size_t>(std::min(n, max_stack));
    return 2u << 20;
}

// Workers actually started for a configured count and stack size.
std::size_t started_workers(std::size_t count, std::size_t stack) {
    std::uint64_t by_stack = std::max<std::uint64_t>(1, max_total_stack / std::max<std::size_t>(stack, 1));
    return static_cast<std::size_t>(std::min<std::uint64_t>({count, max_workers, by_stack}));
}

struct Pool {
    std::size_t threads;
    std::unique_ptr<tbb::global_control> parallelism;
    std::unique_ptr<tbb::global_control> stack;
    std::unique_ptr<tbb::task_arena> arena;
};

Pool* the_pool = nullptr;
std::once_flag pool_once;

Pool& pool() {
    std::call_once(pool_once, [] {
        try {
            auto* p = new Pool;
            const std::size_t stack = configured_stack();
            p->threads = started_workers(configured_threads(), stack);
            p->stack = std::make_unique<tbb::global_control>(
                tbb::global_control::thread_stack_size, stack);
            // The arena's slots are all for workers: the caller only waits.
            p->parallelism = std::make_unique<tbb::global_control>(
                tbb::global_control::max_allowed_parallelism, p->threads + 1);
            p->arena = std::make_unique<tbb::task_arena>(static_cast<int>(p->threads), 0);
            p->arena->initialize();
            the_pool = p;  // never destroyed while the process lives
        } catch (const std::exception& e) {
            panic(std::string("The global thread pool has not been initialized.: ") + e.what());
        }
    });
    if (!the_pool) panic("The global thread pool has not been initialized.");
    return *the_pool;
}

}  // namespace

std::size_t pool_thread_count() { return pool().threads; }

namespace detail {

void pool_run(std::size_t n, const std::function<void(std::size_t)>& item) {
    Pool& p = pool();
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    p.arena->enqueue([&] {
        // Items never throw (parallel_map captures each item's failure).
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 1),
                          [&](const tbb::blocked_range<std::size_t>& r) {
                              for (std::size_t i = r.begin(); i != r.end(); ++i) item(i);
                          });
        {
            std::lock_guard<std::mutex> lock(m);
            done = true;
        }
        cv.notify_one();
    });
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return done; });
}

}  // namespace detail
}  // namespace nuvra
