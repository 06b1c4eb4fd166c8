// libsxapi stand-in: simulates one bulk-counter job of the switch ASIC inside
// the calling process. Driven by the environment (read once, at the first call):
//   SX_SIM_LOG=path          one JSON object per line for every call
//   SX_SIM_FAIL=item,...     calls that fail: NAME, NAME:CMD, or for the sample
//                            reads sx_api_bulk_counter_transaction_get:time@I / :port@I
//   SX_SIM_EVENTS=ev,...     events after the transaction starts: done, foreign,
//                            trap:N, status:N, none (default: done)
//   SX_SIM_DELAY_MS=n        delay before the first event (default 0)
//   SX_SIM_LIMIT=n           buffer limit in MB that the attribute read reports (default 100)
//   SX_SIM_GET_DELAY_US=n    pause in every time read, to keep a job's read-out busy
// The event descriptor is a timerfd: it turns readable when an event is due.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include "sim_internal.h"

namespace {

constexpr uint64_t foreign_cookie = 0x50000000;
constexpr sx_api_handle_t sim_handle = 0x5a17c0de;

enum class event_kind { done, foreign, trap, status };

struct sim_event {
    event_kind kind;
    long value;
};

struct fail_rule {
    std::string call;
    bool has_cmd = false;
    long cmd = 0;
    int read_kind = 0; // sample reads: 1 time, 2 port
    long sample = 0;
};

enum class txn_state { idle, running, ended, cancelled };

struct sim_state {
    bool configured = false;
    int log_fd = -1;
    std::vector<fail_rule> fails;
    std::vector<sim_event> script; // events of every transaction, from SX_SIM_EVENTS
    std::deque<sim_event> events;  // still to come in the running transaction
    long delay_ms = 0;
    long get_delay_us = 0;
    uint32_t limit_mb = 100;

    bool open = false;
    int event_fd = -1;
    bool trap_registered = false;
    bool buffer_exists = false;
    uint32_t buffer_id = 0;
    uint64_t cookie = 0;
    sx_bulk_cntr_hft_key_t key{};
    txn_state txn = txn_state::idle;
    int32_t txn_status = 0;
};

sim_state &sim();

long parse_long(std::string_view s, long fallback)
{
    std::string text(s);
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0')
        return fallback;
    return v;
}

std::vector<std::string_view> split(std::string_view s, char sep)
{
    std::vector<std::string_view> out;
    while (!s.empty()) {
        size_t pos = s.find(sep);
        std::string_view item = s.substr(0, pos);
        if (!item.empty())
            out.push_back(item);
        if (pos == std::string_view::npos)
            break;
        s.remove_prefix(pos + 1);
    }
    return out;
}

void configure(sim_state &st)
{
    st.configured = true;
    if (const char *path = std::getenv("SX_SIM_LOG"); path && *path)
        st.log_fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (const char *fail = std::getenv("SX_SIM_FAIL")) {
        for (std::string_view item : split(fail, ',')) {
            fail_rule r;
            size_t colon = item.find(':');
            r.call = std::string(item.substr(0, colon));
            if (colon != std::string_view::npos) {
                std::string_view arg = item.substr(colon + 1);
                size_t at = arg.find('@');
                if (at != std::string_view::npos) {
                    std::string_view what = arg.substr(0, at);
                    r.read_kind = what == "time" ? SX_BULK_CNTR_HFT_READ_TIME : what == "port" ? SX_BULK_CNTR_HFT_READ_PORT : -1;
                    r.sample = parse_long(arg.substr(at + 1), -1);
                } else {
                    r.has_cmd = true;
                    r.cmd = parse_long(arg, -1);
                }
            }
            st.fails.push_back(std::move(r));
        }
    }
    const char *events = std::getenv("SX_SIM_EVENTS");
    for (std::string_view item : split(events ? events : "done", ',')) {
        if (item == "none")
            break; // nothing is delivered from here on
        if (item == "done")
            st.script.push_back({event_kind::done, 0});
        else if (item == "foreign")
            st.script.push_back({event_kind::foreign, 0});
        else if (item.starts_with("trap:"))
            st.script.push_back({event_kind::trap, parse_long(item.substr(5), 0)});
        else if (item.starts_with("status:"))
            st.script.push_back({event_kind::status, parse_long(item.substr(7), 1)});
    }
    if (const char *d = std::getenv("SX_SIM_DELAY_MS"))
        st.delay_ms = parse_long(d, 0);
    if (const char *d = std::getenv("SX_SIM_GET_DELAY_US"))
        st.get_delay_us = parse_long(d, 0);
    if (const char *l = std::getenv("SX_SIM_LIMIT"))
        st.limit_mb = static_cast<uint32_t>(parse_long(l, 100));
}

sim_state &sim()
{
    static sim_state st;
    if (!st.configured)
        configure(st);
    return st;
}

bool should_fail(const sim_state &st, std::string_view call, long cmd, int read_kind = 0, long sample = 0)
{
    for (const fail_rule &r : st.fails) {
        if (r.call != call)
            continue;
        if (r.has_cmd && r.cmd != cmd)
            continue;
        if (r.read_kind != 0 && (r.read_kind != read_kind || r.sample != sample))
            continue;
        return true;
    }
    return false;
}

// One log record: fields are appended as already-encoded JSON values.
struct log_line {
    std::string text;

    log_line(const char *call, sx_status_t status)
    {
        text = "{\"call\":\"";
        text += call;
        text += "\",\"status\":";
        text += std::to_string(status);
    }
    log_line &field(const char *name, const std::string &json)
    {
        text += ",\"";
        text += name;
        text += "\":";
        text += json;
        return *this;
    }
    log_line &num(const char *name, long long v) { return field(name, std::to_string(v)); }
    void emit(const sim_state &st)
    {
        if (st.log_fd < 0)
            return;
        text += "}\n";
        // One write per line: the lines of a killed process stay whole.
        ssize_t n = ::write(st.log_fd, text.data(), text.size());
        (void)n;
    }
};

template <typename T> std::string json_array(const T *v, uint32_t n)
{
    std::string s = "[";
    for (uint32_t i = 0; i < n; i++) {
        if (i)
            s += ',';
        s += std::to_string(v[i]);
    }
    s += ']';
    return s;
}

std::string key_json(const sx_bulk_cntr_buffer_key_t &key)
{
    const sx_bulk_cntr_hft_key_t &k = key.hft;
    std::string s = "{\"type\":" + std::to_string(key.type);
    s += ",\"lead\":" + json_array(k.lead, 3);
    s += ",\"counters\":" + json_array(k.port_cntr_types, std::min<uint32_t>(k.port_cntr_type_count, SX_HFT_MAX_PORT_CNTRS));
    s += ",\"tcs\":" + json_array(k.tcs, std::min<uint32_t>(k.tc_count, SX_HFT_MAX_TCS));
    s += ",\"ports\":" + json_array(k.ports, std::min<uint32_t>(k.port_count, SX_HFT_MAX_PORTS));
    s += ",\"sample_count\":" + std::to_string(k.sample_count);
    s += ",\"interval\":" + std::to_string(k.interval);
    s += '}';
    return s;
}

void arm_event(sim_state &st, long delay_ms)
{
    if (st.event_fd < 0 || st.events.empty())
        return;
    itimerspec its{};
    if (delay_ms > 0) {
        its.it_value.tv_sec = delay_ms / 1000;
        its.it_value.tv_nsec = (delay_ms % 1000) * 1000000L;
    } else {
        its.it_value.tv_nsec = 1; // due at once
    }
    timerfd_settime(st.event_fd, 0, &its, nullptr);
}

void disarm_event(sim_state &st)
{
    if (st.event_fd < 0)
        return;
    itimerspec its{};
    timerfd_settime(st.event_fd, 0, &its, nullptr);
}

sx_status_t check_handle(const sim_state &st, sx_api_handle_t handle)
{
    return st.open && handle == sim_handle ? SX_STATUS_SUCCESS : SX_STATUS_INVALID_HANDLE;
}

// Bytes the SDK would reserve for the job's samples.
uint64_t buffer_bytes(const sx_bulk_cntr_hft_key_t &k)
{
    uint64_t per_port = 16 + 4ull * k.tc_count;
    return uint64_t(k.sample_count) * (8 + per_port * k.port_count);
}

sx_status_t validate_key(const sim_state &st, const sx_bulk_cntr_buffer_key_t *key)
{
    if (!key || key->type != SX_BULK_CNTR_KEY_TYPE_HFT)
        return SX_STATUS_PARAM_ERROR;
    const sx_bulk_cntr_hft_key_t &k = key->hft;
    if (k.port_cntr_type_count > SX_HFT_MAX_PORT_CNTRS || k.tc_count > SX_HFT_MAX_TCS || k.port_count > SX_HFT_MAX_PORTS)
        return SX_STATUS_PARAM_ERROR;
    for (uint32_t i = 0; i < k.tc_count; i++)
        if (k.tcs[i] < 0 || k.tcs[i] >= SX_HFT_MAX_TCS)
            return SX_STATUS_PARAM_ERROR;
    if (buffer_bytes(k) > uint64_t(st.limit_mb) << 20)
        return SX_STATUS_NO_RESOURCES;
    return SX_STATUS_SUCCESS;
}

} // namespace

extern "C" {

sx_status_t sx_api_open(sx_log_cb_t, sx_api_handle_t *handle)
{
    sim_state &st = sim();
    sx_status_t rc = SX_STATUS_SUCCESS;
    if (!handle)
        rc = SX_STATUS_PARAM_ERROR;
    else if (should_fail(st, "sx_api_open", 0))
        rc = SX_STATUS_ERROR;
    else if (st.open)
        rc = SX_STATUS_RESOURCE_IN_USE;
    if (rc == SX_STATUS_SUCCESS) {
        st.open = true;
        *handle = sim_handle;
    }
    log_line("sx_api_open", rc).emit(st);
    return rc;
}

sx_status_t sx_api_close(sx_api_handle_t *handle)
{
    sim_state &st = sim();
    sx_status_t rc = handle ? check_handle(st, *handle) : SX_STATUS_PARAM_ERROR;
    if (rc == SX_STATUS_SUCCESS && should_fail(st, "sx_api_close", 0))
        rc = SX_STATUS_ERROR;
    if (rc == SX_STATUS_SUCCESS) {
        st.open = false;
        *handle = 0;
    }
    log_line("sx_api_close", rc).emit(st);
    return rc;
}

sx_status_t sx_api_bulk_counter_attr_get(sx_api_handle_t handle, sx_bulk_cntr_attr_t *attr)
{
    sim_state &st = sim();
    sx_status_t rc = check_handle(st, handle);
    if (rc == SX_STATUS_SUCCESS && (!attr || attr->type != SX_BULK_CNTR_KEY_TYPE_HFT))
        rc = SX_STATUS_PARAM_ERROR;
    if (rc == SX_STATUS_SUCCESS && should_fail(st, "sx_api_bulk_counter_attr_get", 0))
        rc = SX_STATUS_ERROR;
    if (rc == SX_STATUS_SUCCESS)
        attr->buffer_limit_mb = st.limit_mb;
    log_line line("sx_api_bulk_counter_attr_get", rc);
    if (attr)
        line.num("type", attr->type);
    if (rc == SX_STATUS_SUCCESS)
        line.num("limit", st.limit_mb);
    line.emit(st);
    return rc;
}

sx_status_t sx_api_bulk_counter_attr_set(sx_api_handle_t handle, const sx_bulk_cntr_attr_t *attr)
{
    sim_state &st = sim();
    sx_status_t rc = check_handle(st, handle);
    if (rc == SX_STATUS_SUCCESS && (!attr || attr->type != SX_BULK_CNTR_KEY_TYPE_HFT || attr->buffer_limit_mb == 0))
        rc = SX_STATUS_PARAM_ERROR;
    if (rc == SX_STATUS_SUCCESS && should_fail(st, "sx_api_bulk_counter_attr_set", 0))
        rc = SX_STATUS_ERROR;
    if (rc == SX_STATUS_SUCCESS)
        st.limit_mb = attr->buffer_limit_mb;
    log_line line("sx_api_bulk_counter_attr_set", rc);
    if (attr)
        line.num("type", attr->type).num("limit", attr->buffer_limit_mb);
    line.emit(st);
    return rc;
}

sx_status_t sx_api_bulk_counter_buffer_set(sx_api_handle_t handle, sx_access_cmd_t cmd,
                                           const sx_bulk_cntr_buffer_key_t *key, sx_bulk_cntr_buffer_t *buffer)
{
    sim_state &st = sim();
    sx_status_t rc = check_handle(st, handle);
    if (rc == SX_STATUS_SUCCESS && !buffer)
        rc = SX_STATUS_PARAM_ERROR;
    if (rc == SX_STATUS_SUCCESS && should_fail(st, "sx_api_bulk_counter_buffer_set", cmd))
        rc = SX_STATUS_ERROR;
    if (rc == SX_STATUS_SUCCESS) {
        if (cmd == SX_ACCESS_CMD_CREATE) {
            rc = validate_key(st, key);
            if (rc == SX_STATUS_SUCCESS && st.buffer_exists)
                rc = SX_STATUS_ENTRY_ALREADY_EXISTS;
            if (rc == SX_STATUS_SUCCESS) {
                st.buffer_exists = true;
                st.buffer_id++;
                st.cookie = buffer->cookie;
                st.key = key->hft;
                st.txn = txn_state::idle;
                buffer->id = st.buffer_id;
                buffer->size = static_cast<uint32_t>(buffer_bytes(key->hft));
            }
        } else if (cmd == SX_ACCESS_CMD_DESTROY) {
            if (!st.buffer_exists || buffer->id != st.buffer_id) {
                rc = SX_STATUS_ENTRY_NOT_FOUND;
            } else {
                // A buffer destroyed while its transaction runs stops it.
                st.buffer_exists = false;
                st.txn = txn_state::idle;
                st.events.clear();
                disarm_event(st);
            }
        } else {
            rc = SX_STATUS_CMD_UNSUPPORTED;
        }
    }
    log_line line("sx_api_bulk_counter_buffer_set", rc);
    line.num("cmd", cmd);
    if (cmd == SX_ACCESS_CMD_CREATE && key)
        line.field("key", key_json(*key));
    if (buffer)
        line.num("cookie", static_cast<long long>(buffer->cookie));
    line.emit(st);
    return rc;
}

sx_status_t sx_api_bulk_counter_transaction_set(sx_api_handle_t handle, sx_access_cmd_t cmd,
                                                const sx_bulk_cntr_buffer_t *buffer)
{
    sim_state &st = sim();
    sx_status_t rc = check_handle(st, handle);
    if (rc == SX_STATUS_SUCCESS && !buffer)
        rc = SX_STATUS_PARAM_ERROR;
    if (rc == SX_STATUS_SUCCESS && should_fail(st, "sx_api_bulk_counter_transaction_set", cmd))
        rc = SX_STATUS_ERROR;
    if (rc == SX_STATUS_SUCCESS && (!st.buffer_exists || buffer->id != st.buffer_id))
        rc = SX_STATUS_ENTRY_NOT_FOUND;
    if (rc == SX_STATUS_SUCCESS) {
        if (cmd == SX_ACCESS_CMD_START) {
            if (st.txn != txn_state::idle) {
                rc = SX_STATUS_RESOURCE_IN_USE;
            } else {
                st.txn = txn_state::running;
                st.events.assign(st.script.begin(), st.script.end());
                arm_event(st, st.delay_ms);
            }
        } else if (cmd == SX_ACCESS_CMD_CANCEL) {
            if (st.txn != txn_state::running) {
                rc = SX_STATUS_PARAM_ERROR;
            } else {
                st.txn = txn_state::cancelled;
                st.events.clear();
                disarm_event(st);
            }
        } else {
            rc = SX_STATUS_CMD_UNSUPPORTED;
        }
    }
    log_line("sx_api_bulk_counter_transaction_set", rc).num("cmd", cmd).emit(st);
    return rc;
}

sx_status_t sx_api_bulk_counter_transaction_get(sx_api_handle_t handle, const sx_bulk_cntr_read_key_t *key,
                                                const sx_bulk_cntr_buffer_t *buffer, sx_bulk_cntr_data_t *data)
{
    sim_state &st = sim();
    sx_status_t rc = check_handle(st, handle);
    if (rc == SX_STATUS_SUCCESS && (!key || !buffer || !data || key->type != SX_BULK_CNTR_KEY_TYPE_HFT))
        rc = SX_STATUS_PARAM_ERROR;
    if (rc == SX_STATUS_SUCCESS && (!st.buffer_exists || buffer->id != st.buffer_id))
        rc = SX_STATUS_ENTRY_NOT_FOUND;
    if (rc == SX_STATUS_SUCCESS && (st.txn != txn_state::ended || st.txn_status != 0))
        rc = SX_STATUS_RESOURCE_IN_USE; // no completed samples to read
    if (rc == SX_STATUS_SUCCESS && (key->sample_index < 1 || key->sample_index > st.key.sample_count))
        rc = SX_STATUS_PARAM_ERROR;
    if (rc == SX_STATUS_SUCCESS && should_fail(st, "sx_api_bulk_counter_transaction_get", 0, key->kind, key->sample_index))
        rc = SX_STATUS_ERROR;
    uint64_t i = rc == SX_STATUS_SUCCESS ? key->sample_index : 0;
    if (rc == SX_STATUS_SUCCESS && key->kind == SX_BULK_CNTR_HFT_READ_TIME) {
        if (st.get_delay_us > 0) {
            timespec ts{st.get_delay_us / 1000000, (st.get_delay_us % 1000000) * 1000};
            nanosleep(&ts, nullptr);
        }
        data->sec = static_cast<uint32_t>(1700000000 + i);
        data->nsec = static_cast<uint32_t>(1000 * i);
    } else if (rc == SX_STATUS_SUCCESS && key->kind == SX_BULK_CNTR_HFT_READ_PORT) {
        bool known = false;
        for (uint32_t p = 0; p < st.key.port_count && !known; p++)
            known = st.key.ports[p] == key->port;
        if (!known) {
            rc = SX_STATUS_ENTRY_NOT_FOUND;
        } else {
            data->tx_octets = 1000 * i + key->port;
            data->rx_octets = 2000 * i + key->port;
            for (uint32_t c = 0; c < SX_HFT_MAX_TCS; c++)
                data->tc_curr_occupancy[c] = c < st.key.tc_count ? static_cast<uint32_t>(100 * i + st.key.tcs[c]) : 0;
        }
    } else if (rc == SX_STATUS_SUCCESS) {
        rc = SX_STATUS_PARAM_ERROR;
    }
    if (st.log_fd >= 0) {
        log_line line("sx_api_bulk_counter_transaction_get", rc);
        if (key) {
            line.num("kind", key->kind).num("sample", key->sample_index);
            if (key->kind == SX_BULK_CNTR_HFT_READ_PORT)
                line.num("port", key->port);
        }
        line.emit(st);
    }
    return rc;
}

sx_status_t sx_api_host_ifc_open(sx_api_handle_t handle, sx_fd_t *fd)
{
    sim_state &st = sim();
    sx_status_t rc = check_handle(st, handle);
    if (rc == SX_STATUS_SUCCESS && !fd)
        rc = SX_STATUS_PARAM_ERROR;
    if (rc == SX_STATUS_SUCCESS && should_fail(st, "sx_api_host_ifc_open", 0))
        rc = SX_STATUS_ERROR;
    if (rc == SX_STATUS_SUCCESS && st.event_fd >= 0)
        rc = SX_STATUS_RESOURCE_IN_USE;
    if (rc == SX_STATUS_SUCCESS) {
        st.event_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (st.event_fd < 0) {
            rc = SX_STATUS_NO_RESOURCES;
        } else {
            fd->fd = st.event_fd;
            fd->valid = 1;
        }
    }
    log_line line("sx_api_host_ifc_open", rc);
    if (rc == SX_STATUS_SUCCESS)
        line.num("fd", st.event_fd);
    line.emit(st);
    return rc;
}

sx_status_t sx_api_host_ifc_close(sx_api_handle_t handle, sx_fd_t *fd)
{
    sim_state &st = sim();
    sx_status_t rc = check_handle(st, handle);
    if (rc == SX_STATUS_SUCCESS && (!fd || !fd->valid || fd->fd != st.event_fd || st.event_fd < 0))
        rc = SX_STATUS_PARAM_ERROR;
    if (rc == SX_STATUS_SUCCESS && should_fail(st, "sx_api_host_ifc_close", 0))
        rc = SX_STATUS_ERROR;
    if (rc == SX_STATUS_SUCCESS) {
        ::close(st.event_fd);
        st.event_fd = -1;
        fd->valid = 0;
    }
    log_line("sx_api_host_ifc_close", rc).emit(st);
    return rc;
}

sx_status_t sx_api_host_ifc_trap_id_register_set(sx_api_handle_t handle, sx_access_cmd_t cmd, sx_swid_t swid,
                                                 sx_trap_id_t trap_id, const sx_user_channel_t *user_channel)
{
    sim_state &st = sim();
    sx_status_t rc = check_handle(st, handle);
    if (rc == SX_STATUS_SUCCESS && (!user_channel || user_channel->type != SX_USER_CHANNEL_TYPE_FD ||
                                    !user_channel->fd.valid || user_channel->fd.fd != st.event_fd || swid != 0))
        rc = SX_STATUS_PARAM_ERROR;
    if (rc == SX_STATUS_SUCCESS && should_fail(st, "sx_api_host_ifc_trap_id_register_set", cmd))
        rc = SX_STATUS_ERROR;
    if (rc == SX_STATUS_SUCCESS) {
        if (cmd == SX_ACCESS_CMD_REGISTER)
            st.trap_registered = true;
        else if (cmd == SX_ACCESS_CMD_DEREGISTER)
            st.trap_registered = false;
        else
            rc = SX_STATUS_CMD_UNSUPPORTED;
    }
    log_line("sx_api_host_ifc_trap_id_register_set", rc).num("cmd", cmd).num("swid", swid).num("trap_id", trap_id).emit(st);
    return rc;
}

sx_status_t sx_sim_host_ifc_recv(const sx_fd_t *fd, void *packet, uint32_t *packet_size,
                                 sx_receive_info_t *receive_info)
{
    sim_state &st = sim();
    sx_status_t rc = SX_STATUS_SUCCESS;
    if (!fd || !fd->valid || fd->fd != st.event_fd || st.event_fd < 0 || !packet || !packet_size || !receive_info)
        rc = SX_STATUS_PARAM_ERROR;
    if (rc == SX_STATUS_SUCCESS && should_fail(st, "sx_lib_host_ifc_recv", 0))
        rc = SX_STATUS_ERROR;
    uint64_t expirations = 0;
    if (rc == SX_STATUS_SUCCESS && (::read(st.event_fd, &expirations, sizeof expirations) != sizeof expirations ||
                                    st.events.empty()))
        rc = SX_STATUS_TIMEOUT; // nothing pending
    long trap = -1;
    if (rc == SX_STATUS_SUCCESS) {
        sim_event ev = st.events.front();
        st.events.pop_front();
        std::memset(receive_info, 0, sizeof *receive_info);
        receive_info->trap_id = SX_TRAP_ID_BULK_COUNTER_DONE_EVENT;
        receive_info->bulk_cntr_done.cookie = st.cookie;
        switch (ev.kind) {
        case event_kind::done:
            st.txn = txn_state::ended;
            st.txn_status = 0;
            break;
        case event_kind::foreign:
            receive_info->bulk_cntr_done.cookie = foreign_cookie;
            break;
        case event_kind::trap:
            receive_info->trap_id = static_cast<sx_trap_id_t>(ev.value);
            break;
        case event_kind::status:
            st.txn = txn_state::ended;
            st.txn_status = static_cast<int32_t>(ev.value);
            receive_info->bulk_cntr_done.status = st.txn_status;
            break;
        }
        trap = receive_info->trap_id;
        receive_info->packet_size = 0;
        *packet_size = 0;
        arm_event(st, 0);
    }
    log_line line("sx_lib_host_ifc_recv", rc);
    if (trap >= 0)
        line.num("trap_id", trap);
    line.emit(st);
    return rc;
}

}
