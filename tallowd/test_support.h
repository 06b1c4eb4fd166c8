// Shared pieces of the daemon's unit tests: the captured log, address and interface helpers, and two
// daemon contexts for one test (daemon_test, and db_test with one database).
#pragma once

#include <arpa/inet.h>

#include <array>
#include <cstring>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon.h"

namespace test_support {

// Every line that passed the log level, oldest first, and its priority at the same index.
inline std::vector<std::string> logged;
inline std::vector<int> logged_prio;

inline void capture(int prio, const char *line)
{
    logged.emplace_back(line);
    logged_prio.push_back(prio);
}

// Starts capturing afresh.
inline void capture_log()
{
    logged.clear();
    logged_prio.clear();
    log_hook = capture;
}

// Lines that contain the text, at the given priority or (prio -1) at any.
inline size_t lines_with(const std::string &text, int prio = -1)
{
    size_t n = 0;
    for (size_t i = 0; i < logged.size(); i++)
        n += (prio < 0 || logged_prio[i] == prio) && logged[i].find(text) != std::string::npos;
    return n;
}

// Lines equal to the text.
inline int count_lines(const std::string &text)
{
    int n = 0;
    for (const auto &l : logged)
        n += l == text;
    return n;
}

inline bool has_line(const std::string &text)
{
    return count_lines(text) > 0;
}

inline std::vector<std::string> with_prefix(const std::string &prefix)
{
    std::vector<std::string> out;
    for (const auto &l : logged)
        if (l.rfind(prefix, 0) == 0)
            out.push_back(l);
    return out;
}

// Test addresses: 10.x.y.z and 2001:db8:<i>::, numbered.
inline std::array<uint8_t, 16> v4(uint32_t i)
{
    return {10, uint8_t(i >> 16), uint8_t(i >> 8), uint8_t(i)};
}

inline std::array<uint8_t, 16> v6(uint32_t i)
{
    return {0x20, 0x01, 0x0d, 0xb8, uint8_t(i >> 24), uint8_t(i >> 16), uint8_t(i >> 8), uint8_t(i)};
}

// The 16 address bytes of an IPv4 or IPv6 address in text.
inline std::array<uint8_t, 16> addr_of(const char *text)
{
    std::array<uint8_t, 16> a{};
    if (inet_pton(AF_INET, text, a.data()) != 1) {
        EXPECT_EQ(inet_pton(AF_INET6, text, a.data()), 1) << text;
    }
    return a;
}

inline void set_intfs(vrf_context &vrf, std::initializer_list<uint32_t> ifindexes)
{
    ASSERT_EQ(vrf.intfs.resize(ifindexes.size()), 0);
    std::copy(ifindexes.begin(), ifindexes.end(), vrf.intfs.begin());
}

// A daemon context that is active, logs at debug level into `logged`, and is freed afterwards.
struct daemon_test : ::testing::Test {
    std::unique_ptr<daemon_config> cfg_owner;
    daemon_config *cfg = nullptr;

    void SetUp() override
    {
        capture_log();
        cfg_owner = daemon_create();
        cfg = cfg_owner.get();
        cfg->log_level = daemon_config::LOG_LEVEL_DEBUG;
        active_cfg.store(cfg);
    }
    void TearDown() override
    {
        vrf_remove_all(cfg);
        active_cfg.store(nullptr);
        cfg_owner.reset();
        log_hook = nullptr;
    }
};

// An active daemon record of its own (a plain member, at the default log level) and one database
// under its limit, with helpers that take addresses as text; every line is captured.
struct db_test : ::testing::Test {
    daemon_config cfg;
    prefix_db db;

    void SetUp() override
    {
        test_support::capture_log();
        active_cfg.store(&cfg);
        db.limit = &cfg.limit;  // as vrf_lookup_or_create gives it to a VRF's database
    }
    void TearDown() override
    {
        clear(&db);
        vrf_remove_all(&cfg);
        active_cfg.store(nullptr);
        log_hook = nullptr;
    }

    int add(const char *text, uint8_t plen, uint8_t w = 0, uint32_t epoch = 0, prefix_db *d = nullptr)
    {
        auto a = addr_of(text);
        return add_or_update(d ? d : &db, std::strchr(text, ':') ? 6 : 4, a.data(), plen, w, epoch);
    }
    prefix_entry *find(const char *text, uint8_t plen)
    {
        auto a = addr_of(text);
        return lookup(&db, std::strchr(text, ':') ? 6 : 4, a.data(), plen);
    }
    size_t lines_with(const std::string &text, int prio) const { return test_support::lines_with(text, prio); }
    std::vector<std::string> walk(const prefix_db &d) const
    {
        std::vector<std::string> out;
        for (const prefix_entry *e = d.head(); e; e = d.next(e)) {
            char buf[64];
            inet_ntop(e->afi == 4 ? AF_INET : AF_INET6, e->addr, buf, sizeof buf);
            out.push_back(std::string(buf) + "/" + std::to_string(e->plen));
        }
        return out;
    }
};

}  // namespace test_support
