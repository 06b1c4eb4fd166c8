// The per-VRF prefix database: a hash table of bucket chains over the entries of a slab pool, an
// insertion-ordered entry list (every link a 32-bit handle into the pool), and the global prefix
// limit, reached through the database's `limit` field (counted over every VRF's database). The VRF
// contexts that hold the databases, and give them the limit, are vrf_ops.cpp's.

#include <bit>
#include <cstring>
#include <new>

#include "daemon.h"

namespace {

constexpr uint32_t chunk_entries = 1u << prefix_chunk_shift;

const uint8_t zero_addr[16] = {};

// The compared part of a key: the first ceil(plen/8) address bytes (at most 4 for IPv4, whose
// other bytes are never stored), as two masked words, with bits past plen inside the last byte kept.
struct prefix_key {
    uint64_t lo, hi;
    uint64_t mask_lo, mask_hi;
    uint8_t afi, plen;
};

uint64_t leading_bytes_mask(unsigned n)
{
    if (n >= 8)
        return ~uint64_t(0);
    if (n == 0)
        return 0;
    if constexpr (std::endian::native == std::endian::little)
        return ~uint64_t(0) >> (64 - 8 * n);
    else
        return ~uint64_t(0) << (64 - 8 * n);
}

unsigned key_bytes(uint8_t afi, uint8_t plen)
{
    unsigned n = (unsigned(plen) + 7) / 8;
    unsigned width = afi == afi_ipv4 ? 4 : 16;
    return n < width ? n : width;
}

prefix_key make_key(uint8_t afi, const uint8_t *addr, uint8_t plen)
{
    prefix_key k;
    unsigned n = key_bytes(afi, plen);
    k.mask_lo = leading_bytes_mask(n);
    k.mask_hi = leading_bytes_mask(n > 8 ? n - 8 : 0);
    uint64_t lo = 0, hi = 0;
    std::memcpy(&lo, addr, 8);
    std::memcpy(&hi, addr + 8, 8);
    k.lo = lo & k.mask_lo;
    k.hi = hi & k.mask_hi;
    k.afi = afi;
    k.plen = plen;
    return k;
}

// A multiplicative mix of the whole key: the address ranges a routing table holds differ in few
// bits, and the index must spread them over every bucket of a table that grows with the entries.
// (A polynomial such as 31 * h + byte folds neighbouring ranges together: 31 * x + y repeats for
// x + 1, y - 31, which leaves long chains however many buckets exist.)
uint64_t key_hash(const prefix_key &k)
{
    uint64_t h = k.lo * 0x9E3779B97F4A7C15ull;
    h ^= std::rotl(k.hi * 0xC2B2AE3D27D4EB4Full, 31);
    h ^= (uint64_t(k.afi) << 8 | k.plen) * 0x165667B19E3779F9ull;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 32;
    return h;
}

bool key_matches(const prefix_entry *e, const prefix_key &k)
{
    if (e->afi != k.afi || e->plen != k.plen)
        return false;
    uint64_t lo, hi;
    std::memcpy(&lo, e->addr, 8);
    std::memcpy(&hi, e->addr + 8, 8);
    return (lo & k.mask_lo) == k.lo && (hi & k.mask_hi) == k.hi;
}

prefix_key entry_key(const prefix_entry *e)
{
    return make_key(e->afi, e->addr, e->plen);
}

// Finds the key; sets *handle to its handle and *link to the chain link that points at it.
prefix_entry *find(prefix_pool *pool, const prefix_key &k, uint32_t **link, uint32_t *handle)
{
    uint32_t *l = &pool->buckets[key_hash(k) & pool->bucket_mask];
    while (*l != prefix_nil) {
        prefix_entry *e = pool->at(*l);
        if (key_matches(e, k)) {
            if (link)
                *link = l;
            if (handle)
                *handle = *l;
            return e;
        }
        l = &e->hash_next;
    }
    return nullptr;
}

std::unique_ptr<prefix_pool> pool_create()
{
    std::unique_ptr<prefix_pool> pool(new (std::nothrow) prefix_pool());
    if (!pool || pool->buckets.resize(prefix_buckets) != 0)
        return nullptr;
    std::memset(pool->buckets.data(), 0xFF, prefix_buckets * sizeof(uint32_t));
    pool->bucket_mask = prefix_buckets - 1;
    return pool;
}

uint32_t pool_alloc(prefix_pool *pool)
{
    if (pool->free_head != prefix_nil) {
        uint32_t h = pool->free_head;
        pool->free_head = pool->at(h)->hash_next;
        return h;
    }
    if (pool->used == prefix_nil - 1)  // never the handle before prefix_nil: h + 1 is always a handle
        return prefix_nil;
    uint32_t chunk = pool->used >> prefix_chunk_shift;
    if (chunk == pool->chunk_count) {
        if (chunk == pool->chunks.size() && pool->chunks.resize(chunk ? size_t(chunk) * 2 : 8) != 0)
            return prefix_nil;
        if (pool->chunks[chunk].resize(chunk_entries) != 0)
            return prefix_nil;
        pool->chunk_count++;
    }
    return pool->used++;
}

void pool_release(prefix_pool *pool, prefix_entry *e, uint32_t h)
{
    e->hash_next = pool->free_head;
    pool->free_head = h;
}

// Doubles the bucket array and rechains every entry, oldest first, so that each chain again
// holds its newest entry at the head. Without memory the table keeps its size and chains merely
// grow longer.
void grow_buckets(prefix_db *db)
{
    prefix_pool *pool = db->pool.get();
    uint64_t n = uint64_t(pool->bucket_mask) + 1;
    if (n >= (uint64_t(1) << 31))
        return;
    uint64_t new_n = n * 2;
    heap_array<uint32_t> nb;
    if (nb.resize(new_n) != 0)
        return;
    std::memset(nb.data(), 0xFF, new_n * sizeof(uint32_t));
    uint32_t mask = uint32_t(new_n - 1);
    uint32_t h = db->first;
    for (prefix_entry *e = db->at(h); e;) {
        uint32_t *head = &nb[key_hash(entry_key(e)) & mask];
        e->hash_next = *head;
        *head = h;
        e = db->step(e, h);
    }
    pool->buckets = std::move(nb);
    pool->bucket_mask = mask;
}

void count_removed(prefix_db *db, const prefix_entry *e)
{
    db->count--;
    if (e->afi == afi_ipv4)
        db->v4_count--;
    if (e->plen == 0)
        db->default_count--;
    if (db->limit && db->limit->count > 0)
        db->limit->count--;
}

// The entry of handle n, given an entry e of handle h: in the same chunk it is reached from e,
// without the chunk table (list neighbours mostly are).
prefix_entry *near(const prefix_pool *pool, prefix_entry *e, uint32_t h, uint32_t n)
{
    if (n >> prefix_chunk_shift == h >> prefix_chunk_shift)
        return e + (ptrdiff_t(n) - ptrdiff_t(h));
    return pool->at(n);
}

// Unlinks the entry (found through *link, handle h) from its chain and the entry list and frees it.
void erase(prefix_db *db, uint32_t *link, prefix_entry *e, uint32_t h)
{
    prefix_pool *pool = db->pool.get();
    *link = e->hash_next;
    if (e->list_prev != prefix_nil)
        near(pool, e, h, e->list_prev)->list_next = e->list_next;
    else
        db->first = e->list_next;
    if (e->list_next != prefix_nil)
        near(pool, e, h, e->list_next)->list_prev = e->list_prev;
    else
        db->last = e->list_prev;
    count_removed(db, e);
    pool_release(pool, e, h);
}

// Erases the entry of handle h, reached by walking the entry list: its chain link is found
// through its key.
void erase_entry(prefix_db *db, prefix_entry *e, uint32_t h)
{
    prefix_pool *pool = db->pool.get();
    uint32_t *l = &pool->buckets[key_hash(entry_key(e)) & pool->bucket_mask];
    while (*l != h) {
        if (*l == prefix_nil)
            return;  // not chained: cannot happen, and never unlink what the chain does not hold
        l = &pool->at(*l)->hash_next;
    }
    erase(db, l, e, h);
}

}  // namespace

prefix_entry *lookup(prefix_db *db, uint8_t afi, const uint8_t *addr, uint8_t plen)
{
    if (!db->pool)
        return nullptr;
    return find(db->pool.get(), make_key(afi, addr, plen), nullptr, nullptr);
}

namespace {

// The limit applies to what the routing suite sends; the default routes the daemon stores itself when the
// routing suite goes away must always reach the hosts, whatever the other VRFs hold.
enum class limit_check { enforce, exempt };

int store(prefix_db *db, uint8_t afi, const uint8_t *addr, uint8_t plen, uint8_t w, uint32_t epoch,
          limit_check limit)
{
    if (debug_logging())  // once per prefix: the guard spares the call (prefix_db_bench)
        tlog(LOG_DEBUG, "db: add_or_update afi=%u plen=%u w=%u epoch=%u", afi, plen, w, epoch);

    prefix_key k = make_key(afi, addr, plen);
    if (db->pool) {
        if (prefix_entry *e = find(db->pool.get(), k, nullptr, nullptr)) {
            bool changed = e->w != w;
            e->w = w;
            e->epoch = epoch;
            return changed ? 0 : -2;
        }
    }

    prefix_limit *lim = db->limit;
    if (limit == limit_check::enforce && lim && lim->count >= lim->max) {
        tlog(LOG_ERR, "db: prefix limit %zu reached (max-unreachable-prefix=%zu), dropping new entry", lim->count,
             lim->max);
        return -1;
    }

    if (!db->pool)
        db->pool = pool_create();
    prefix_pool *pool = db->pool.get();
    uint32_t h = pool ? pool_alloc(pool) : prefix_nil;
    if (h == prefix_nil) {
        tlog(LOG_ERR, "db: calloc failed");
        return -1;
    }

    prefix_entry *e = pool->at(h);
    std::memset(e, 0, sizeof *e);
    e->afi = afi;
    e->plen = plen;
    e->w = w;
    e->epoch = epoch;
    std::memcpy(e->addr, addr, afi == afi_ipv4 ? 4 : 16);

    uint32_t *head = &pool->buckets[key_hash(k) & pool->bucket_mask];
    e->hash_next = *head;
    *head = h;

    e->list_next = prefix_nil;
    e->list_prev = db->last;
    if (db->last != prefix_nil)
        pool->at(db->last)->list_next = h;
    else
        db->first = h;
    db->last = h;

    db->count++;
    if (afi == afi_ipv4)
        db->v4_count++;
    if (plen == 0)
        db->default_count++;
    if (db->count > size_t(pool->bucket_mask) + 1)
        grow_buckets(db);

    if (lim) {
        lim->count++;
        if (!lim->warned && lim->count >= lim->max * 8 / 10) {
            tlog(LOG_WARNING, "db: global prefix count %zu exceeds 80%% of limit %zu", lim->count, lim->max);
            lim->warned = true;
        }
    }
    return 1;
}

}  // namespace

int add_or_update(prefix_db *db, uint8_t afi, const uint8_t *addr, uint8_t plen, uint8_t w, uint32_t epoch)
{
    return store(db, afi, addr, plen, w, epoch, limit_check::enforce);
}

void add_default_routes(prefix_db *db)
{
    store(db, afi_ipv4, zero_addr, 0, 0, 0, limit_check::exempt);
    store(db, afi_ipv6, zero_addr, 0, 0, 0, limit_check::exempt);
}

int remove(prefix_db *db, uint8_t afi, const uint8_t *addr, uint8_t plen)
{
    if (debug_logging())  // once per prefix, like add_or_update
        tlog(LOG_DEBUG, "db: remove afi=%u plen=%u", afi, plen);
    if (!db->pool)
        return -1;
    uint32_t *link = nullptr;
    uint32_t h = prefix_nil;
    prefix_entry *e = find(db->pool.get(), make_key(afi, addr, plen), &link, &h);
    if (!e)
        return -1;
    erase(db, link, e, h);
    return 0;
}

int sweep_stale(prefix_db *db, uint32_t epoch)
{
    tlog(LOG_DEBUG, "db: sweep_stale epoch=%u count=%zu", epoch, db->count);
    int removed = 0;
    uint32_t h = db->first;
    for (prefix_entry *e = db->at(h); e;) {
        const uint32_t this_h = h;
        prefix_entry *next = db->step(e, h);
        if (e->epoch < epoch && e->w == 0) {
            erase_entry(db, e, this_h);
            removed++;
        }
        e = next;
    }
    if (removed > 0)
        tlog(LOG_INFO, "db: sweep removed %d stale (epoch < %u)", removed, epoch);
    return removed;
}

int remove_non_defaults(prefix_db *db)
{
    tlog(LOG_DEBUG, "db: remove_non_defaults count=%zu", db->count);
    int removed = 0;
    uint32_t h = db->first;
    for (prefix_entry *e = db->at(h); e;) {
        const uint32_t this_h = h;
        prefix_entry *next = db->step(e, h);
        if (e->plen != 0) {
            erase_entry(db, e, this_h);
            removed++;
        }
        e = next;
    }
    if (removed > 0)
        tlog(LOG_INFO, "db: removed %d non-default entries (disconnect cleanup)", removed);
    return removed;
}

void clear(prefix_db *db)
{
    tlog(LOG_DEBUG, "db: clear count=%zu", db->count);
    if (db->limit)
        db->limit->count = db->limit->count > db->count ? db->limit->count - db->count : 0;
    db->pool.reset();
    db->first = prefix_nil;
    db->last = prefix_nil;
    db->count = 0;
    db->v4_count = 0;
    db->default_count = 0;
}

bool only_defaults(const prefix_db *db)
{
    return db->count > 0 && db->default_count == db->count;
}
