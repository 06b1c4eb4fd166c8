#include <gtest/gtest.h>

#include "qelt.h"

TEST(QeltAtoi, ConvertsLikeAtoiWithoutOverflow)
{
    struct {
        const char *text;
        int32_t value;
    } cases[] = {
        {"1000", 1000}, {"abc", 0}, {"", 0}, {"12abc", 12}, {"  -7", -7}, {"+5", 5},
        {"0x10", 0},    {"99999999999999999999", INT32_MAX}, {"-99999999999", INT32_MIN},
    };
    for (const auto &c : cases)
        EXPECT_EQ(qelt_atoi(c.text), c.value) << c.text;
}

TEST(QeltSplitList, DropsEmptyItemsCutsAndLimits)
{
    EXPECT_EQ(qelt_split_list("tx,,rx", 3), (std::vector<std::string>{"tx", "rx"}));
    EXPECT_EQ(qelt_split_list(",a,b,", 3), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(qelt_split_list("a,b,c,d", 3), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_TRUE(qelt_split_list("", 3).empty());
    std::string long_name(40, 'x');
    EXPECT_EQ(qelt_split_list(long_name, 3), (std::vector<std::string>{std::string(31, 'x')}));
}

TEST(QeltBuildConfig, ListsAndNumbers)
{
    port_table table{};
    qelt_args args{};
    args.ports = "all";
    args.tc = "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,0,3";
    args.counter = "tx,rx,tc_buff,tx";
    args.interval = 1000;
    args.sample_count = 10;
    args.job_id = 4;
    qelt_job_config cfg;
    qelt_build_config(args, table, cfg);
    EXPECT_EQ(cfg.port_count, 0);
    ASSERT_EQ(cfg.tc_count, 16);
    EXPECT_EQ(cfg.tcs[0], 1);
    EXPECT_EQ(cfg.tcs[15], 0);
    ASSERT_EQ(cfg.counter_count, 3);
    EXPECT_STREQ(cfg.counters[2], "tc_buff");
    EXPECT_EQ(cfg.interval, 1000);
    EXPECT_EQ(cfg.sample_count, 10);
    EXPECT_EQ(cfg.job_id, 4u);
    EXPECT_EQ(qelt_counter_type("rx"), 1u);
    EXPECT_EQ(qelt_counter_type("tc_buff"), 21u);
    EXPECT_EQ(qelt_counter_type("bogus"), 0u);
}
