// Sample files: every sample of the finished job, read from the SDK and
// streamed as JSON text into files of at most 5000 samples, each packed into
// its own tar.gz, then all of this run's archives into "hft_data.tar.gz".
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>

#include "qelt.h"

namespace {

constexpr int samples_per_file = 5000;
constexpr size_t out_buffer_size = 1 << 16;
constexpr size_t max_hostname = 254;
constexpr const char *final_archive = "hft_data.tar.gz";

// Buffered writer on a descriptor; the text is produced by plain appends.
struct data_file {
    unique_fd fd;
    std::vector<char> buf;
    bool failed = false;
    int error = 0;

    data_file() { buf.reserve(out_buffer_size); }

    void flush()
    {
        size_t off = 0;
        while (!failed && off < buf.size()) {
            ssize_t n = ::write(fd.fd, buf.data() + off, buf.size() - off);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                failed = true;
                error = n < 0 ? errno : EIO;
                break;
            }
            off += size_t(n);
        }
        buf.clear();
    }
    void put(std::string_view s)
    {
        if (buf.size() + s.size() > out_buffer_size)
            flush();
        buf.insert(buf.end(), s.begin(), s.end());
    }
    template <typename T> void num(T v)
    {
        char tmp[24];
        auto r = std::to_chars(tmp, tmp + sizeof tmp, v);
        put(std::string_view(tmp, size_t(r.ptr - tmp)));
    }
    // Names come from the host and the port command; quote what would break the text.
    void str(std::string_view s)
    {
        for (char c : s) {
            auto u = static_cast<unsigned char>(c);
            if (c == '"' || c == '\\') {
                char esc[2] = {'\\', c};
                put(std::string_view(esc, 2));
            } else if (u < 0x20) {
                char esc[8];
                int n = std::snprintf(esc, sizeof esc, "\\u%04x", u);
                put(std::string_view(esc, size_t(n)));
            } else {
                put(std::string_view(&c, 1));
            }
        }
    }
    // Flushes and closes; 0, or -1 with error set.
    int close()
    {
        flush();
        if (fd && fd.reset() != 0 && !failed) {
            failed = true;
            error = errno;
        }
        return failed ? -1 : 0;
    }
};

std::string data_file_name(uint32_t job_id, int file_number)
{
    char name[qelt_name_len];
    std::snprintf(name, sizeof name, "hft_data_%d_%d.json", static_cast<int>(job_id), file_number);
    return name;
}

int open_data_file(data_file &out, const std::string &name)
{
    out.fd = unique_fd(::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    out.failed = false;
    out.error = 0;
    out.buf.clear();
    if (!out.fd) {
        syslog(LOG_ERR, "Error opening HFT data file : %s", std::strerror(errno));
        return -1;
    }
    return 0;
}

int close_data_file(data_file &out, const std::string &name)
{
    if (out.close() != 0) {
        syslog(LOG_ERR, "Error writing HFT data file %s : %s", name.c_str(), std::strerror(out.error));
        return -1;
    }
    return 0;
}

std::string status_text(int status, int err)
{
    if (status == -1)
        return std::strerror(err);
    if (WIFEXITED(status))
        return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return std::string("killed by signal ") + strsignal(WTERMSIG(status));
    return "unknown status";
}

int run_tar(const std::string &cmd)
{
    int status = std::system(cmd.c_str());
    if (status == 0)
        return 0;
    int err = errno;
    syslog(LOG_ERR, "HFT data file tar cmd '%s' failed, error : %s", cmd.c_str(), status_text(status, err).c_str());
    return qelt_event_tar_error;
}

void delete_file(const std::string &name)
{
    if (::unlink(name.c_str()) != 0)
        syslog(LOG_ERR, "Error deleting file %s, error : %s", name.c_str(), std::strerror(errno));
}

int tar_archive_file(const std::string &data_file)
{
    int rc = run_tar("tar -czf " + data_file + ".tar.gz " + data_file);
    if (rc != 0)
        return rc;
    delete_file(data_file);
    return 0;
}

int tar_archive_all(const std::vector<std::string> &archives)
{
    std::string cmd = std::string("tar -czf ") + final_archive;
    for (const std::string &a : archives)
        cmd += " " + a;
    int rc = run_tar(cmd);
    if (rc != 0)
        return rc;
    for (const std::string &a : archives)
        delete_file(a);
    return 0;
}

// Creates the directory and its missing parents (mode 0755).
int make_dirs(const char *dir)
{
    std::string path(dir);
    for (size_t i = 1; i <= path.size(); i++) {
        if (i < path.size() && path[i] != '/')
            continue;
        std::string part = path.substr(0, i);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return -1;
    }
    return 0;
}

timespec monotonic_now()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

// What one port object holds, in the order the counter list gives, octet
// counters first and the traffic-class data last, each name once.
struct port_layout {
    std::vector<int> octets; // SX_HFT_PORT_CNTR_TX_OCTETS / _RX_OCTETS
    bool tc_data = false;
};

port_layout layout_of(const qelt_job_config &cfg)
{
    port_layout l;
    for (int k = 0; k < cfg.counter_count; k++) {
        std::string_view name = cfg.counters[k];
        int type = -1;
        if (name == "tx")
            type = SX_HFT_PORT_CNTR_TX_OCTETS;
        else if (name == "rx")
            type = SX_HFT_PORT_CNTR_RX_OCTETS;
        else if (name == "tc_buff")
            l.tc_data = true;
        if (type >= 0 && std::find(l.octets.begin(), l.octets.end(), type) == l.octets.end())
            l.octets.push_back(type);
    }
    return l;
}

void write_port(data_file &out, const port_layout &layout, const qelt_job_config &cfg, const sx_bulk_cntr_data_t &d)
{
    bool first = true;
    for (int type : layout.octets) {
        if (!first)
            out.put(",");
        first = false;
        if (type == SX_HFT_PORT_CNTR_TX_OCTETS) {
            out.put("\"if_out_octets\": ");
            out.num(d.tx_octets);
        } else {
            out.put("\"if_in_octets\": ");
            out.num(d.rx_octets);
        }
    }
    if (!layout.tc_data)
        return;
    if (!first)
        out.put(",");
    out.put("\"tc_data\": {");
    for (int c = 0; c < cfg.tc_count; c++) {
        out.put("\"");
        out.num(cfg.tcs[c]);
        out.put("\": {\"tc_curr_occupancy\": ");
        out.num(d.tc_curr_occupancy[c]);
        out.put(c + 1 == cfg.tc_count ? "}" : "},");
    }
    out.put("}");
}

// One read-out in progress: the open data file, what every sample writes
// for its ports, and the per-file archives made so far.
struct sample_writer {
    qelt_job &job;
    const qelt_archiver &archiver;
    std::vector<std::string> names; // port names in job order, looked up once
    port_layout layout;
    data_file out;
    std::string file_name;
    int file_number = 0;
    std::vector<std::string> archives;
    sx_bulk_cntr_read_key_t key{};
    sx_bulk_cntr_data_t data{};

    sample_writer(qelt_job &j, const port_table &ports, const qelt_archiver &a)
        : job(j), archiver(a), layout(layout_of(j.config))
    {
        names.reserve(size_t(j.config.port_count));
        for (int p = 0; p < j.config.port_count; p++)
            names.emplace_back(qelt_port_name(ports, j.config.port_ids[p]));
        key.type = SX_BULK_CNTR_KEY_TYPE_HFT;
    }
};

int open_next_file(sample_writer &w)
{
    w.file_name = data_file_name(w.job.config.job_id, w.file_number);
    return open_data_file(w.out, w.file_name) == 0 ? 0 : qelt_event_file_error;
}

// Closes the current data file and packs it into an archive of its own.
int finish_file(sample_writer &w)
{
    w.out.put("}}");
    if (close_data_file(w.out, w.file_name) != 0)
        return qelt_event_file_error;
    if (int arc = w.archiver.archive_file(w.file_name); arc != 0)
        return arc;
    w.archives.push_back(w.file_name + ".tar.gz");
    return 0;
}

// Reads sample i from the SDK and writes it, up to the end of its
// "port_data"; 0 or qelt_event_sdk_error.
int write_sample(sample_writer &w, int i)
{
    const qelt_job_config &cfg = w.job.config;
    data_file &out = w.out;
    out.put("\"");
    out.num(i);
    out.put("\": {\"sample_index\": ");
    out.num(i);
    out.put(",");

    w.key.kind = SX_BULK_CNTR_HFT_READ_TIME;
    w.key.sample_index = static_cast<uint32_t>(i);
    w.key.port = 0;
    sx_status_t rc = sx_api_bulk_counter_transaction_get(w.job.handle, &w.key, &w.job.buffer, &w.data);
    if (rc != SX_STATUS_SUCCESS) {
        syslog(LOG_ERR, "sx_api_bulk_counter_transaction_get failed in fetching time metadata %s", sx_status_str(rc));
        return qelt_event_sdk_error;
    }
    out.put("\"metadata\": {\"sec\": ");
    out.num(w.data.sec);
    out.put(",\"nsec\": ");
    out.num(w.data.nsec);
    out.put("},\"port_data\": {");

    w.key.kind = SX_BULK_CNTR_HFT_READ_PORT;
    for (int p = 0; p < cfg.port_count; p++) {
        out.put("\"");
        out.str(w.names[size_t(p)]);
        out.put("\": {");
        w.key.port = cfg.port_ids[p];
        rc = sx_api_bulk_counter_transaction_get(w.job.handle, &w.key, &w.job.buffer, &w.data);
        if (rc != SX_STATUS_SUCCESS) {
            syslog(LOG_ERR, "sx_api_bulk_counter_transaction_get failed in fetching port data %s idx %d port 0x%x",
                   sx_status_str(rc), i, cfg.port_ids[p]);
            return qelt_event_sdk_error;
        }
        write_port(out, w.layout, cfg, w.data);
        out.put(p + 1 == cfg.port_count ? "}" : "},");
    }
    out.put("}");
    return 0;
}

// Closes sample i; at every 5000th sample the data file is finished and,
// while samples remain, the next one begun.
int end_sample(sample_writer &w, int i)
{
    const int n_samples = w.job.config.sample_count;
    if (i % samples_per_file != 0) {
        if (i != n_samples)
            w.out.put("},");
        return 0;
    }
    if (int rc = finish_file(w); rc != 0)
        return rc;
    if (i == n_samples)
        return 0;
    w.file_number++;
    if (int rc = open_next_file(w); rc != 0)
        return rc;
    w.out.put("{");
    return 0;
}

// Writes every sample into the data files; the first carries the header.
int write_all_samples(sample_writer &w, const char *hostname_file)
{
    const int n_samples = w.job.config.sample_count;
    if (open_next_file(w) != 0)
        return qelt_event_file_error;
    std::string hostname = qelt_read_hostname(hostname_file);
    w.out.put("{\"version\":  \"1.0\",\"hostname\":  \"");
    w.out.str(hostname);
    w.out.put("\",");

    for (int i = 1; i <= n_samples; i++) {
        if (qelt_sigterm_pending())
            return qelt_event_terminated; // the open file is left as it is
        if (int rc = write_sample(w, i); rc != 0) {
            close_data_file(w.out, w.file_name);
            return rc;
        }
        if (int rc = end_sample(w, i); rc != 0)
            return rc;
    }
    if (n_samples % samples_per_file != 0)
        return finish_file(w);
    return 0;
}

void log_elapsed(const timespec &start)
{
    timespec end = monotonic_now();
    syslog(LOG_INFO, "HFT stats fetch end time [%lu:%lu]\n", static_cast<unsigned long>(end.tv_sec),
           static_cast<unsigned long>(end.tv_nsec));
    long sec = end.tv_sec - start.tv_sec;
    long nsec = end.tv_nsec - start.tv_nsec;
    if (nsec < 0) {
        sec--;
        nsec += 1000000000L;
    }
    syslog(LOG_INFO, "HFT stats fetch complete time [%lus, %lums], %luns\n", static_cast<unsigned long>(sec),
           static_cast<unsigned long>(nsec / 1000000), static_cast<unsigned long>(nsec));
}

} // namespace

const qelt_archiver qelt_tar_archiver = {tar_archive_file, tar_archive_all};

// The first line that is neither a comment nor empty, without its newline.
std::string qelt_read_hostname(const char *path)
{
    FILE *f = std::fopen(path, "re");
    if (!f) {
        syslog(LOG_ERR, "Error opening /etc/hostname file : %s", std::strerror(errno));
        return "tarvik";
    }
    std::string name = "tarvik";
    char *line = nullptr;
    size_t cap = 0;
    ssize_t len;
    while ((len = getline(&line, &cap, f)) >= 0) {
        std::string_view text(line, size_t(len));
        if (!text.empty() && text.back() == '\n')
            text.remove_suffix(1);
        if (text.empty() || text.front() == '#')
            continue;
        name = std::string(text.substr(0, max_hostname));
        break;
    }
    std::free(line);
    std::fclose(f);
    return name;
}

int qelt_write_samples(qelt_job &job, const port_table &ports, const char *dir, const char *hostname_file,
                       const qelt_archiver &archiver)
{
    const qelt_job_config &cfg = job.config;
    if (cfg.sample_count < 1)
        return qelt_event_no_samples;

    timespec start = monotonic_now();
    syslog(LOG_INFO, "HFT stats fetch start time [%lu:%lu], port_count %d\n", static_cast<unsigned long>(start.tv_sec),
           static_cast<unsigned long>(start.tv_nsec), cfg.port_count);

    if (make_dirs(dir) != 0 || ::chdir(dir) != 0) {
        syslog(LOG_ERR, "Error entering HFT directory %s : %s", dir, std::strerror(errno));
        return qelt_event_file_error;
    }
    if (::access(final_archive, F_OK) == 0)
        delete_file(final_archive);

    sample_writer w(job, ports, archiver);
    if (int rc = write_all_samples(w, hostname_file); rc != 0)
        return rc;
    if (int arc = archiver.archive_all(w.archives); arc != 0)
        return arc;
    log_elapsed(start);
    return 0;
}
