// Per-VRF state: the prefix database, the interface list, the built proxy frames, sync and timers.
#pragma once

#include <time.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "heap_array.h"

struct free_deleter {
    void operator()(void *p) const { std::free(p); }
};
template <typename T> using malloc_ptr = std::unique_ptr<T, free_deleter>;

// Address families of a prefix, as the northbound protocol numbers them.
constexpr uint8_t afi_ipv4 = 4;
constexpr uint8_t afi_ipv6 = 6;

// One prefix of a VRF. Its key is (afi, plen, first ceil(plen/8) bytes of addr).
// Entries live in the database's slab pool and are 40 bytes each: the links other than list_next
// are 32-bit handles into that pool, which keeps 200000 prefixes within a few megabytes.
constexpr uint32_t prefix_nil = UINT32_MAX;  // handle of no entry

struct prefix_entry {
    prefix_entry *list_next;  // insertion-ordered entry list: the next newer entry, or null
    uint32_t list_prev;       // handle of the next older entry, or prefix_nil
    uint32_t hash_next;       // handle of the next entry in the same bucket chain, or prefix_nil
    uint32_t epoch;
    uint8_t afi;              // 4 or 6
    uint8_t plen;             // 0 is a default route
    uint8_t w;                // W flag as last given to add_or_update
    uint8_t addr[16];         // network order; IPv4 uses the first 4 bytes
};

constexpr unsigned prefix_buckets = 512;  // bucket chains of a new database; doubled as it grows

// Hash table of bucket chains (new entries pushed at the head of their chain; the table starts at
// 512 buckets and doubles whenever the entries outnumber the buckets, so chains stay short at any
// size) plus the list of all entries in insertion order, which every walk follows:
//     for (prefix_entry *e = db.first; e; e = e->list_next)
// Entries, chains and buckets belong to the database's pool, created by the first insertion.
struct prefix_pool;  // entry slabs and bucket array, defined by prefix_db.cpp
struct prefix_pool_deleter {
    void operator()(prefix_pool *p) const;
};

struct prefix_db {
    prefix_entry *first = nullptr;  // entries, oldest first
    prefix_entry *last = nullptr;
    size_t count = 0;
    size_t v4_count = 0;       // entries with afi 4 (13-byte TLVs; the others take 25)
    size_t default_count = 0;  // entries with plen 0
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
    heap_array<uint32_t> intfs;  // downlink ifindexes as the last INTF_SET gave them (at most 512)
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
