// Per-VRF state: the prefix database, the interface list, the built proxy frames, sync and timers.
#pragma once

#include <time.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "heap_array.h"

// Address families of a prefix, as the northbound protocol numbers them.
constexpr uint8_t afi_ipv4 = 4;
constexpr uint8_t afi_ipv6 = 6;

// One prefix of a VRF. Its key is (afi, plen, first ceil(plen/8) bytes of addr).
// Entries live in the database's slab pool and are 36 bytes each: every link is a 32-bit handle
// into that pool, which keeps 200000 prefixes within a few megabytes.
constexpr uint32_t prefix_nil = UINT32_MAX;  // handle of no entry

struct prefix_entry {
    uint32_t list_next;  // insertion-ordered entry list: handle of the next newer entry, or prefix_nil
    uint32_t list_prev;  // handle of the next older entry, or prefix_nil
    uint32_t hash_next;  // handle of the next entry in the same bucket chain, or prefix_nil
    uint32_t epoch;
    uint8_t afi;         // 4 or 6
    uint8_t plen;        // 0 is a default route
    uint8_t w;           // W flag as last given to add_or_update
    uint8_t addr[16];    // network order; IPv4 uses the first 4 bytes
};

constexpr unsigned prefix_buckets = 512;  // bucket chains of a new database; doubled as it grows

// The slab pool of one database: entries in chunks of 256, a handle being (chunk << 8) | slot, so
// that consecutive handles within a chunk are neighbours in memory; and the bucket array.
constexpr unsigned prefix_chunk_shift = 8;
constexpr uint32_t prefix_chunk_mask = (1u << prefix_chunk_shift) - 1;

struct prefix_pool {
    heap_array<heap_array<prefix_entry>> chunks;  // the first chunk_count hold 256 entries each
    uint32_t chunk_count = 0;
    uint32_t used = 0;                  // handles handed out so far, free or not
    uint32_t free_head = prefix_nil;    // freed entries, chained through hash_next
    heap_array<uint32_t> buckets;       // chain heads, bucket_mask + 1 of them
    uint32_t bucket_mask = 0;

    prefix_entry *at(uint32_t h) const
    {
        return const_cast<prefix_entry *>(chunks[h >> prefix_chunk_shift].data()) + (h & prefix_chunk_mask);
    }
};

// The limit on the prefixes the routing suite stores, and their count over every VRF's database.
struct prefix_limit {
    size_t count = 0;     // entries in all databases that share this limit
    size_t max = 0;       // max-unreachable-prefix: a new entry is refused at this count
    bool warned = false;  // the 80% warning has been logged since the limit was last set
};

// Hash table of bucket chains (new entries pushed at the head of their chain; the table starts at
// 512 buckets and doubles whenever the entries outnumber the buckets, so chains stay short at any
// size) plus the list of all entries in insertion order, which every walk follows:
//     for (const prefix_entry *e = db.head(); e; e = db.next(e))
// Entries, chains and buckets belong to the database's pool, created by the first insertion.
struct prefix_db {
    uint32_t first = prefix_nil;  // handles of the entries, oldest first
    uint32_t last = prefix_nil;
    size_t count = 0;
    size_t v4_count = 0;       // entries with afi 4 (13-byte TLVs; the others take 25)
    size_t default_count = 0;  // entries with plen 0
    // The daemon's limit, set when the VRF is created (vrf_lookup_or_create); a database without
    // one has no limit and is not counted.
    prefix_limit *limit = nullptr;
    std::unique_ptr<prefix_pool> pool;

    prefix_entry *at(uint32_t h) const { return h == prefix_nil ? nullptr : pool->at(h); }
    prefix_entry *head() const { return at(first); }
    prefix_entry *next(const prefix_entry *e) const { return at(e->list_next); }

    // next(e) for the walks that run over every entry, given e's handle h, which becomes the next
    // entry's. Entries added one after the other have consecutive handles (ascending when new,
    // descending when re-added from the free list) and, within a chunk, sit side by side, so the
    // neighbours in memory are tried first: the checks are well-predicted branches, which let the
    // processor run ahead instead of waiting for each link to load.
    prefix_entry *step(const prefix_entry *e, uint32_t &h) const
    {
        const uint32_t n = e->list_next;
        const bool after = n == h + 1 && (n & prefix_chunk_mask) != 0;
        const bool before = n == h - 1 && (h & prefix_chunk_mask) != 0;
        h = n;
        if (after) [[likely]]
            return const_cast<prefix_entry *>(e) + 1;
        if (before)
            return const_cast<prefix_entry *>(e) - 1;
        return at(n);
    }
};

struct blob {
    heap_array<uint8_t> data;
    uint16_t len = 0;
};

// A VRF's proxy frames; a default-constructed set is the empty state.
struct blob_set {
    heap_array<blob> slots;  // slot_capacity records, each owning slot_size bytes
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
