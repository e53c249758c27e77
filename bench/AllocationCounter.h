#pragma once

// Counts heap allocations so that benchmarks can show that a hot path allocates nothing.
// Include in exactly one translation unit of a benchmark program: it replaces the global
// operator new and delete.
#include <atomic>
#include <cstdlib>
#include <new>

#include <benchmark/benchmark.h>

namespace jolto::bench {
inline std::atomic<long> allocations{0};
}

#if defined(__GNUC__) && !defined(__clang__)
// GCC cannot see that these replacements pair malloc with free.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
    jolto::bench::allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace jolto::bench {

// Puts "allocs/iter" next to the time of the benchmark it lives in.
struct AllocationCounter {
    benchmark::State& state;
    long start = allocations.load();
    ~AllocationCounter() {
        state.counters["allocs/iter"] = static_cast<double>(allocations.load() - start) /
                                        static_cast<double>(state.iterations());
    }
};

} // namespace jolto::bench
