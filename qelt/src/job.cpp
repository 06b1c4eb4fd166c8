// The bulk-counter job through the SDK: connection, buffer limit, event
// channel, job start, event wait and processing, clean-up and SIGTERM.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/select.h>
#include <syslog.h>

#include "qelt.h"

namespace {

constexpr size_t packet_size = 4096;

volatile sig_atomic_t sigterm_pending = 0;

// Only flags the request: the main flow may be inside syslog or the SDK, so
// each step that notices the flag returns, and the driver runs the clean-up.
void on_sigterm(int)
{
    sigterm_pending = 1;
}

} // namespace

void qelt_sigterm_install()
{
    struct sigaction sa {};
    sa.sa_handler = on_sigterm;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: a blocking wait returns EINTR
    sigaction(SIGTERM, &sa, nullptr);
}

bool qelt_sigterm_pending()
{
    return sigterm_pending != 0;
}

// Clean-up after SIGTERM: cancel a running transaction, destroy the buffer,
// close everything. The run's result is then -1.
int qelt_sigterm_cleanup(qelt_job &job)
{
    syslog(LOG_INFO, "Received SIGTERM signal. Exiting.");
    bool ok = true;
    if (job.held >= qelt_hold::buffer) {
        if (job.held == qelt_hold::transaction && qelt_job_cancel(job) != 0)
            ok = false; // a buffer whose transaction may still run is not destroyed
        if (ok && qelt_buffer_destroy(job) != 0)
            ok = false;
    }
    qelt_close(job);
    syslog(LOG_INFO, ok ? "qelt process clean up done, exiting" : "qelt process clean up failed, exiting");
    return -1;
}

int qelt_init(qelt_job &job)
{
    sx_status_t rc = sx_api_open(nullptr, &job.handle);
    if (rc != SX_STATUS_SUCCESS) {
        syslog(LOG_ERR, "SX api open failed\n");
        return -1;
    }
    job.held = qelt_hold::connection;
    syslog(LOG_DEBUG, "SX api open success handle = %ld\n", static_cast<long>(job.handle));
    return 0;
}

int qelt_buffer_limit_get(qelt_job &job)
{
    sx_bulk_cntr_attr_t attr{};
    attr.type = SX_BULK_CNTR_KEY_TYPE_HFT;
    sx_status_t rc = sx_api_bulk_counter_attr_get(job.handle, &attr);
    if (rc != SX_STATUS_SUCCESS) {
        syslog(LOG_ERR, "sx_api_bulk_counter_attr_get failed status: %s\n", sx_status_str(rc));
        return -1;
    }
    syslog(LOG_DEBUG, "sx_api_bulk_counter_attr_get success limit: %dMB\n", static_cast<int>(attr.buffer_limit_mb));
    return static_cast<int>(attr.buffer_limit_mb);
}

int qelt_buffer_limit_set(qelt_job &job, int limit_mb)
{
    sx_bulk_cntr_attr_t attr{};
    attr.type = SX_BULK_CNTR_KEY_TYPE_HFT;
    attr.buffer_limit_mb = static_cast<uint32_t>(limit_mb);
    sx_status_t rc = sx_api_bulk_counter_attr_set(job.handle, &attr);
    if (rc != SX_STATUS_SUCCESS) {
        syslog(LOG_ERR, "sx_api_bulk_counter_attr_set failed in setting buffer limit %s\n", sx_status_str(rc));
        return -1;
    }
    syslog(LOG_DEBUG, "sx_api_bulk_counter_attr_set success new limit %dMB\n", limit_mb);
    return 0;
}

int qelt_event_open(qelt_job &job)
{
    std::memset(&job.user_channel, 0, sizeof job.user_channel);
    job.user_channel.type = SX_USER_CHANNEL_TYPE_FD;
    sx_status_t rc = sx_api_host_ifc_open(job.handle, &job.user_channel.fd);
    if (rc != SX_STATUS_SUCCESS) {
        syslog(LOG_ERR, "Failed to open fd error:%s", sx_status_str(rc));
        return -1;
    }
    job.held = qelt_hold::channel;
    rc = sx_api_host_ifc_trap_id_register_set(job.handle, SX_ACCESS_CMD_REGISTER, 0,
                                              SX_TRAP_ID_BULK_COUNTER_DONE_EVENT, &job.user_channel);
    if (rc != SX_STATUS_SUCCESS) {
        syslog(LOG_ERR, "Failed to register for trap_id %d  swid 0, %s", SX_TRAP_ID_BULK_COUNTER_DONE_EVENT,
               sx_status_str(rc));
        return -1;
    }
    job.held = qelt_hold::trap;
    syslog(LOG_INFO, "bulk counter event register successfull\n");
    return 0;
}

int qelt_job_start(qelt_job &job, const qelt_job_config &cfg)
{
    std::memset(&job.buffer, 0, sizeof job.buffer);
    syslog(LOG_INFO, "starting HFT job\n");
    job.buffer.cookie = qelt_buffer_marker;
    job.config = cfg;

    sx_bulk_cntr_buffer_key_t key{};
    key.type = SX_BULK_CNTR_KEY_TYPE_HFT;
    sx_bulk_cntr_hft_key_t &hft = key.hft;
    hft.lead[0] = 0;
    hft.lead[1] = 1;
    hft.lead[2] = 2;
    for (int i = 0; i < cfg.counter_count; i++)
        hft.port_cntr_types[i] = qelt_counter_type(cfg.counters[i]);
    hft.port_cntr_type_count = static_cast<uint32_t>(cfg.counter_count);
    for (int i = 0; i < cfg.tc_count; i++)
        hft.tcs[i] = cfg.tcs[i];
    hft.tc_count = static_cast<uint32_t>(cfg.tc_count);
    for (int i = 0; i < cfg.port_count; i++)
        hft.ports[i] = cfg.port_ids[i];
    hft.port_count = static_cast<uint32_t>(cfg.port_count);
    // A negative count asks for no samples rather than four billion.
    hft.sample_count = static_cast<uint32_t>(cfg.sample_count > 0 ? cfg.sample_count : 0);
    hft.interval = static_cast<uint32_t>(cfg.interval);

    sx_status_t rc = sx_api_bulk_counter_buffer_set(job.handle, SX_ACCESS_CMD_CREATE, &key, &job.buffer);
    if (rc != SX_STATUS_SUCCESS) {
        syslog(LOG_ERR, "sx_api_bulk_counter_buffer_set(create) for port bulk counters failed: %s", sx_status_str(rc));
        return -1;
    }
    job.held = qelt_hold::buffer;
    rc = sx_api_bulk_counter_transaction_set(job.handle, SX_ACCESS_CMD_START, &job.buffer);
    if (rc != SX_STATUS_SUCCESS) {
        syslog(LOG_ERR, "sx_api_bulk_counter_transaction_set failed: %s", sx_status_str(rc));
        return -1;
    }
    job.held = qelt_hold::transaction;
    return 0;
}

// Waits up to 60 s for the event channel to turn readable. SIGTERM is blocked
// outside pselect so that one arriving just before the wait interrupts it
// instead of going unnoticed for a whole time-out.
int qelt_event_wait(qelt_job &job)
{
    int fd = job.user_channel.fd.fd;
    sigset_t term, wait_mask;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_BLOCK, &term, &wait_mask);
    sigdelset(&wait_mask, SIGTERM);

    int rc = 0;
    if (sigterm_pending) {
        rc = -1;
        errno = EINTR;
    } else if (fd < 0 || fd >= FD_SETSIZE) {
        rc = -1;
        errno = EBADF;
    } else {
        fd_set readfds;
        FD_ZERO(&readfds);
        FD_SET(fd, &readfds);
        timespec timeout{qelt_event_timeout_s, 0};
        syslog(LOG_DEBUG, "waiting for event on fd %d\n", fd);
        rc = pselect(fd + 1, &readfds, nullptr, nullptr, &timeout, &wait_mask);
    }
    int err = errno;
    sigprocmask(SIG_UNBLOCK, &term, nullptr);

    if (rc > 0) {
        syslog(LOG_DEBUG, "event received on fd %d\n", fd);
        return 0;
    }
    if (rc == 0) {
        syslog(LOG_ERR, "select timeout with no event after %ld seconds", static_cast<long>(qelt_event_timeout_s));
        return -1;
    }
    if (err == EINTR && sigterm_pending) {
        syslog(LOG_INFO, "Interrupted by SIGTERM during select call while waiting for bulk_counter_read\n");
        return -1;
    }
    syslog(LOG_ERR, "select failed with error %d: %s\n", rc, std::strerror(err));
    return -1;
}

int qelt_event_process(qelt_job &job, const port_table &ports)
{
    std::unique_ptr<sx_receive_info_t, decltype(&std::free)> info(
        static_cast<sx_receive_info_t *>(std::calloc(1, sizeof(sx_receive_info_t))), &std::free);
    if (!info) {
        syslog(LOG_ERR, "sx_receive_info_t memory allocation failed");
        return qelt_event_no_memory;
    }
    uint8_t packet[packet_size];
    uint32_t size = packet_size;
    sx_status_t rc = sx_lib_host_ifc_recv(&job.user_channel.fd, packet, &size, info.get());
    if (rc != SX_STATUS_SUCCESS) {
        syslog(LOG_ERR, "sx_lib_host_ifc_recv failed with %s", sx_status_str(rc));
        return qelt_event_sdk_error;
    }
    int trap_id = info->trap_id;
    uint64_t marker = info->bulk_cntr_done.cookie;
    int status = info->bulk_cntr_done.status;
    info.reset();

    if (trap_id != SX_TRAP_ID_BULK_COUNTER_DONE_EVENT) {
        syslog(LOG_ERR, "ignore trap %d\n", trap_id);
        return qelt_event_not_completion;
    }
    if (marker != qelt_buffer_marker)
        return qelt_event_other_job;
    if (job.held == qelt_hold::transaction)
        job.held = qelt_hold::buffer;
    if (status != 0) {
        syslog(LOG_ERR, "bulk counter transaction failed status %d\n", status);
        return qelt_event_txn_failed;
    }
    syslog(LOG_DEBUG, "bulk counter transaction DONE\n");
    int result = qelt_write_samples(job, ports, qelt_hft_dir, qelt_hostname_file, qelt_tar_archiver);
    if (result == qelt_event_terminated)
        return result;
    if (result != 0) {
        syslog(LOG_ERR, "Failure in reading HFT stats and making JSON files");
        return result;
    }
    return qelt_buffer_destroy(job);
}

int qelt_buffer_destroy(qelt_job &job)
{
    sx_status_t rc = sx_api_bulk_counter_buffer_set(job.handle, SX_ACCESS_CMD_DESTROY, nullptr, &job.buffer);
    if (rc != SX_STATUS_SUCCESS) {
        syslog(LOG_ERR, "sx_api_bulk_counter_buffer_set(destroy) for port bulk counters failed: %s",
               sx_status_str(rc));
        return qelt_event_sdk_error;
    }
    job.held = qelt_hold::trap;
    syslog(LOG_INFO, "HFT bulk counter buffer free done");
    return 0;
}

int qelt_job_cancel(qelt_job &job)
{
    syslog(LOG_INFO, "Cancelling HFT job id %d\n", static_cast<int>(job.config.job_id));
    sx_status_t rc = sx_api_bulk_counter_transaction_set(job.handle, SX_ACCESS_CMD_CANCEL, &job.buffer);
    if (rc != SX_STATUS_SUCCESS) {
        syslog(LOG_ERR, "sx_api_bulk_counter_transaction_set(Cancel) failed: %s", sx_status_str(rc));
        return qelt_event_sdk_error;
    }
    job.held = qelt_hold::buffer;
    return 0;
}

namespace {

// Closes the event channel; the trap, if it was registered, is already
// unregistered.
void close_channel(qelt_job &job, bool was_registered)
{
    sx_status_t rc = sx_api_host_ifc_close(job.handle, &job.user_channel.fd);
    if (rc != SX_STATUS_SUCCESS) {
        syslog(LOG_ERR, "Failed to close fd error:%s", sx_status_str(rc));
        return;
    }
    std::memset(&job.user_channel, 0, sizeof job.user_channel);
    job.held = qelt_hold::connection;
    if (was_registered)
        syslog(LOG_INFO, "bulk counter event unregister successfull\n");
}

} // namespace

// Unregisters the trap, closes the event channel and the SDK connection, as
// far as they are held. A failed unregistration leaves the channel open.
void qelt_close(qelt_job &job)
{
    if (job.held >= qelt_hold::trap) {
        sx_status_t rc = sx_api_host_ifc_trap_id_register_set(job.handle, SX_ACCESS_CMD_DEREGISTER, 0,
                                                              SX_TRAP_ID_BULK_COUNTER_DONE_EVENT, &job.user_channel);
        if (rc != SX_STATUS_SUCCESS)
            syslog(LOG_ERR, "Failed to unregister for trap_id %d  swid 0, %s", SX_TRAP_ID_BULK_COUNTER_DONE_EVENT,
                   sx_status_str(rc));
        else
            close_channel(job, true);
    } else if (job.held == qelt_hold::channel) {
        // Opened but never registered: close the channel all the same.
        close_channel(job, false);
    }
    if (job.held == qelt_hold::nothing)
        return;
    if (sx_api_close(&job.handle) != SX_STATUS_SUCCESS) {
        syslog(LOG_ERR, "SX api close failed\n");
        return;
    }
    job.held = qelt_hold::nothing;
    syslog(LOG_DEBUG, "SX api close success\n");
}
