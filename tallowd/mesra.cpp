// Service-state integration: announces the daemon as up, follows the states of zebra and vorsd, and
// acknowledges zebra's state-up. When either goes down outside a warm boot, the prefixes of every VRF
// are replaced by default routes.

#include <cstddef>
#include <cstdint>

#include "tallowd.h"

#if TALLOWD_HAVE_MESRA

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
    malloc_ptr<uint8_t> record(proto_common_ack_pack(service_name, PROTO_COMMON_ACK_STATE_UP, &len));
    if (!record) {
        tlog(LOG_WARNING, "mesra: frr ack pack failed");
        return;
    }
    char key[ack_key_size] = {};
    proto_common_ack_key(frr_key, key, sizeof key);
    int rc = mesra_publish(cfg->mesra_handle, key, record.get(), len, 0);
    record.reset();
    if (rc != 0)
        tlog(LOG_WARNING, "mesra: publish %s failed: %s", key, mesra_errstr(cfg->mesra_handle));
    else
        tlog(LOG_INFO, "mesra: published %s=ACK (source=tallowd, kind=STATE_UP)", key);
}

void delete_frr_ack(daemon_config *cfg)
{
    char key[ack_key_size] = {};
    proto_common_ack_key(frr_key, key, sizeof key);
    int rc = mesra_delete(cfg->mesra_handle, key);
    if (rc == 0 || rc == MESRA_ERR_NOT_FOUND)
        tlog(LOG_INFO, "mesra: deleted %s", key);
    else
        tlog(LOG_WARNING, "mesra: delete %s failed: %s", key, mesra_errstr(cfg->mesra_handle));
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

void frr_state_cb(const mesra_change *rec, void *user)
{
    daemon_config *cfg = static_cast<daemon_config *>(user);
    if (!rec || !cfg || !cfg->mesra_handle) {
        tlog(LOG_WARNING, "mesra: frr callback null guard (entry=%p cfg=%p ctx=%p)", static_cast<const void *>(rec),
             static_cast<void *>(cfg), cfg ? static_cast<void *>(cfg->mesra_handle) : nullptr);
        return;
    }
    tlog(LOG_DEBUG, "mesra: frr callback op=%d len=%zu rev=%lu", rec->op, rec->len, rev_of(rec));

    const char *warmboot_text;
    if (rec->op == MESRA_OP_SET) {
        int value = 0;
        if (!decode_state(rec, "frr", value))
            return;
        if (value == state_up) {
            cfg->frr_up = true;
            publish_frr_ack(cfg);  // every up report is acknowledged again
            return;
        }
        if (value != state_down || !cfg->frr_up)
            return;
        warmboot_text = "mesra: FRR down during warmboot, skipping default injection";
    } else if (is_delete(rec->op) && cfg->frr_up) {
        tlog(LOG_WARNING, "mesra: frr state deleted (service down, rev=%lu)", rev_of(rec));
        warmboot_text = "mesra: FRR deleted during warmboot, skipping default injection";
    } else {
        return;
    }

    cfg->frr_up = false;
    delete_frr_ack(cfg);
    if (cfg->warmboot)
        tlog(LOG_NOTICE, "%s", warmboot_text);
    else if (any_defaults_present(cfg))
        controlled_frr_down(cfg);
    else
        inject_defaults(cfg);
}

void vorsd_state_cb(const mesra_change *rec, void *user)
{
    daemon_config *cfg = static_cast<daemon_config *>(user);
    if (!rec || !cfg)
        return;

    const char *warmboot_text;
    if (rec->op == MESRA_OP_SET) {
        int value = 0;
        if (!decode_state(rec, "vorsd", value))
            return;
        if (value == state_up) {
            cfg->vorsd_up = true;
            return;
        }
        if (value != state_down || !cfg->vorsd_up)
            return;
        warmboot_text = "mesra: vorsd down during warmboot, skipping default injection";
    } else if (is_delete(rec->op) && cfg->vorsd_up) {
        tlog(LOG_WARNING, "mesra: vorsd state deleted (service down, rev=%lu)", rev_of(rec));
        warmboot_text = "mesra: vorsd deleted during warmboot, skipping default injection";
    } else {
        return;
    }

    cfg->vorsd_up = false;
    // The switch daemon's loss always replaces the prefixes, stored defaults or not.
    if (cfg->warmboot)
        tlog(LOG_NOTICE, "%s", warmboot_text);
    else
        inject_defaults(cfg);
}

void tallowd_mesra_init(daemon_config *cfg)
{
    cfg->mesra_handle = nullptr;
    cfg->frr_sub = nullptr;
    cfg->vorsd_sub = nullptr;
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
    cfg->mesra_handle = handle;
    tlog(LOG_INFO, "mesra: initialized (service=tallowd)");

    if (mesra_publish_state_up(handle, state_up_ttl_ms, nullptr) != 0)
        tlog(LOG_WARNING, "mesra: publish state=up failed: %s", mesra_errstr(handle));
    else
        tlog(LOG_INFO, "mesra: published state=up");

    // Flag MESRA_SUB_CURRENT: a state already in the store is reported at the first dispatch.
    if (mesra_subscribe(&cfg->frr_sub, handle, frr_key, state_field, frr_state_cb, cfg, MESRA_SUB_CURRENT) != 0) {
        cfg->frr_sub = nullptr;
        tlog(LOG_WARNING, "mesra: subscribe frr failed: %s", mesra_errstr(handle));
    } else {
        tlog(LOG_INFO, "mesra: subscribed to frr state");
    }
    if (mesra_subscribe(&cfg->vorsd_sub, handle, vorsd_key, state_field, vorsd_state_cb, cfg, MESRA_SUB_CURRENT) !=
        0) {
        cfg->vorsd_sub = nullptr;
        tlog(LOG_WARNING, "mesra: subscribe vorsd failed: %s", mesra_errstr(handle));
    } else {
        tlog(LOG_INFO, "mesra: subscribed to vorsd state");
    }
}

void tallowd_mesra_dispatch(daemon_config *cfg)
{
    tlog(LOG_DEBUG, "mesra: dispatch on fd %d", cfg->mesra_fd);
    if (cfg->mesra_handle)
        mesra_dispatch(cfg->mesra_handle);
}

void tallowd_mesra_cleanup(daemon_config *cfg)
{
    if (cfg->mesra_handle)
        delete_frr_ack(cfg);
    if (cfg->frr_sub) {
        mesra_unsubscribe(cfg->frr_sub);
        cfg->frr_sub = nullptr;
    }
    if (cfg->vorsd_sub) {
        mesra_unsubscribe(cfg->vorsd_sub);
        cfg->vorsd_sub = nullptr;
    }
    if (cfg->mesra_handle) {
        tlog(LOG_INFO, "mesra: cleaning up");
        mesra_cleanup(cfg->mesra_handle);
        cfg->mesra_handle = nullptr;
    }
    cfg->mesra_fd = -1;
}

#else  // built without the state service: the daemon runs without service state

void tallowd_mesra_init(daemon_config *cfg)
{
    cfg->mesra_fd = -1;
}
void tallowd_mesra_cleanup(daemon_config *cfg)
{
    cfg->mesra_fd = -1;
}
void tallowd_mesra_dispatch(daemon_config *) {}

#endif
