// Service-state integration: announces the daemon as up, follows the states of zebra and vorsd, and
// acknowledges zebra's state-up. What follows when either goes down is decided in vrf_ops.cpp
// (zebra_reported_down, vorsd_reported_down), beside the policy for the routing suite's socket closing.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "daemon.h"

#include <mesra.h>
#include <numo_msgs.h>

// The callbacks read these fields of the library's change record.
static_assert(offsetof(mesra_change, data) == 8);
static_assert(offsetof(mesra_change, len) == 16);
static_assert(offsetof(mesra_change, rev) == 24);
static_assert(offsetof(mesra_change, op) == 40);

namespace {

constexpr const char *service_name = "tallowd";
constexpr const char *frr_key = "frr_zebra";
constexpr const char *vorsd_key = "vorsd";
constexpr const char *state_field = "state";
constexpr unsigned state_up_ttl_ms = 2000;
constexpr size_t ack_key_size = 64;

constexpr int state_up = PROTO_COMMON_STATE_UP;
constexpr int state_down = PROTO_COMMON_STATE_DOWN;

const mesra_fd_ops fd_ops = {mesra_add_fd_cb, mesra_remove_fd_cb};

// A record the message library encodes belongs to it until handed back through free(), as its
// contract says; it is not one of the daemon's own allocations (those are heap_array and
// new (std::nothrow) into std::unique_ptr).
struct library_free {
    void operator()(uint8_t *p) const { std::free(p); }
};
using library_record = std::unique_ptr<uint8_t, library_free>;

unsigned long rev_of(const mesra_change *rec)
{
    return static_cast<unsigned long>(rec->rev);
}

bool is_delete(int op)
{
    return op == MESRA_OP_DELETE || op == MESRA_OP_EXPIRE;
}

void publish_frr_ack(daemon_config *cfg)
{
    size_t len = 0;
    library_record record(proto_common_ack_pack(service_name, PROTO_COMMON_ACK_STATE_UP, &len));
    if (!record) {
        tlog(LOG_WARNING, "mesra: frr ack pack failed");
        return;
    }
    char key[ack_key_size] = {};
    proto_common_ack_key(frr_key, key, sizeof key);
    int rc = mesra_publish(cfg->mesra_handle.get(), key, record.get(), len, 0);
    record.reset();
    if (rc != 0)
        tlog(LOG_WARNING, "mesra: publish %s failed: %s", key, mesra_errstr(cfg->mesra_handle.get()));
    else
        tlog(LOG_INFO, "mesra: published %s=ACK (source=tallowd, kind=STATE_UP)", key);
}

void delete_frr_ack(daemon_config *cfg)
{
    char key[ack_key_size] = {};
    proto_common_ack_key(frr_key, key, sizeof key);
    int rc = mesra_delete(cfg->mesra_handle.get(), key);
    if (rc == 0 || rc == MESRA_ERR_NOT_FOUND)
        tlog(LOG_INFO, "mesra: deleted %s", key);
    else
        tlog(LOG_WARNING, "mesra: delete %s failed: %s", key, mesra_errstr(cfg->mesra_handle.get()));
}

// Decodes a set record into value; false (logged) when it is malformed.
bool decode_state(const mesra_change *rec, const char *who, int &value)
{
    if (proto_common_state_decode(rec->data, rec->len, &value) != 0) {
        tlog(LOG_WARNING, "mesra: %s state decode failed (rev=%lu)", who, rev_of(rec));
        return false;
    }
    tlog(LOG_NOTICE, "mesra: %s state=%s (rev=%lu)", who, proto_common_state_value_to_str(value), rev_of(rec));
    return true;
}

}  // namespace

void mesra_add_fd_cb(mesra *, int fd, void *)
{
    daemon_config *cfg = active_cfg.load();
    if (!cfg)
        return;
    if (cfg->mesra_fd >= 0 && cfg->mesra_fd != fd)
        tlog(LOG_WARNING, "mesra: replacing fd %d with %d", cfg->mesra_fd, fd);
    cfg->mesra_fd = fd;
    tlog(LOG_DEBUG, "mesra: add_fd %d", fd);
}

void mesra_remove_fd_cb(mesra *, int fd, void *)
{
    daemon_config *cfg = active_cfg.load();
    if (!cfg)
        return;
    tlog(LOG_DEBUG, "mesra: remove_fd %d", fd);
    if (cfg->mesra_fd == fd)
        cfg->mesra_fd = -1;
}

namespace {

// What one record says of a followed service that is `up` (as last reported): none when there is
// nothing to act on (a malformed record, another value, a down report or a deletion while not up).
enum class state_report { none, up, down, deleted };

state_report read_report(const mesra_change *rec, const char *who, bool up)
{
    if (rec->op == MESRA_OP_SET) {
        int value = 0;
        if (!decode_state(rec, who, value))
            return state_report::none;
        if (value == state_up)
            return state_report::up;
        return value == state_down && up ? state_report::down : state_report::none;
    }
    if (is_delete(rec->op) && up) {
        tlog(LOG_WARNING, "mesra: %s state deleted (service down, rev=%lu)", who, rev_of(rec));
        return state_report::deleted;
    }
    return state_report::none;
}

const char *event_name(state_report r)
{
    return r == state_report::deleted ? "deleted" : "down";
}

}  // namespace

// zebra: every up report publishes the acknowledgement again; a down report or deletion withdraws
// it and goes to the policy in vrf_ops.cpp.
void frr_state_cb(const mesra_change *rec, void *user)
{
    auto *cfg = static_cast<daemon_config *>(user);
    if (!rec || !cfg || !cfg->mesra_handle) {
        tlog(LOG_WARNING, "mesra: frr callback null guard (entry=%p cfg=%p ctx=%p)", static_cast<const void *>(rec),
             static_cast<void *>(cfg), cfg ? static_cast<void *>(cfg->mesra_handle.get()) : nullptr);
        return;
    }
    tlog(LOG_DEBUG, "mesra: frr callback op=%d len=%zu rev=%lu", rec->op, rec->len, rev_of(rec));
    state_report r = read_report(rec, "frr", cfg->frr_up);
    if (r == state_report::none)
        return;
    if (r == state_report::up) {
        cfg->frr_up = true;
        publish_frr_ack(cfg);
        return;
    }
    cfg->frr_up = false;
    delete_frr_ack(cfg);
    zebra_reported_down(cfg, event_name(r));
}

// vorsd: no acknowledgement, no trace; a down report or deletion goes to the policy in vrf_ops.cpp.
void vorsd_state_cb(const mesra_change *rec, void *user)
{
    auto *cfg = static_cast<daemon_config *>(user);
    if (!rec || !cfg)
        return;
    state_report r = read_report(rec, "vorsd", cfg->vorsd_up);
    if (r == state_report::none)
        return;
    cfg->vorsd_up = r == state_report::up;
    if (r != state_report::up)
        vorsd_reported_down(cfg, event_name(r));
}

void mesra_handle_deleter::operator()(mesra *m) const
{
    mesra_cleanup(m);
}

void mesra_sub_deleter::operator()(mesra_sub *s) const
{
    mesra_unsubscribe(s);
}

namespace {

void subscribe(daemon_config *cfg, mesra_sub_ptr &sub, const char *key, mesra_change_cb cb, const char *name)
{
    mesra_sub *raw = nullptr;
    // Flag MESRA_SUB_CURRENT: a state already in the store is reported at the first dispatch.
    if (mesra_subscribe(&raw, cfg->mesra_handle.get(), key, state_field, cb, cfg, MESRA_SUB_CURRENT) != 0) {
        tlog(LOG_WARNING, "mesra: subscribe %s failed: %s", name, mesra_errstr(cfg->mesra_handle.get()));
        return;
    }
    sub.reset(raw);
    tlog(LOG_INFO, "mesra: subscribed to %s state", name);
}

}  // namespace

void tallowd_mesra_init(daemon_config *cfg)
{
    cfg->vorsd_sub.reset();
    cfg->frr_sub.reset();
    cfg->mesra_handle.reset();
    cfg->mesra_fd = -1;
    cfg->frr_up = false;
    cfg->vorsd_up = false;

    mesra *handle = nullptr;
    if (mesra_init(&handle, nullptr, service_name, nullptr, &fd_ops) != 0 || !handle) {
        tlog(LOG_WARNING, "mesra: init failed: %s", mesra_errstr(nullptr));
        if (handle)
            mesra_cleanup(handle);
        cfg->mesra_fd = -1;
        return;
    }
    cfg->mesra_handle.reset(handle);
    tlog(LOG_INFO, "mesra: initialized (service=tallowd)");

    if (mesra_publish_state_up(handle, state_up_ttl_ms, nullptr) != 0)
        tlog(LOG_WARNING, "mesra: publish state=up failed: %s", mesra_errstr(handle));
    else
        tlog(LOG_INFO, "mesra: published state=up");
    subscribe(cfg, cfg->frr_sub, frr_key, frr_state_cb, "frr");
    subscribe(cfg, cfg->vorsd_sub, vorsd_key, vorsd_state_cb, "vorsd");
}

void tallowd_mesra_dispatch(daemon_config *cfg)
{
    tlog(LOG_DEBUG, "mesra: dispatch on fd %d", cfg->mesra_fd);
    if (cfg->mesra_handle)
        mesra_dispatch(cfg->mesra_handle.get());
}

void tallowd_mesra_cleanup(daemon_config *cfg)
{
    if (cfg->mesra_handle)
        delete_frr_ack(cfg);
    cfg->frr_sub.reset();
    cfg->vorsd_sub.reset();
    if (cfg->mesra_handle) {
        tlog(LOG_INFO, "mesra: cleaning up");
        cfg->mesra_handle.reset();
    }
    cfg->mesra_fd = -1;
}
