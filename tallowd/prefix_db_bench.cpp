// Prefix database costs at the size of a full resync: 200000 prefixes, half IPv4, half IPv6.
//   cmake -S . -B build-db -DTARVIK_BENCH=ON -DCMAKE_BUILD_TYPE=Release
//   cmake --build build-db -j2 --target prefix_db_bench && build-db/tallowd/prefix_db_bench

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <array>
#include <random>
#include <vector>

#include "daemon.h"

namespace {

constexpr size_t resync_size = 200000;

struct key {
    uint8_t afi, plen;
    std::array<uint8_t, 16> addr;
};

// Distinct keys in the shape of a routing table: IPv4 /24 and /32, IPv6 /48 to /128, interleaved.
const std::vector<key> &keys()
{
    static const std::vector<key> k = [] {
        std::vector<key> out;
        std::mt19937_64 rng(42);
        for (size_t i = 0; i < resync_size; i++) {
            key x{};
            uint64_t r = rng();
            if (i % 2 == 0) {
                x.afi = 4;
                x.plen = (i / 2) % 4 ? 24 : 32;
                uint32_t v = uint32_t(i / 2) << 8 | uint32_t(r & 0xFF);
                x.addr = {uint8_t(10 + (v >> 24)), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
            } else {
                x.afi = 6;
                x.plen = uint8_t(48 + 16 * ((i / 2) % 5));
                uint32_t v = uint32_t(i / 2);
                x.addr = {0x20, 0x01, uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v), 0x00, 0x0d, 0xb8};
                for (int b = 8; b < 16; b++)
                    x.addr[b] = uint8_t(r >> (8 * (b - 8)));
            }
            out.push_back(x);
        }
        return out;
    }();
    return k;
}

std::vector<size_t> shuffled_order()
{
    std::vector<size_t> order(resync_size);
    for (size_t i = 0; i < order.size(); i++)
        order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937_64(7));
    return order;
}

// An active daemon record whose limit every benchmark's database is given, as vrf_lookup_or_create
// gives it to a VRF's.
struct context_guard {
    daemon_config cfg;
    context_guard()
    {
        cfg.limit.max = resync_size;
        active_cfg.store(&cfg);
    }
    ~context_guard() { active_cfg.store(nullptr); }
};

void fill(prefix_db *db, uint32_t epoch)
{
    for (const key &k : keys())
        add_or_update(db, k.afi, k.addr.data(), k.plen, 0, epoch);
}

benchmark::Counter per_op(size_t ops)
{
    return benchmark::Counter(double(ops), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_AddNew(benchmark::State &state)
{
    context_guard guard;
    const auto &k = keys();
    for (auto _ : state) {
        prefix_db db;
        db.limit = &guard.cfg.limit;  // as a VRF's database
        for (const key &x : k)
            benchmark::DoNotOptimize(add_or_update(&db, x.afi, x.addr.data(), x.plen, 0, 1));
        state.PauseTiming();
        if (db.count != resync_size)
            state.SkipWithError("keys collided");
        clear(&db);
        state.ResumeTiming();
    }
    state.counters["per_op"] = per_op(resync_size);
}
BENCHMARK(BM_AddNew)->Unit(benchmark::kMillisecond);

// Refresh of existing keys (result -2), in the order of the routing suite's resync (insertion
// order) and in random order.
void BM_Refresh(benchmark::State &state)
{
    context_guard guard;
    prefix_db db;
    db.limit = &guard.cfg.limit;  // as a VRF's database
    fill(&db, 1);
    const auto &k = keys();
    std::vector<size_t> order = shuffled_order();
    if (state.range(0) == 0)
        std::sort(order.begin(), order.end());
    uint32_t epoch = 2;
    for (auto _ : state) {
        for (size_t i : order) {
            const key &x = k[i];
            benchmark::DoNotOptimize(add_or_update(&db, x.afi, x.addr.data(), x.plen, 0, epoch));
        }
        epoch++;
    }
    state.counters["per_op"] = per_op(resync_size);
    clear(&db);
}
BENCHMARK(BM_Refresh)->ArgName("random")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_Lookup(benchmark::State &state)
{
    context_guard guard;
    prefix_db db;
    db.limit = &guard.cfg.limit;  // as a VRF's database
    fill(&db, 1);
    const auto &k = keys();
    std::vector<size_t> order = shuffled_order();
    bool miss = state.range(0) != 0;
    size_t found = 0;
    for (auto _ : state) {
        for (size_t i : order) {
            const key &x = k[i];
            // A miss: same address, a length that no key has.
            prefix_entry *e = lookup(&db, x.afi, x.addr.data(), miss ? uint8_t(x.plen + 1) : x.plen);
            found += e != nullptr;
            benchmark::DoNotOptimize(e);
        }
    }
    if (found != (miss ? 0 : state.iterations() * resync_size))
        state.SkipWithError("unexpected lookup result");
    state.counters["per_op"] = per_op(resync_size);
    clear(&db);
}
BENCHMARK(BM_Lookup)->ArgName("miss")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// SYNC_END after a resync: stale = 0 walks 200000 entries and keeps them all, stale = 1 removes
// every one of them.
void BM_SweepStale(benchmark::State &state)
{
    context_guard guard;
    bool stale = state.range(0) != 0;
    prefix_db db;
    db.limit = &guard.cfg.limit;  // as a VRF's database
    fill(&db, 5);
    for (auto _ : state) {
        if (stale) {
            state.PauseTiming();
            fill(&db, 5);
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(sweep_stale(&db, stale ? 6 : 5));
    }
    state.counters["per_entry"] = per_op(resync_size);
    clear(&db);
}
BENCHMARK(BM_SweepStale)->ArgName("stale")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

size_t heap_in_use()
{
    struct mallinfo2 mi = mallinfo2();
    return mi.uordblks + mi.hblkhd;
}

// Heap bytes (allocator headers and the bucket array included) per stored prefix after inserting
// 200000 keys into an empty database.
void BM_MemoryPerPrefix(benchmark::State &state)
{
    context_guard guard;
    double per_prefix = 0;
    for (auto _ : state) {
        prefix_db db;
        db.limit = &guard.cfg.limit;  // as a VRF's database
        size_t before = heap_in_use();
        fill(&db, 1);
        size_t after = heap_in_use();
        per_prefix = double(after - before) / double(db.count);
        state.PauseTiming();
        clear(&db);
        state.ResumeTiming();
    }
    state.counters["bytes_per_prefix"] = per_prefix;
}
BENCHMARK(BM_MemoryPerPrefix)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
