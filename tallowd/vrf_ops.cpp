// Whole VRFs: their contexts (creation order), the one push of a VRF's frames that settles what it
// owes, the per-VRF steps of the reactions to the routing suite going down (keep the stored default
// routes, or replace everything by 0/0 and ::/0), and the policy that chooses among them, for the
// routing suite's socket closing and for the state service reporting zebra or vorsd down.

#include <new>

#include "daemon.h"

vrf_context *vrf_find(daemon_config *cfg, uint32_t vrf_id)
{
    for (const auto &vrf : cfg->vrfs)
        if (vrf->vrf_id == vrf_id)
            return vrf.get();
    return nullptr;
}

vrf_context *vrf_lookup_or_create(daemon_config *cfg, uint32_t vrf_id)
{
    tlog(LOG_DEBUG, "db: vrf_lookup_or_create vrf=%u", vrf_id);
    if (vrf_context *vrf = vrf_find(cfg, vrf_id))
        return vrf;
    std::unique_ptr<vrf_context> vrf(new (std::nothrow) vrf_context());
    vrf_context *created = vrf.get();
    if (!vrf || cfg->vrfs.append(std::move(vrf)) != 0) {
        tlog(LOG_ERR, "db: VRF alloc failed");
        return nullptr;
    }
    created->vrf_id = vrf_id;
    created->db.limit = &cfg->limit;
    tlog(LOG_INFO, "db: created VRF context %u", vrf_id);
    return created;
}

namespace {

void vrf_release(vrf_context *vrf)
{
    clear(&vrf->db);
    blobs_free(&vrf->blobs);
    vrf->intfs.reset();
}

}  // namespace

void vrf_remove(daemon_config *cfg, vrf_context *vrf)
{
    for (size_t i = 0; i < cfg->vrfs.size(); i++) {
        if (cfg->vrfs[i].get() != vrf)
            continue;
        tlog(LOG_INFO, "db: removing VRF context %u (0 interfaces)", vrf->vrf_id);
        vrf_release(vrf);
        cfg->vrfs.erase(i);
        return;
    }
}

void vrf_remove_all(daemon_config *cfg)
{
    for (const auto &vrf : cfg->vrfs)
        vrf_release(vrf.get());
    cfg->vrfs.reset();
}

bool any_defaults_present(daemon_config *cfg)
{
    for (const auto &vrf : cfg->vrfs)
        if (vrf->db.default_count > 0)
            return true;
    return false;
}

void vrf_owe_push(vrf_context *vrf)
{
    vrf->dirty = 1;
    if (!vrf->holddown_pending) {
        vrf->holddown_start = monotonic_now();
        vrf->holddown_pending = 1;
    }
}

namespace {

void settle(vrf_context *vrf)
{
    vrf->dirty = 0;
    vrf->holddown_pending = 0;
}

}  // namespace

bool vrf_push(daemon_config *cfg, vrf_context *vrf, const push_request &req)
{
    if (req.owed == owed_after::owed_until_sent)
        vrf->holddown_pending = 0;  // the holddown ends with this push, sent or not
    if (req.rebuild)
        build_blobs(vrf, default_mtu);
    bool sent = false;
    if (cfg->lldpd_connected) {
        tallowd_lldp_push_periodic(cfg, vrf, req.trigger);
        sent = cfg->lldpd_connected;  // false when the push lost the connection
    }
    switch (req.owed) {
    case owed_after::settled_if_sent:
        if (sent)
            settle(vrf);
        break;
    case owed_after::owed_until_sent:
        if (sent)
            settle(vrf);
        else
            vrf->dirty = 1;
        break;
    case owed_after::unchanged:
        break;
    case owed_after::nothing:
        settle(vrf);
        break;
    }
    return sent;
}

void vrf_keep_defaults(daemon_config *cfg, vrf_context *vrf)
{
    if (remove_non_defaults(&vrf->db) > 0 || vrf->dirty)
        vrf_push(cfg, vrf, {.rebuild = true, .trigger = true, .owed = owed_after::settled_if_sent});
}

void vrf_reset_to_defaults(vrf_context *vrf)
{
    clear(&vrf->db);
    vrf->epoch = 0;
    add_default_routes(&vrf->db);
}

void vrf_end_sync_state(vrf_context *vrf)
{
    vrf->holddown_pending = 0;
    vrf->in_sync = 0;
    vrf->epoch = 0;
}

void controlled_frr_down(daemon_config *cfg)
{
    tlog(LOG_INFO, "failure: controlled FRR down, keeping defaults");
    for (const auto &vrf : cfg->vrfs) {
        vrf_keep_defaults(cfg, vrf.get());
        vrf_end_sync_state(vrf.get());
    }
}

void inject_defaults(daemon_config *cfg)
{
    tlog(LOG_DEBUG, "failure: inject_defaults");
    tlog(LOG_WARNING, "failure: FRR down, injecting default routes");
    for (const auto &vrf_ptr : cfg->vrfs) {
        vrf_context *vrf = vrf_ptr.get();
        vrf_end_sync_state(vrf);
        vrf_reset_to_defaults(vrf);
        tlog(LOG_INFO, "failure: VRF %u: cleared %s, injected default routes (0/0, ::/0)", vrf->vrf_id, "prefix DB");
        // Owes nothing afterwards, whether or not lldpd is connected: a VRF with frames is pushed
        // by the next connection anyway.
        vrf_push(cfg, vrf, {.rebuild = true, .trigger = true, .owed = owed_after::nothing});
    }
    tlog(LOG_WARNING, "failure: default routes pushed to all downlink interfaces");
}

// The routing suite going away (its socket closing, the state service reporting zebra down) and the
// switch daemon going away (vorsd reported down): the policy for each, side by side. Their log lines
// keep the prefix of the part that learns it (ipc:, mesra:).

// Its socket closed (ipc.cpp, when the last client is gone). Nothing during a warm boot, nor when
// the state service has already reported zebra down. Otherwise, per VRF: stored default routes are
// kept, a VRF with interfaces gets 0/0 and ::/0, and one without is emptied.
void disconnect_cleanup(daemon_config *cfg)
{
    tlog(LOG_WARNING, "ipc: last FRR client disconnected");
    if (cfg->warmboot) {
        tlog(LOG_NOTICE, "ipc: FRR disconnected during warmboot, skipping cleanup");
        return;
    }
    if (!cfg->frr_up) {
        tlog(LOG_INFO, "ipc: MESRA already handled FRR down, skipping disconnect cleanup");
        return;
    }
    for (const auto &vrf_ptr : cfg->vrfs) {
        vrf_context *vrf = vrf_ptr.get();
        if (vrf->db.default_count > 0) {
            vrf_keep_defaults(cfg, vrf);
            tlog(LOG_INFO, "ipc: zebra down (VRF %u), defaults kept", vrf->vrf_id);
        } else if (!vrf->intfs.empty()) {
            vrf_reset_to_defaults(vrf);
            vrf_push(cfg, vrf, {.rebuild = true, .trigger = true, .owed = owed_after::nothing});
            tlog(LOG_WARNING, "ipc: FRR crash (VRF %u), injected defaults", vrf->vrf_id);
        } else {
            clear(&vrf->db);
            // The VRF has no interface: the push reaches none. Without lldpd its old frames stay.
            const bool connected = cfg->lldpd_connected;
            vrf_push(cfg, vrf, {.rebuild = connected, .trigger = true, .owed = owed_after::nothing});
            if (connected)
                blobs_free(&vrf->blobs);
            tlog(LOG_INFO, "ipc: feature disable (VRF %u), day-0", vrf->vrf_id);
        }
        vrf_end_sync_state(vrf);
    }
    tlog(LOG_INFO, "ipc: disconnect cleanup complete");
}

// The state service reports zebra down or deleted (mesra.cpp). Nothing during a warm boot;
// otherwise the stored default routes are kept when any VRF holds one, and every VRF gets 0/0 and
// ::/0 when none does.
void zebra_reported_down(daemon_config *cfg, const char *event)
{
    if (cfg->warmboot) {
        tlog(LOG_NOTICE, "mesra: FRR %s during warmboot, skipping default injection", event);
        return;
    }
    if (any_defaults_present(cfg))
        controlled_frr_down(cfg);
    else
        inject_defaults(cfg);
}

// The state service reports vorsd, the switch daemon, down or deleted (mesra.cpp). Nothing during a
// warm boot; otherwise every VRF gets 0/0 and ::/0, stored default routes or not.
void vorsd_reported_down(daemon_config *cfg, const char *event)
{
    if (cfg->warmboot) {
        tlog(LOG_NOTICE, "mesra: vorsd %s during warmboot, skipping default injection", event);
        return;
    }
    inject_defaults(cfg);
}
