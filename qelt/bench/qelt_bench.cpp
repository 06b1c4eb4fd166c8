// Read-out benchmark, run by hand: a finished job of 64 ports with tx, rx,
// tc_buff and 8 traffic classes, read from the SDK stand-in and written as
// data files (archiving left out), against a plain buffered writer putting
// the same bytes into files in the same directory.
//
//   qelt_bench [--samples=N] [--dir=PATH] [benchmark flags]
// Files go to PATH (default /tmp/qelt-bench), which is emptied afterwards.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "qelt.h"

namespace {

int n_samples = 20000;
std::string bench_dir = "/tmp/qelt-bench";
port_table ports{};
qelt_job job{};
std::vector<std::string> written; // data files of the last read-out

int keep_file(const std::string &name)
{
    written.push_back(name);
    return 0;
}

int keep_all(const std::vector<std::string> &)
{
    return 0;
}

const qelt_archiver no_archiver = {keep_file, keep_all};

bool start_job()
{
    ports.count = 64;
    for (int p = 0; p < 64; p++) {
        std::snprintf(ports.entries[p].name, qelt_name_len, "swp%ds%d", p / 4 + 1, p % 4);
        ports.entries[p].logical_id = 65536 + uint32_t(p / 4 + 1) * 256 + uint32_t(p % 4);
    }
    qelt_job_config cfg{};
    for (int p = 0; p < 64; p++)
        cfg.port_ids[cfg.port_count++] = ports.entries[p].logical_id;
    for (int c = 0; c < 8; c++)
        cfg.tcs[cfg.tc_count++] = c;
    for (const char *c : {"tx", "rx", "tc_buff"})
        std::strcpy(cfg.counters[cfg.counter_count++], c);
    cfg.sample_count = n_samples;
    cfg.job_id = 1;
    if (qelt_init(job) != 0 || qelt_buffer_limit_set(job, qelt_buffer_limit_mb) != 0 || qelt_event_open(job) != 0 ||
        qelt_job_start(job, cfg) != 0 || qelt_event_wait(job) != 0)
        return false;
    sx_receive_info_t info{};
    uint8_t packet[4096];
    uint32_t size = sizeof packet;
    return sx_lib_host_ifc_recv(&job.user_channel.fd, packet, &size, &info) == 0;
}

void BM_read_and_write_samples(benchmark::State &state)
{
    uint64_t bytes = 0;
    for (auto _ : state) {
        written.clear();
        if (qelt_write_samples(job, ports, bench_dir.c_str(), "/etc/hostname", no_archiver) != 0) {
            state.SkipWithError("read-out failed");
            break;
        }
        bytes = 0;
        for (const std::string &f : written)
            bytes += std::filesystem::file_size(bench_dir + "/" + f);
    }
    state.counters["bytes"] = double(bytes);
    state.SetBytesProcessed(int64_t(bytes) * state.iterations());
}

void BM_plain_buffered_writer(benchmark::State &state)
{
    std::vector<std::string> contents;
    for (const std::string &f : written) {
        std::ifstream in(bench_dir + "/" + f);
        std::stringstream ss;
        ss << in.rdbuf();
        contents.push_back(ss.str());
    }
    uint64_t bytes = 0;
    for (auto _ : state) {
        bytes = 0;
        for (size_t i = 0; i < contents.size(); i++) {
            std::string path = bench_dir + "/plain_" + std::to_string(i) + ".json";
            FILE *f = std::fopen(path.c_str(), "w");
            std::fwrite(contents[i].data(), 1, contents[i].size(), f);
            std::fclose(f);
            bytes += contents[i].size();
        }
    }
    state.counters["bytes"] = double(bytes);
    state.SetBytesProcessed(int64_t(bytes) * state.iterations());
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<char *> rest;
    for (int i = 0; i < argc; i++) {
        if (std::strncmp(argv[i], "--samples=", 10) == 0)
            n_samples = std::atoi(argv[i] + 10);
        else if (std::strncmp(argv[i], "--dir=", 6) == 0)
            bench_dir = argv[i] + 6;
        else
            rest.push_back(argv[i]);
    }
    int rest_argc = int(rest.size());
    benchmark::Initialize(&rest_argc, rest.data());
    if (!start_job()) {
        std::fprintf(stderr, "could not start the stand-in job\n");
        return 1;
    }
    // The writer's run fills `written`, which the plain writer then copies.
    benchmark::RegisterBenchmark("read_and_write_samples", BM_read_and_write_samples)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("plain_buffered_writer", BM_plain_buffered_writer)->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    qelt_buffer_destroy(job);
    qelt_close(job);
    std::filesystem::remove_all(bench_dir);
    return 0;
}
