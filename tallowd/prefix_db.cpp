// Prefix database and VRF contexts: per-VRF hash table with an insertion-ordered entry list, the
// global prefix limit, and the reactions to the routing suite going down.

#include <bit>
#include <cstring>
#include <new>

#include "tallowd.h"

namespace {

// Entries are carved from chunks of 256; a handle is (chunk << 8) | slot.
constexpr unsigned chunk_shift = 8;
constexpr uint32_t chunk_entries = 1u << chunk_shift;
constexpr uint32_t chunk_mask = chunk_entries - 1;

const uint8_t zero_addr[16] = {};

}  // namespace

struct prefix_pool {
    malloc_ptr<prefix_entry *> chunks;  // chunk_count chunks of chunk_entries entries
    uint32_t chunk_count = 0;
    uint32_t chunk_capacity = 0;
    uint32_t used = 0;                // handles handed out so far, free or not
    uint32_t free_head = prefix_nil;  // freed entries, chained through hash_next
    uint32_t last = prefix_nil;       // handle of the newest entry
    malloc_ptr<uint32_t> buckets;     // chain heads, bucket_mask + 1 of them
    uint32_t bucket_mask = 0;

    prefix_pool() = default;
    prefix_pool(const prefix_pool &) = delete;
    prefix_pool &operator=(const prefix_pool &) = delete;
    ~prefix_pool()
    {
        for (uint32_t i = 0; i < chunk_count; i++)
            std::free(chunks.get()[i]);
    }

    prefix_entry *at(uint32_t h) const { return chunks.get()[h >> chunk_shift] + (h & chunk_mask); }
};

void prefix_pool_deleter::operator()(prefix_pool *p) const
{
    delete p;
}

namespace {

bool debug_logging()
{
    const daemon_config *cfg = active_cfg.load(std::memory_order_relaxed);
    return cfg && cfg->log_level >= LOG_DEBUG;
}

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
    unsigned width = afi == 4 ? 4 : 16;
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
prefix_entry *find(const prefix_pool *pool, const prefix_key &k, uint32_t **link, uint32_t *handle)
{
    uint32_t *l = &pool->buckets.get()[key_hash(k) & pool->bucket_mask];
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

prefix_pool *pool_create()
{
    auto *pool = new (std::nothrow) prefix_pool();
    if (!pool)
        return nullptr;
    pool->buckets.reset(static_cast<uint32_t *>(std::malloc(prefix_buckets * sizeof(uint32_t))));
    if (!pool->buckets) {
        delete pool;
        return nullptr;
    }
    std::memset(pool->buckets.get(), 0xFF, prefix_buckets * sizeof(uint32_t));
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
    if (pool->used == prefix_nil)
        return prefix_nil;
    uint32_t chunk = pool->used >> chunk_shift;
    if (chunk == pool->chunk_count) {
        if (chunk == pool->chunk_capacity) {
            uint32_t cap = pool->chunk_capacity ? pool->chunk_capacity * 2 : 8;
            void *grown = std::realloc(pool->chunks.get(), size_t(cap) * sizeof(prefix_entry *));
            if (!grown)
                return prefix_nil;
            (void)pool->chunks.release();
            pool->chunks.reset(static_cast<prefix_entry **>(grown));
            pool->chunk_capacity = cap;
        }
        auto *mem = static_cast<prefix_entry *>(std::malloc(chunk_entries * sizeof(prefix_entry)));
        if (!mem)
            return prefix_nil;
        pool->chunks.get()[chunk] = mem;
        pool->chunk_count++;
    }
    return pool->used++;
}

void pool_release(prefix_pool *pool, prefix_entry *e, uint32_t h)
{
    e->hash_next = pool->free_head;
    pool->free_head = h;
}

// Handle of an entry met while walking the entry list: the newer neighbour links back to it.
uint32_t handle_in_list(const prefix_pool *pool, const prefix_entry *e)
{
    return e->list_next ? e->list_next->list_prev : pool->last;
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
    auto *nb = static_cast<uint32_t *>(std::malloc(new_n * sizeof(uint32_t)));
    if (!nb)
        return;
    std::memset(nb, 0xFF, new_n * sizeof(uint32_t));
    uint32_t mask = uint32_t(new_n - 1);
    for (prefix_entry *e = db->first; e; e = e->list_next) {
        uint32_t *head = &nb[key_hash(entry_key(e)) & mask];
        e->hash_next = *head;
        *head = handle_in_list(pool, e);
    }
    pool->buckets.reset(nb);
    pool->bucket_mask = mask;
}

void count_removed(prefix_db *db, const prefix_entry *e)
{
    db->count--;
    if (e->afi == 4)
        db->v4_count--;
    if (e->plen == 0)
        db->default_count--;
    daemon_config *cfg = active_cfg.load(std::memory_order_relaxed);
    if (cfg && cfg->global_prefix_count > 0)
        cfg->global_prefix_count--;
}

// Unlinks the entry (found through *link, handle h) from its chain and the entry list and frees it.
void erase(prefix_db *db, uint32_t *link, prefix_entry *e, uint32_t h)
{
    prefix_pool *pool = db->pool.get();
    *link = e->hash_next;
    prefix_entry *next = e->list_next;
    prefix_entry *prev = e->list_prev == prefix_nil ? nullptr : pool->at(e->list_prev);
    if (prev)
        prev->list_next = next;
    else
        db->first = next;
    if (next) {
        next->list_prev = e->list_prev;
    } else {
        db->last = prev;
        pool->last = e->list_prev;
    }
    count_removed(db, e);
    pool_release(pool, e, h);
}

// Erases an entry reached by walking the entry list: its chain link is found through its key.
void erase_entry(prefix_db *db, prefix_entry *e)
{
    prefix_pool *pool = db->pool.get();
    uint32_t h = handle_in_list(pool, e);
    uint32_t *l = &pool->buckets.get()[key_hash(entry_key(e)) & pool->bucket_mask];
    while (*l != h) {
        if (*l == prefix_nil)
            return;  // not chained: cannot happen, and never unlink what the chain does not hold
        l = &pool->at(*l)->hash_next;
    }
    erase(db, l, e, h);
}

}  // namespace

// The bucket of a key in a table of 512 chains. The database indexes with key_hash instead: its
// table grows past 512 buckets, and this polynomial folds neighbouring address ranges together
// (31 * x + y repeats for x + 1, y - 31), which would leave long chains however many buckets exist.
unsigned prefix_hash(uint8_t afi, const uint8_t *addr, uint8_t plen)
{
    unsigned h = unsigned(afi) ^ unsigned(plen);
    unsigned n = (unsigned(plen) + 7) / 8;
    if (n > 16)
        n = 16;
    for (unsigned i = 0; i < n; i++)
        h = h * 31 + addr[i];
    return h % prefix_buckets;
}

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
    if (debug_logging())
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

    daemon_config *cfg = active_cfg.load(std::memory_order_relaxed);
    if (limit == limit_check::enforce && cfg && cfg->global_prefix_count >= cfg->max_prefix_limit) {
        tlog(LOG_ERR, "db: prefix limit %zu reached (max-unreachable-prefix=%zu), dropping new entry",
             cfg->global_prefix_count, cfg->max_prefix_limit);
        return -1;
    }

    if (!db->pool)
        db->pool.reset(pool_create());
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
    std::memcpy(e->addr, addr, afi == 4 ? 4 : 16);

    uint32_t *head = &pool->buckets.get()[key_hash(k) & pool->bucket_mask];
    e->hash_next = *head;
    *head = h;

    e->list_prev = pool->last;
    if (db->last)
        db->last->list_next = e;
    else
        db->first = e;
    db->last = e;
    pool->last = h;

    db->count++;
    if (afi == 4)
        db->v4_count++;
    if (plen == 0)
        db->default_count++;
    if (db->count > size_t(pool->bucket_mask) + 1)
        grow_buckets(db);

    if (cfg) {
        cfg->global_prefix_count++;
        if (!cfg->limit_warned && cfg->global_prefix_count >= cfg->max_prefix_limit * 8 / 10) {
            tlog(LOG_WARNING, "db: global prefix count %zu exceeds 80%% of limit %zu", cfg->global_prefix_count,
                 cfg->max_prefix_limit);
            cfg->limit_warned = true;
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
    store(db, 4, zero_addr, 0, 0, 0, limit_check::exempt);
    store(db, 6, zero_addr, 0, 0, 0, limit_check::exempt);
}

int remove(prefix_db *db, uint8_t afi, const uint8_t *addr, uint8_t plen)
{
    if (debug_logging())
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
    if (debug_logging())
        tlog(LOG_DEBUG, "db: sweep_stale epoch=%u count=%zu", epoch, db->count);
    int removed = 0;
    for (prefix_entry *e = db->first; e;) {
        prefix_entry *next = e->list_next;
        if (e->epoch < epoch && e->w == 0) {
            erase_entry(db, e);
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
    if (debug_logging())
        tlog(LOG_DEBUG, "db: remove_non_defaults count=%zu", db->count);
    int removed = 0;
    for (prefix_entry *e = db->first; e;) {
        prefix_entry *next = e->list_next;
        if (e->plen != 0) {
            erase_entry(db, e);
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
    if (debug_logging())
        tlog(LOG_DEBUG, "db: clear count=%zu", db->count);
    daemon_config *cfg = active_cfg.load(std::memory_order_relaxed);
    if (cfg)
        cfg->global_prefix_count = cfg->global_prefix_count > db->count ? cfg->global_prefix_count - db->count : 0;
    db->pool.reset();
    db->first = nullptr;
    db->last = nullptr;
    db->count = 0;
    db->v4_count = 0;
    db->default_count = 0;
}

bool only_defaults(const prefix_db *db)
{
    return db->count > 0 && db->default_count == db->count;
}

vrf_context *vrf_find(daemon_config *cfg, uint32_t vrf_id)
{
    for (const auto &vrf : cfg->vrfs)
        if (vrf->vrf_id == vrf_id)
            return vrf.get();
    return nullptr;
}

vrf_context *vrf_lookup_or_create(daemon_config *cfg, uint32_t vrf_id)
{
    if (debug_logging())
        tlog(LOG_DEBUG, "db: vrf_lookup_or_create vrf=%u", vrf_id);
    if (vrf_context *vrf = vrf_find(cfg, vrf_id))
        return vrf;
    std::unique_ptr<vrf_context> vrf(new (std::nothrow) vrf_context());
    if (vrf) {
        try {
            cfg->vrfs.reserve(cfg->vrfs.size() + 1);
        } catch (const std::bad_alloc &) {
            vrf.reset();
        }
    }
    if (!vrf) {
        tlog(LOG_ERR, "db: VRF alloc failed");
        return nullptr;
    }
    vrf->vrf_id = vrf_id;
    cfg->vrfs.push_back(std::move(vrf));  // capacity reserved above: cannot throw
    tlog(LOG_INFO, "db: created VRF context %u", vrf_id);
    return cfg->vrfs.back().get();
}

namespace {

void vrf_release(vrf_context *vrf)
{
    clear(&vrf->db);
    blobs_free(&vrf->blobs);
    vrf->intfs.reset();
    vrf->intf_count = 0;
}

}  // namespace

void vrf_remove(daemon_config *cfg, vrf_context *vrf)
{
    for (auto it = cfg->vrfs.begin(); it != cfg->vrfs.end(); ++it) {
        if (it->get() != vrf)
            continue;
        tlog(LOG_INFO, "db: removing VRF context %u (0 interfaces)", vrf->vrf_id);
        vrf_release(vrf);
        cfg->vrfs.erase(it);
        return;
    }
}

void vrf_remove_all(daemon_config *cfg)
{
    for (const auto &vrf : cfg->vrfs)
        vrf_release(vrf.get());
    cfg->vrfs.clear();
}

bool any_defaults_present(daemon_config *cfg)
{
    for (const auto &vrf : cfg->vrfs)
        if (vrf->db.default_count > 0)
            return true;
    return false;
}

void controlled_frr_down(daemon_config *cfg)
{
    tlog(LOG_INFO, "failure: controlled FRR down, keeping defaults");
    for (const auto &vrf_ptr : cfg->vrfs) {
        vrf_context *vrf = vrf_ptr.get();
        if (remove_non_defaults(&vrf->db) > 0 || vrf->dirty) {
            build_blobs(vrf, default_mtu);
            if (cfg->lldpd_connected) {
                tallowd_lldp_push_periodic(cfg, vrf, true);
                if (cfg->lldpd_connected)
                    vrf->dirty = 0;  // still owed when the push lost the connection
            }
        }
        vrf->holddown_pending = 0;
        vrf->in_sync = 0;
        vrf->epoch = 0;
    }
}

void inject_defaults(daemon_config *cfg)
{
    tlog(LOG_DEBUG, "failure: inject_defaults");
    tlog(LOG_WARNING, "failure: FRR down, injecting default routes");
    for (const auto &vrf_ptr : cfg->vrfs) {
        vrf_context *vrf = vrf_ptr.get();
        clear(&vrf->db);
        vrf->epoch = 0;
        vrf->in_sync = 0;
        vrf->holddown_pending = 0;
        add_default_routes(&vrf->db);
        tlog(LOG_INFO, "failure: VRF %u: cleared %s, injected default routes (0/0, ::/0)", vrf->vrf_id, "prefix DB");
        build_blobs(vrf, default_mtu);
        tallowd_lldp_push_periodic(cfg, vrf, true);
        vrf->dirty = 0;
    }
    tlog(LOG_WARNING, "failure: default routes pushed to all downlink interfaces");
}
