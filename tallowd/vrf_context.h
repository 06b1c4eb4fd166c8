// Per-VRF state: the prefix database, the interface list, the built proxy frames, sync and timers.
#pragma once

#include <time.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

struct free_deleter {
    void operator()(void *p) const { std::free(p); }
};
template <typename T> using malloc_ptr = std::unique_ptr<T, free_deleter>;

// One prefix of a VRF. Its key is (afi, plen, first ceil(plen/8) bytes of addr).
struct prefix_entry {
    prefix_entry *hash_next;  // next entry in the same bucket chain
    prefix_entry *list_next;  // insertion-ordered entry list
    prefix_entry *list_prev;
    uint8_t afi;              // 4 or 6
    uint8_t plen;             // 0 is a default route
    uint8_t w;                // W flag as last given to add_or_update
    uint8_t addr[16];         // network order; IPv4 uses the first 4 bytes
    uint32_t epoch;
};

constexpr unsigned prefix_buckets = 512;

// Hash table of 512 chains (new entries pushed at the head of their chain) plus the list of all
// entries in insertion order, which every walk follows. Entries come from the database's own pool.
struct prefix_pool;  // entry storage, defined by prefix_db.cpp
struct prefix_pool_deleter {
    void operator()(prefix_pool *p) const;
};

struct prefix_db {
    prefix_entry *buckets[prefix_buckets] = {};
    prefix_entry *first = nullptr;  // entries, oldest first
    prefix_entry *last = nullptr;
    size_t count = 0;
    std::unique_ptr<prefix_pool, prefix_pool_deleter> pool;
};

struct blob {
    malloc_ptr<uint8_t> data;
    uint16_t len = 0;
};

// A VRF's proxy frames; a default-constructed set is the empty state.
struct blob_set {
    std::unique_ptr<blob[]> slots;  // slot_capacity records, each owning slot_size bytes
    uint16_t blob_count = 0;
    uint16_t slot_capacity = 0;
    uint16_t slot_size = 0;
};

struct vrf_context {
    uint32_t vrf_id = 0;
    prefix_db db;
    malloc_ptr<uint32_t> intfs;  // downlink ifindexes as the last INTF_SET gave them
    uint16_t intf_count = 0;
    uint16_t mtu = 0;            // MTU of the last build over non-default entries, before the clamp
    blob_set blobs;
    uint32_t epoch = 0;
    uint8_t dirty = 0;
    uint8_t in_sync = 0;
    timespec holddown_start = {};
    uint8_t holddown_pending = 0;
    uint8_t awaiting_sync = 0;
    timespec intf_set_time = {};
    uint64_t adds = 0;
    uint64_t removes = 0;
    uint64_t updates = 0;
    uint64_t swept = 0;
    uint64_t pushes = 0;
    uint64_t blobs_pushed = 0;
    uint64_t failures = 0;
    uint64_t holddowns = 0;
};
