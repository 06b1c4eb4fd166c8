// Fuzz target: change records of the state service, with arbitrary record bytes, operations and
// revisions, through the state decode and the zebra and vorsd callbacks, mixed with warm boots,
// prefixes arriving and lldpd coming and going. The callbacks publish and delete the ACK through the
// state-service library on a private store directory.
//
// Input layout: [VRF count - 1 (bits 0-1) | frr_up (bit 2) | vorsd_up (bit 3) | warmboot (bit 4) |
// lldpd connected (bit 5) | prefix limit (bits 6-7)][VRFs, see setup_vrfs], then events:
//   [kind & 7 = 0 zebra, 1 vorsd | no record (bit 3) | no data (bit 4)][op][rev][length][bytes]
//   [kind & 7 = 2] warm boot flips
//   [kind & 7 = 3][VRF][count] prefixes arrive, [kind bit 3] with the default routes
//   [kind & 7 = 4] lldpd connection flips
//   [kind & 7 = 5][VRF] the VRF owes a push
//   [kind & 7 = 6][VRF][interfaces][ifindexes] a new interface list
//   [kind & 7 = 7] a record through the store: [zebra or vorsd (bit 3) | delete (bit 4)][length][bytes]

#include <dirent.h>

#include <string>
#include <vector>

#include <mesra.h>

#include "fuzz_support.h"

namespace {

std::string store_dir;

void remove_store()
{
    if (store_dir.empty())
        return;
    if (DIR *d = opendir(store_dir.c_str())) {
        while (dirent *e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, ".."))
                unlink((store_dir + "/" + e->d_name).c_str());
        closedir(d);
    }
    rmdir(store_dir.c_str());
}

void mesra_fd_noop(mesra *, int, void *) {}

// A daemon connected to a sink lldpd and to the state service on a private store directory, with the
// daemon's two subscriptions.
daemon_config *daemon()
{
    static daemon_config *cfg = [] {
        char dir[] = "/tmp/tallowd-state-fuzz-XXXXXX";
        if (!mkdtemp(dir))
            std::abort();
        store_dir = dir;
        std::atexit(remove_store);
        daemon_config *c = fuzz_support::quiet_daemon();
        fuzz_support::connect_sink(c);
        static const mesra_fd_ops ops = {mesra_fd_noop, mesra_fd_noop};
        mesra *handle = nullptr;
        if (mesra_init(&handle, dir, "tallowd", nullptr, &ops) != 0)
            std::abort();
        c->mesra_handle.reset(handle);
        mesra_sub *frr = nullptr, *vorsd = nullptr;
        if (mesra_subscribe(&frr, handle, "frr_zebra", "state", frr_state_cb, c, 0) != 0 ||
            mesra_subscribe(&vorsd, handle, "vorsd", "state", vorsd_state_cb, c, 0) != 0)
            std::abort();
        c->frr_sub.reset(frr);
        c->vorsd_sub.reset(vorsd);
        return c;
    }();
    return cfg;
}

int op_of(uint8_t b)
{
    // Mostly the defined operations, sometimes any other value.
    return b < 0xF0 ? b % 4 : int(int8_t(b));
}

vrf_context *pick_vrf(daemon_config *cfg, uint8_t b)
{
    if (cfg->vrfs.empty())
        return nullptr;
    return cfg->vrfs[b % cfg->vrfs.size()].get();
}

// Writes or removes a state record in the store and lets the library report it.
void through_store(daemon_config *cfg, fuzz_support::input &in, uint8_t kind)
{
    std::string path = store_dir + (kind & 8 ? "/vorsd.state" : "/frr_zebra.state");
    if (kind & 0x10) {
        unlink(path.c_str());
    } else {
        size_t got = 0;
        const uint8_t *bytes = in.bytes(in.u8() % 16, got);
        FILE *f = std::fopen(path.c_str(), "w");
        if (!f)
            std::abort();
        std::fwrite(bytes, 1, got, f);
        std::fclose(f);
    }
    mesra_dispatch(cfg->mesra_handle.get());
}

// The state value of a record as the state service encodes it (one to nine decimal digits, an optional
// newline after them), read apart from the library's decoder; false when it is malformed.
bool state_value(const mesra_change &rec, int &value)
{
    const char *p = static_cast<const char *>(rec.data);
    size_t len = rec.len;
    if (!p)
        return false;
    if (len > 0 && p[len - 1] == '\n')
        len--;
    if (len == 0 || len > 9)
        return false;
    value = 0;
    for (size_t i = 0; i < len; i++) {
        if (p[i] < '0' || p[i] > '9')
            return false;
        value = value * 10 + (p[i] - '0');
    }
    return true;
}

void fail(const char *what, const mesra_change &rec)
{
    std::fprintf(stderr, "state fuzz: %s (key %s, op %d, %zu bytes)\n", what, rec.key, rec.op, rec.len);
    std::abort();
}

// One change record to a callback, and what the callback must have done: an up report sets the flag;
// a down report or a deletion after an up report clears it and, outside a warm boot, leaves every VRF
// with the default routes only (zebra, when some VRF held one: the stored ones; otherwise exactly 0/0
// and ::/0 whatever the prefix limit); anything else changes no prefix.
void state_event(daemon_config *cfg, fuzz_support::input &in, uint8_t kind)
{
    uint8_t op = in.u8();
    uint8_t rev = in.u8();
    size_t got = 0;
    const uint8_t *bytes = in.bytes(in.u8() % 32, got);
    // The record bytes in a buffer of their exact size, so that a read past their end is caught.
    std::vector<uint8_t> record(bytes, bytes + got);
    mesra_change change{};
    bool zebra = !(kind & 1);
    change.key = zebra ? "frr_zebra" : "vorsd";
    change.field = "state";
    change.data = kind & 0x10 ? nullptr : record.data();
    change.len = record.size();
    change.rev = rev;
    change.op = op_of(op);
    const mesra_change *rec = kind & 8 ? nullptr : &change;

    bool &up = zebra ? cfg->frr_up : cfg->vorsd_up;
    bool was_up = up;
    bool stored_defaults = false;
    std::vector<size_t> counts;
    for (const auto &vrf : cfg->vrfs) {
        counts.push_back(vrf->db.count);
        stored_defaults = stored_defaults || vrf->db.default_count > 0;
    }
    int value = 0;
    bool reported_up = false, reaction = false;
    if (rec && change.op == MESRA_OP_SET && state_value(change, value)) {
        reported_up = value == 1;
        reaction = value == 2 && was_up;
    } else if (rec && (change.op == MESRA_OP_DELETE || change.op == MESRA_OP_EXPIRE)) {
        reaction = was_up;
    }

    if (zebra)
        frr_state_cb(rec, cfg);
    else
        vorsd_state_cb(rec, cfg);

    if (up != (reported_up || (was_up && !reaction)))
        fail("up flag", change);
    for (size_t i = 0; i < cfg->vrfs.size(); i++) {
        const prefix_db &db = cfg->vrfs[i]->db;
        if (!reaction || cfg->warmboot) {
            if (db.count != counts[i])
                fail("prefixes changed without a down reaction", change);
        } else if (zebra && stored_defaults) {
            if (db.count != db.default_count)
                fail("specific prefixes kept after zebra went down", change);
        } else if (db.count != 2 || db.default_count != 2) {
            fail("VRF without exactly 0/0 and ::/0 after the down reaction", change);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    daemon_config *cfg = daemon();
    static const size_t limits[] = {0, 10, 2000, 200000};
    fuzz_support::input in{data, size};
    uint8_t flags = in.u8();
    cfg->limit.max = limits[flags >> 6];
    fuzz_support::setup_vrfs(cfg, in, (flags & 3) + 1);
    cfg->frr_up = flags & 4;
    cfg->vorsd_up = flags & 8;
    cfg->warmboot = flags & 0x10;
    cfg->lldpd_connected = flags & 0x20;

    for (unsigned events = 0; !in.empty() && events < 64; events++) {
        uint8_t kind = in.u8();
        switch (kind & 7) {
        case 0:
        case 1:
            state_event(cfg, in, kind);
            break;
        case 2:
            cfg->warmboot = !cfg->warmboot;
            break;
        case 3:
            if (vrf_context *vrf = pick_vrf(cfg, in.u8()))
                fuzz_support::add_prefixes(vrf, fuzz_support::prefix_count(in.u8()), kind & 8, 0);
            break;
        case 4:
            cfg->lldpd_connected = !cfg->lldpd_connected;
            break;
        case 5:
            if (vrf_context *vrf = pick_vrf(cfg, in.u8()))
                vrf->dirty = 1;
            break;
        case 6:
            if (vrf_context *vrf = pick_vrf(cfg, in.u8()))
                fuzz_support::set_intfs(vrf, in, in.u8() % 5);
            break;
        case 7:
            through_store(cfg, in, kind);
            break;
        }
        fuzz_support::check_invariants(cfg);
    }
    // Back to an empty store: with both services down, the removals (and the daemon's own ACK
    // changes, which nobody watches) are reported and change nothing.
    fuzz_support::reset(cfg);
    unlink((store_dir + "/frr_zebra.state").c_str());
    unlink((store_dir + "/vorsd.state").c_str());
    mesra_dispatch(cfg->mesra_handle.get());
    return 0;
}
