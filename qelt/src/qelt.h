// qelt: runs one high-frequency-telemetry job through the switch SDK's
// bulk-counter interface and writes the samples as JSON files in an archive.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

#include "sx_sdk.h"

constexpr int qelt_max_ports = 512;
constexpr int qelt_max_tcs = 16;
constexpr int qelt_max_counters = 3;
constexpr int qelt_name_len = 32; // names hold at most 31 characters

constexpr const char *qelt_hft_dir = "/var/run/tarvik/hft";
constexpr const char *qelt_hostname_file = "/etc/hostname";
constexpr const char *qelt_porquin_cmd = "/usr/lib/tarvik/porquin ports info";

// Descriptor that closes itself; move-only.
struct unique_fd {
    int fd = -1;
    unique_fd() = default;
    explicit unique_fd(int f) : fd(f) {}
    unique_fd(unique_fd &&o) noexcept : fd(o.fd) { o.fd = -1; }
    unique_fd &operator=(unique_fd &&o) noexcept
    {
        if (this != &o) {
            reset();
            fd = o.fd;
            o.fd = -1;
        }
        return *this;
    }
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    ~unique_fd() { reset(); }
    int reset()
    {
        int rc = 0;
        if (fd >= 0)
            rc = ::close(fd);
        fd = -1;
        return rc;
    }
    explicit operator bool() const { return fd >= 0; }
};

struct qelt_args {
    const char *ports;
    const char *tc;
    const char *counter;
    int32_t verbose;
    int32_t interval;
    int32_t sample_count;
    int32_t job_id;
};

struct qelt_job_config {
    uint32_t port_ids[qelt_max_ports];
    int32_t port_count;
    int32_t tcs[qelt_max_tcs];
    int32_t tc_count;
    char counters[qelt_max_counters][qelt_name_len];
    int32_t counter_count;
    int32_t interval;
    int32_t sample_count;
    uint32_t job_id;
};

struct port_entry {
    char name[qelt_name_len];
    uint32_t logical_id;
};

// Sorted by the port number of the names (stable: ties keep the command's order).
struct port_table {
    port_entry entries[qelt_max_ports];
    int count;
};

// What a run holds through the SDK, taken in this order: each level holds
// everything below it, and the clean-up gives it back from the top down.
enum class qelt_hold : uint8_t {
    nothing,
    connection,  // SDK connection open
    channel,     // event channel open
    trap,        // completion trap registered on the channel
    buffer,      // bulk-counter buffer created
    transaction, // the job's transaction runs, until its completion event
};

// The one job of a run.
struct qelt_job {
    sx_api_handle_t handle;
    sx_user_channel_t user_channel;
    sx_bulk_cntr_buffer_t buffer;
    qelt_hold held;
    qelt_job_config config;
};

constexpr uint64_t qelt_buffer_marker = 0xa0000000;
constexpr int qelt_buffer_limit_mb = 700;
constexpr int qelt_event_timeout_s = 60;

// Results of event processing.
enum {
    qelt_event_done = 0,
    qelt_event_file_error = 1,
    qelt_event_tar_error = 2,
    qelt_event_sdk_error = 3,
    qelt_event_not_completion = 4,
    qelt_event_other_job = 5,
    qelt_event_txn_failed = 6,
    qelt_event_no_memory = 7,
    qelt_event_no_samples = 8,
    // SIGTERM asked the run to stop: the driver runs the SIGTERM clean-up.
    qelt_event_terminated = 9,
};

/* util.cpp */
int32_t qelt_atoi(std::string_view text);
int64_t qelt_atoll(std::string_view text);
std::vector<std::string> qelt_split_list(std::string_view text, size_t max_items);

/* cli.cpp */
// flags: argp's parse flags (0 in the program: usage errors and --help end it).
int qelt_parse_args(int argc, char **argv, qelt_args &args, unsigned flags = 0);
void qelt_build_config(const qelt_args &args, const port_table &ports, qelt_job_config &cfg);
uint32_t qelt_counter_type(const char *name);

/* port.cpp */
int qelt_port_sort_key(std::string_view name);
void qelt_port_load(port_table &table, FILE *in);
void qelt_port_init(port_table &table);
int qelt_port_resolve(const port_table &table, std::string_view list, uint32_t *ids, int max_ids);
const char *qelt_port_name(const port_table &table, uint32_t logical_id);

/* job.cpp */
int qelt_init(qelt_job &job);
int qelt_buffer_limit_get(qelt_job &job);
int qelt_buffer_limit_set(qelt_job &job, int limit_mb);
int qelt_event_open(qelt_job &job);
int qelt_job_start(qelt_job &job, const qelt_job_config &cfg);
int qelt_event_wait(qelt_job &job);
int qelt_event_process(qelt_job &job, const port_table &ports);
int qelt_buffer_destroy(qelt_job &job);
int qelt_job_cancel(qelt_job &job);
void qelt_close(qelt_job &job);
void qelt_sigterm_install();
bool qelt_sigterm_pending();
int qelt_sigterm_cleanup(qelt_job &job);

/* files.cpp */
struct qelt_archiver {
    // Archives one closed data file and deletes it: 0, or 2 when tar failed.
    int (*archive_file)(const std::string &data_file);
    // Packs this run's per-file archives into the final archive: 0 or 2.
    int (*archive_all)(const std::vector<std::string> &archives);
};
extern const qelt_archiver qelt_tar_archiver;
std::string qelt_read_hostname(const char *path);
int qelt_write_samples(qelt_job &job, const port_table &ports, const char *dir, const char *hostname_file,
                       const qelt_archiver &archiver);

/* driver.cpp */
// Gives back what the run holds, once, on whatever path the driver leaves
// by: a return, or an exception on its way to the entry's catch.
struct qelt_run_guard {
    qelt_job &job;
    bool done = false;

    explicit qelt_run_guard(qelt_job &j) : job(j) {}
    qelt_run_guard(const qelt_run_guard &) = delete;
    qelt_run_guard &operator=(const qelt_run_guard &) = delete;

    // The clean-up: the SIGTERM one when SIGTERM came, else the buffer is
    // destroyed and everything closed. Returns the run's result.
    int finish(int result);
    ~qelt_run_guard();
};
int qelt_main(int argc, char **argv);
