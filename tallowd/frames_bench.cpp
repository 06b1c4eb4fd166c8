// Frame building for a full table: 200000 IPv6 prefixes at MTU 9216 and 1500, into a fresh blob
// set and into reused slots, against memcpy of the same number of bytes in the same run.
//   cmake -S . -B build-db -DTARVIK_BENCH=ON -DCMAKE_BUILD_TYPE=Release
//   cmake --build build-db -j2 --target frames_bench && build-db/tallowd/frames_bench

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/mman.h>

#include <algorithm>
#include <ctime>
#include <cstring>
#include <vector>

#include "daemon.h"

namespace {

// Time is taken on the thread's CPU clock, page faults included: other work on the machine must
// not count against either side of the comparison.
double cpu_now()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

constexpr size_t table_size = 200000;

void fill_ipv6(vrf_context *vrf)
{
    for (uint32_t i = 0; i < table_size; i++) {
        uint8_t a[16] = {0x20, 0x01, 0x0d, 0xb8, uint8_t(i >> 24), uint8_t(i >> 16), uint8_t(i >> 8), uint8_t(i)};
        a[15] = uint8_t(i * 7);
        add_or_update(&vrf->db, 6, a, uint8_t(64 + i % 65), uint8_t(i % 16 == 0), 1);
    }
}

size_t set_bytes(const blob_set &set)
{
    size_t n = 0;
    for (unsigned i = 0; i < set.blob_count; i++)
        n += set.slots[i].len;
    return n;
}

// Seconds per memcpy of the given number of bytes between warm buffers: the best of several runs.
double memcpy_seconds(size_t bytes)
{
    std::vector<uint8_t> src(bytes, 0x5A), dst(bytes, 0);
    double best = 1e9;
    for (int run = 0; run < 50; run++) {
        double t0 = cpu_now();
        std::memcpy(dst.data(), src.data(), bytes);
        benchmark::ClobberMemory();
        best = std::min(best, cpu_now() - t0);
    }
    benchmark::DoNotOptimize(dst.data());
    return best;
}

// The same into pages never touched before, as a build into memory the allocator had to get
// from the kernel again.
double memcpy_cold_seconds(size_t bytes)
{
    std::vector<uint8_t> src(bytes, 0x5A);
    double best = 1e9;
    for (int run = 0; run < 20; run++) {
        void *dst = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (dst == MAP_FAILED)
            return 0;
        double t0 = cpu_now();
        std::memcpy(dst, src.data(), bytes);
        benchmark::ClobberMemory();
        double t = cpu_now() - t0;
        munmap(dst, bytes);
        best = std::min(best, t);
    }
    return best;
}

// fresh: 0 rebuilds into the slots of the previous build, 1 into a freed set (slots allocated
// again, from memory the allocator keeps), 2 into a freed set whose memory went back to the
// kernel first (every page faulted in anew). Only build_blobs itself is timed, on the CPU clock.
void BM_BuildBlobs(benchmark::State &state)
{
    uint16_t mtu = uint16_t(state.range(0));
    int fresh = int(state.range(1));
    vrf_context vrf;
    fill_ipv6(&vrf);
    int blobs = build_blobs(&vrf, mtu);
    size_t bytes = set_bytes(vrf.blobs);
    // A build into faulted-in pages is set against a copy into faulted-in pages.
    double copy = fresh == 2 ? memcpy_cold_seconds(bytes) : memcpy_seconds(bytes);

    double total = 0, best = 1e9;
    for (auto _ : state) {
        if (fresh)
            blobs_free(&vrf.blobs);
        if (fresh == 2)
            malloc_trim(0);
        double t0 = cpu_now();
        blobs = build_blobs(&vrf, mtu);
        benchmark::ClobberMemory();
        double t = cpu_now() - t0;
        state.SetIterationTime(t);
        total += t;
        best = std::min(best, t);
    }
    if (blobs <= 0 || set_bytes(vrf.blobs) != bytes)
        state.SkipWithError("build failed");
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
    state.counters["blobs"] = blobs;
    state.counters["bytes"] = double(bytes);
    state.counters["memcpy_GBps"] = double(bytes) / copy / 1e9;
    // Throughput of the build as a fraction of memcpy's for the same bytes (target: 0.25 or more),
    // over the mean build time and over the best one.
    state.counters["vs_memcpy"] = copy / (total / double(state.iterations()));
    state.counters["vs_memcpy_best"] = copy / best;
    clear(&vrf.db);
}
BENCHMARK(BM_BuildBlobs)
    ->ArgNames({"mtu", "fresh"})
    ->ArgsProduct({{9216, 1500}, {0, 1, 2}})
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
