// Sample files against the SDK stand-in running in this process. Run inside
// the test sandbox (tests/in_sandbox.sh): files go to a fresh /run.
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>

#include "qelt.h"

namespace {

const char test_dir[] = "/run/qelt-unit";

std::vector<std::string> archived;

int keep_file(const std::string &name)
{
    archived.push_back(name);
    return 0;
}

int keep_all(const std::vector<std::string> &)
{
    return 0;
}

const qelt_archiver keep_archiver = {keep_file, keep_all};

std::string slurp(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

port_table one_port_table()
{
    port_table t{};
    std::strcpy(t.entries[0].name, "swp1s0");
    t.entries[0].logical_id = 7;
    std::strcpy(t.entries[1].name, "swp2s0");
    t.entries[1].logical_id = 9;
    t.count = 2;
    return t;
}

// Runs a finished job of the stand-in and writes its files into test_dir.
struct sim_job {
    qelt_job job{};
    int rc = -1;

    sim_job(std::vector<uint32_t> ports, std::vector<int32_t> tcs, std::vector<const char *> counters, int samples,
            const char *hostname = "H")
    {
        archived.clear();
        mkdir(test_dir, 0755);
        std::ofstream(std::string(test_dir) + "/hostname") << "# comment\n\n" << hostname << "\n";
        qelt_job_config cfg{};
        for (uint32_t p : ports)
            cfg.port_ids[cfg.port_count++] = p;
        for (int32_t c : tcs)
            cfg.tcs[cfg.tc_count++] = c;
        for (const char *c : counters)
            std::strcpy(cfg.counters[cfg.counter_count++], c);
        cfg.sample_count = samples;
        cfg.job_id = 3;
        EXPECT_EQ(qelt_init(job), 0);
        EXPECT_EQ(qelt_event_open(job), 0);
        EXPECT_EQ(qelt_job_start(job, cfg), 0);
        EXPECT_EQ(qelt_event_wait(job), 0);
        sx_receive_info_t info{};
        uint8_t packet[4096];
        uint32_t size = sizeof packet;
        EXPECT_EQ(sx_lib_host_ifc_recv(&job.user_channel.fd, packet, &size, &info), 0);
        port_table t = one_port_table();
        std::string hostfile = std::string(test_dir) + "/hostname";
        rc = qelt_write_samples(job, t, test_dir, hostfile.c_str(), keep_archiver);
    }
    ~sim_job()
    {
        qelt_buffer_destroy(job);
        qelt_close(job);
    }
    std::string file(int n) const { return slurp(std::string(test_dir) + "/hft_data_3_" + std::to_string(n) + ".json"); }
};

} // namespace

TEST(QeltFiles, OneSampleOnePortExactText)
{
    sim_job j({7}, {3}, {"tx", "rx", "tc_buff"}, 1);
    ASSERT_EQ(j.rc, 0);
    EXPECT_EQ(j.file(0), "{\"version\":  \"1.0\",\"hostname\":  \"H\",\"1\": {\"sample_index\": 1,\"metadata\": "
                         "{\"sec\": 1700000001,\"nsec\": 1000},\"port_data\": {\"swp1s0\": {\"if_out_octets\": "
                         "1007,\"if_in_octets\": 2007,\"tc_data\": {\"3\": {\"tc_curr_occupancy\": 103}}}}}}");
    EXPECT_EQ(archived, (std::vector<std::string>{"hft_data_3_0.json"}));
}

TEST(QeltFiles, PortObjectFollowsCounterList)
{
    struct {
        std::vector<const char *> counters;
        std::vector<int32_t> tcs;
        const char *port;
    } cases[] = {
        {{"tc_buff", "rx"}, {1, 0}, "{\"if_in_octets\": 2009,\"tc_data\": {\"1\": {\"tc_curr_occupancy\": 101},"
                                    "\"0\": {\"tc_curr_occupancy\": 100}}}"},
        {{"tc_buff"}, {}, "{\"tc_data\": {}}"},
        {{"bogus", "rx", "tx"}, {}, "{\"if_in_octets\": 2009,\"if_out_octets\": 1009}"},
        {{"bogus"}, {}, "{}"},
    };
    for (const auto &c : cases) {
        sim_job j({9}, c.tcs, c.counters, 1);
        ASSERT_EQ(j.rc, 0);
        std::string want = std::string("\"port_data\": {\"swp2s0\": ") + c.port + "}}}";
        EXPECT_NE(j.file(0).find(want), std::string::npos) << j.file(0);
    }
}

TEST(QeltFiles, FileBoundaryAt5000)
{
    sim_job j({7, 9}, {}, {"tx"}, 5001);
    ASSERT_EQ(j.rc, 0);
    EXPECT_EQ(archived, (std::vector<std::string>{"hft_data_3_0.json", "hft_data_3_1.json"}));
    std::string first = j.file(0), second = j.file(1);
    EXPECT_EQ(first.substr(first.size() - 4), "}}}}");
    EXPECT_EQ(second.rfind("{\"5001\": {\"sample_index\": 5001,", 0), 0u) << second.substr(0, 60);
    EXPECT_EQ(second.substr(second.size() - 2), "}}");
}

TEST(QeltFiles, NoSamplesWritesNothing)
{
    sim_job j({7}, {}, {"tx"}, 0);
    EXPECT_EQ(j.rc, qelt_event_no_samples);
    EXPECT_TRUE(archived.empty());
}

TEST(QeltFiles, HostnameQuotedWhenNeeded)
{
    sim_job j({7}, {}, {"tx"}, 1, "we\"ird");
    ASSERT_EQ(j.rc, 0);
    EXPECT_EQ(j.file(0).rfind("{\"version\":  \"1.0\",\"hostname\":  \"we\\\"ird\",", 0), 0u);
}

TEST(QeltHostname, FirstUsableLine)
{
    mkdir(test_dir, 0755);
    std::string path = std::string(test_dir) + "/hn";
    struct {
        const char *text;
        const char *name;
    } cases[] = {
        {"leaf1\n", "leaf1"}, {"#x\n\nleaf2", "leaf2"}, {"\n\n", "tarvik"}, {"", "tarvik"}, {"a b\n\n", "a b"},
    };
    for (const auto &c : cases) {
        std::ofstream(path) << c.text;
        EXPECT_EQ(qelt_read_hostname(path.c_str()), c.name) << c.text;
    }
    EXPECT_EQ(qelt_read_hostname("/run/qelt-unit/missing"), "tarvik");
}
