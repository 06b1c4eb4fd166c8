// Shared pieces of the daemon's unit tests: the captured log and a daemon context for one test.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tallowd.h"

namespace test_support {

inline std::vector<std::string> logged;  // every line that passed the log level, oldest first

inline void capture(int, const char *line)
{
    logged.emplace_back(line);
}

// A daemon context that is active, logs at debug level into `logged`, and is freed afterwards.
struct daemon_test : ::testing::Test {
    daemon_config *cfg = nullptr;

    void SetUp() override
    {
        logged.clear();
        log_hook = capture;
        cfg = daemon_create();
        cfg->log_level = daemon_config::LOG_LEVEL_DEBUG;
        active_cfg.store(cfg);
    }
    void TearDown() override
    {
        vrf_remove_all(cfg);
        active_cfg.store(nullptr);
        delete cfg;
        log_hook = nullptr;
    }
};

}  // namespace test_support
