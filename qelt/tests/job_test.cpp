// The run guard against the SDK stand-in running in this process.
#include <cstring>
#include <gtest/gtest.h>
#include <new>

#include "qelt.h"

// Whatever the run had taken, and whether the driver returns or an exception
// leaves it, the guard gives everything back.
TEST(QeltRunGuard, ReleasesFromEveryLevelOnEveryExit)
{
    qelt_job_config cfg{};
    cfg.port_ids[cfg.port_count++] = 7;
    std::strcpy(cfg.counters[cfg.counter_count++], "tx");
    cfg.sample_count = 1;
    struct {
        int steps;
        qelt_hold reached;
    } cases[] = {{1, qelt_hold::connection}, {2, qelt_hold::trap}, {3, qelt_hold::transaction}};
    for (const auto &c : cases) {
        for (bool thrown : {false, true}) {
            qelt_job job{};
            try {
                qelt_run_guard guard(job);
                ASSERT_EQ(qelt_init(job), 0);
                if (c.steps >= 2) {
                    ASSERT_EQ(qelt_event_open(job), 0);
                }
                if (c.steps >= 3) {
                    ASSERT_EQ(qelt_job_start(job, cfg), 0);
                }
                ASSERT_EQ(job.held, c.reached);
                if (thrown)
                    throw std::bad_alloc();
                EXPECT_EQ(guard.finish(0), 0);
            } catch (const std::bad_alloc &) {
            }
            EXPECT_EQ(job.held, qelt_hold::nothing) << c.steps << (thrown ? " thrown" : " returned");
        }
    }
}
