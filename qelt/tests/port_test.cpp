#include <cstdio>
#include <gtest/gtest.h>

#include "qelt.h"

namespace {

port_table load(const std::string &text)
{
    port_table table;
    FILE *f = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    qelt_port_load(table, f);
    std::fclose(f);
    return table;
}

std::vector<uint32_t> resolve(const port_table &table, const char *list)
{
    uint32_t ids[qelt_max_ports];
    int n = qelt_port_resolve(table, list, ids, qelt_max_ports);
    return std::vector<uint32_t>(ids, ids + n);
}

const char table_text[] = "Id Label Name\n"
                          "-- ----- ----\n"
                          "0 x swp0s0\n"
                          "0x20 x swphex\n"
                          "\n"
                          "110 10 swp10s0\n"
                          "20 2 swp2s0\n"
                          "21\t2\tswp2s1\n";

} // namespace

TEST(QeltPort, SortKey)
{
    EXPECT_EQ(qelt_port_sort_key("swp12s1"), 12);
    EXPECT_EQ(qelt_port_sort_key("swp7"), 7);
    EXPECT_EQ(qelt_port_sort_key("eth0"), 0);
    EXPECT_EQ(qelt_port_sort_key("swp"), 0);
    EXPECT_EQ(qelt_port_sort_key(""), 0);
}

TEST(QeltPort, LoadSkipsNonPortLinesAndSortsStably)
{
    port_table t = load(table_text);
    ASSERT_EQ(t.count, 3);
    EXPECT_STREQ(t.entries[0].name, "swp2s0");
    EXPECT_EQ(t.entries[0].logical_id, 20u);
    EXPECT_STREQ(t.entries[1].name, "swp2s1"); // last column: no newline kept
    EXPECT_STREQ(t.entries[2].name, "swp10s0");
    EXPECT_STREQ(qelt_port_name(t, 110), "swp10s0");
    EXPECT_STREQ(qelt_port_name(t, 999), "");
}

TEST(QeltPort, ShortLinesAndLongNames)
{
    port_table t = load("5 only\n6 a " + std::string(40, 'n') + " extra\r\n");
    ASSERT_EQ(t.count, 2);
    EXPECT_STREQ(t.entries[0].name, "");
    EXPECT_EQ(std::string(t.entries[1].name), std::string(31, 'n'));
}

TEST(QeltPort, KeepsFirst512Ports)
{
    std::string text;
    for (int i = 1; i <= 600; i++)
        text += std::to_string(i) + " x swp" + std::to_string(i) + "\n";
    port_table t = load(text);
    ASSERT_EQ(t.count, qelt_max_ports);
    EXPECT_EQ(t.entries[511].logical_id, 512u);
}

TEST(QeltPort, Resolve)
{
    port_table t = load(table_text);
    struct {
        const char *list;
        std::vector<uint32_t> ids;
    } cases[] = {
        {"all", {20, 21, 110}},
        {"swp10s0,swp2s0", {20, 110}},
        {"swp2s1,swp2s0", {21, 20}},           // equal keys keep the given order
        {"swp2s0,swp3s9,swp10s0", {20, 110}},  // an unknown name does not hide later ones
        {"swp2s0,swp2s0,,swp2s0", {20}},
        {"SWP2S0", {}},
        {"", {}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(resolve(t, c.list), c.ids) << c.list;
}
