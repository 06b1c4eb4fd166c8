// Set assembly per neighbour and the steering it drives: sequences of frames, what each uplink then
// declares, and the routes that follow.

#include <gtest/gtest.h>

#include <algorithm>

#include "test_frames.h"

namespace {

using namespace test_frames;

std::vector<std::string> log_lines;

void capture(int, const char *line)
{
    log_lines.emplace_back(line);
}

struct agent_test : ::testing::Test {
    host_config cfg;

    void SetUp() override
    {
        log_lines.clear();
        hlog_hook = capture;
        for (const char *name : {"up0", "up1", "up2"}) {
            uplink up;
            up.name = name;
            up.has_v4 = up.has_v6 = true;
            // 192.0.2.1, 192.0.2.5, 192.0.2.9 and link-local IPv6 next hops.
            up.gw4 = {192, 0, 2, uint8_t(1 + 4 * cfg.uplinks.size())};
            up.gw6 = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, uint8_t(1 + cfg.uplinks.size())};
            up.link_up = up.gw4_onlink = up.gw6_onlink = true;
            cfg.uplinks.push_back(std::move(up));
        }
    }
    void TearDown() override { hlog_hook = nullptr; }

    // Feeds one frame to an uplink at a time; returns the route changes it caused, as text.
    std::vector<std::string> feed(size_t up, const bytes &raw, int64_t now = 1000)
    {
        parsed_frame f;
        frame_error e = tallowhost_parse_frame(raw, f);
        EXPECT_EQ(e, frame_error::none);
        std::vector<declaration> changed;
        tallowhost_apply_frame(&cfg, &cfg.uplinks[up], f, now, changed);
        return steer(up, changed);
    }
    std::vector<std::string> steer(size_t up, const std::vector<declaration> &changed)
    {
        std::vector<route_change> out;
        tallowhost_steer(&cfg, up, changed, out);
        std::vector<std::string> text;
        for (const route_change &c : out)
            text.push_back(prefix_text(c.prefix) +
                           (c.remove ? " gone" : c.throw_route ? " thrown" : " via " + via(c.reach)));
        std::sort(text.begin(), text.end());
        return text;
    }
    static std::string via(uint32_t reach)
    {
        if (reach == 0)
            return "none";
        std::string s;
        for (unsigned i = 0; i < 32; i++)
            if (reach >> i & 1)
                s += char('0' + i);
        return s;
    }
    std::vector<std::string> declared(size_t up)
    {
        std::vector<std::string> out;
        for (const auto &[p, r] : cfg.routes)
            if (uplink_declares(cfg.uplinks[up], up, r))
                out.push_back(prefix_text(p));
        return out;
    }
    size_t logged(const std::string &text)
    {
        return size_t(std::count_if(log_lines.begin(), log_lines.end(),
                                    [&](const std::string &l) { return l.find(text) != std::string::npos; }));
    }
};

bytes set_frame(uint8_t flags, std::initializer_list<const char *> prefixes, uint16_t ttl = 120, uint8_t chassis = 1,
                const std::string &port = "swp1")
{
    bytes body = control(flags);
    for (const char *p : prefixes)
        body = cat({body, prefix(p)});
    return frame(body, ttl, chassis, port);
}

// A plain LLDP frame of another speaker on the link: no control TLV.
bytes plain_frame(uint16_t ttl, uint8_t chassis)
{
    return frame({}, ttl, chassis, "eth0");
}

TEST_F(agent_test, frame_sequences)
{
    struct row {
        const char *name;
        std::vector<bytes> frames;
        std::vector<std::string> want;  // declared by uplink 0 afterwards
        const char *log;                // a line that must appear, or ""
        size_t cap = default_max_prefixes;
    };
    const std::vector<row> rows = {
        {"whole set of three frames",
         {set_frame(0xC1, {"10.0.0.0/8"}), set_frame(0x41, {"10.1.0.0/16"}), set_frame(0x01, {"10.2.0.0/16"})},
         {"10.0.0.0/8", "10.1.0.0/16", "10.2.0.0/16"}, "3 prefixes in 3 frames"},
        {"last frame lost: previous set kept",
         {set_frame(0x81, {"10.0.0.0/8"}), set_frame(0xC1, {"10.1.0.0/16"}), set_frame(0x41, {"10.2.0.0/16"})},
         {"10.0.0.0/8"}, ""},
        {"first frame lost: continuation discarded",
         {set_frame(0x81, {"10.0.0.0/8"}), set_frame(0x41, {"10.1.0.0/16"}), set_frame(0x01, {"10.2.0.0/16"})},
         {"10.0.0.0/8"}, "continuation frame with no set open"},
        {"FIRST while open: partial discarded, new set taken",
         {set_frame(0xC1, {"10.0.0.0/8"}), set_frame(0x81, {"10.3.0.0/16"})}, {"10.3.0.0/16"},
         "first frame while a set of 1 frames was open"},
        {"empty set clears", {set_frame(0x81, {"10.0.0.0/8"}), set_frame(0x81, {})}, {}, ""},
        {"delta adds and withdraws; the last entry wins",
         {set_frame(0x81, {"10.0.0.0/8", "10.1.0.0/16"}),
          frame(cat({control(0x80), prefix("10.1.0.0/16", true), prefix("10.5.0.0/16"), prefix("10.6.0.0/16"),
                     prefix("10.6.0.0/16", true)}))},
         {"10.0.0.0/8", "10.5.0.0/16"}, "delta of 1 added, 2 withdrawn"},
        {"defaults-only blob is a delta",
         {set_frame(0x81, {"10.0.0.0/8"}), set_frame(0x80, {"0.0.0.0/0", "::/0"})},
         {"0.0.0.0/0", "10.0.0.0/8", "::/0"}, ""},
        {"delta during an open set does not close it, and the set sent before it does not undo it",
         {set_frame(0xC1, {"10.0.0.0/8"}), set_frame(0x80, {"10.7.0.0/16"}), set_frame(0x01, {"10.8.0.0/16"})},
         {"10.0.0.0/8", "10.7.0.0/16", "10.8.0.0/16"}, "1 kept as deltas of the last 1000 ms left them"},
        {"withdrawn entries of a periodic set are not declared",
         {frame(cat({control(0x81), prefix("10.0.0.0/8"), prefix("10.1.0.0/16", true)}))}, {"10.0.0.0/8"}, ""},
        {"same prefix with host bits is one prefix",
         {set_frame(0x81, {"10.1.2.7/24", "10.1.2.0/24"})}, {"10.1.2.0/24"}, ""},
        {"TTL 0 forgets", {set_frame(0x81, {"10.0.0.0/8"}), set_frame(0x80, {}, 0)}, {}, "forgotten (TTL 0)"},
        {"a second declaring neighbour's set is combined, each kept until its own TTL 0",
         {set_frame(0x81, {"10.0.0.0/8", "10.1.0.0/16"}), set_frame(0x81, {"10.1.0.0/16", "10.2.0.0/16"}, 120, 2),
          set_frame(0x80, {}, 0)},
         {"10.1.0.0/16", "10.2.0.0/16"}, "forgotten (TTL 0), 2 prefixes no longer declared"},
        {"the same chassis on another port is another neighbour",
         {set_frame(0x81, {"10.0.0.0/8"}), set_frame(0x81, {}, 120, 1, "swp9")}, {"10.0.0.0/8"}, ""},
        {"a plain speaker's frames and TTL 0 change nothing",
         {set_frame(0x81, {"10.0.0.0/8"}), plain_frame(120, 7), plain_frame(0, 7), plain_frame(120, 7)},
         {"10.0.0.0/8"}, ""},
        {"a plain frame keeps a declaring neighbour and its set",
         {set_frame(0x81, {"10.0.0.0/8"}), frame({}, 120, 1)}, {"10.0.0.0/8"}, ""},
        {"open set over the prefix cap: discarded, the rest dropped, the old set kept",
         {set_frame(0x81, {"10.0.0.0/8"}), set_frame(0xC1, {"10.1.0.0/16", "10.2.0.0/16"}),
          set_frame(0x41, {"10.3.0.0/16", "10.4.0.0/16"}), set_frame(0x01, {"10.5.0.0/16"})},
         {"10.0.0.0/8"}, "open set from chassis 02:00:00:00:0a:01 port swp1 over the cap of 3 prefixes", 3},
        {"whole set over what the uplink may hold with its other neighbours: discarded",
         {set_frame(0x81, {"10.0.0.0/8", "10.1.0.0/16"}), set_frame(0x81, {"10.2.0.0/16", "10.3.0.0/16"}, 120, 2)},
         {"10.0.0.0/8", "10.1.0.0/16"}, "set of 2 prefixes from chassis 02:00:00:00:0a:02 port swp1 over the cap", 3},
        {"delta beyond the cap: withdrawals taken, adds up to the cap",
         {set_frame(0x81, {"10.0.0.0/8", "10.1.0.0/16"}),
          frame(cat({control(0x80), prefix("10.1.0.0/16", true), prefix("10.5.0.0/16"), prefix("10.6.0.0/16"),
                     prefix("10.7.0.0/16")}))},
         {"10.0.0.0/8", "10.5.0.0/16", "10.6.0.0/16"}, "1 prefixes of a delta from chassis", 3},
    };
    for (const row &r : rows) {
        SetUp();
        cfg.max_prefixes = r.cap;
        for (const bytes &f : r.frames)
            feed(0, f);
        EXPECT_EQ(declared(0), r.want) << r.name;
        if (*r.log) {
            EXPECT_EQ(logged(r.log), 1u) << r.name;
        }
        TearDown();
        cfg = host_config{};
    }
}

// Frames at given times, and the end of the guard windows (an empty frame) as the agent's timer runs it.
TEST_F(agent_test, timed_sequences)
{
    struct step {
        int64_t at;
        bytes frame;  // empty: the timer runs
    };
    const bytes delta_add = set_frame(0x80, {"10.7.0.0/16"});
    const bytes delta_withdraw = frame(cat({control(0x80), prefix("10.7.0.0/16", true)}));
    const bytes old_set = set_frame(0x81, {"10.0.0.0/8"});
    const bytes new_set = set_frame(0x81, {"10.0.0.0/8", "10.7.0.0/16"});
    struct row {
        const char *name;
        std::vector<step> steps;
        std::vector<std::string> want;
    };
    const std::vector<row> rows = {
        {"the stored set re-sent after a delta does not undo it",
         {{0, old_set}, {500, delta_add}, {530, old_set}, {1499, {}}}, {"10.0.0.0/8", "10.7.0.0/16"}},
        {"the new set confirms the delta: the window's end changes nothing",
         {{0, old_set}, {500, delta_add}, {530, old_set}, {600, new_set}, {1500, {}}},
         {"10.0.0.0/8", "10.7.0.0/16"}},
        {"no set confirms the delta: the last set's word at the window's end",
         {{0, old_set}, {500, delta_add}, {530, old_set}, {1500, {}}}, {"10.0.0.0/8"}},
        {"a withdrawal is guarded too",
         {{0, new_set}, {500, delta_withdraw}, {530, new_set}, {1499, {}}}, {"10.0.0.0/8"}},
        {"a later delta renews the decision and its window",
         {{0, old_set}, {500, delta_add}, {530, old_set}, {900, delta_withdraw}, {910, new_set}, {1500, {}}},
         {"10.0.0.0/8"}},
        {"a set after the window is taken whole at once",
         {{0, old_set}, {500, delta_add}, {1500, old_set}}, {"10.0.0.0/8"}},
        {"a set without recent deltas is taken whole at once",
         {{0, new_set}, {500, old_set}}, {"10.0.0.0/8"}},
        {"a forgotten neighbour takes its guards with it",
         {{0, old_set}, {500, delta_add}, {530, set_frame(0x80, {}, 0)}, {540, old_set}, {1500, {}}},
         {"10.0.0.0/8"}},
        // A set compared with the previous one: exact whatever changed and wherever.
        {"an unchanged set of two frames",
         {{0, set_frame(0xC1, {"10.1.0.0/16", "10.2.0.0/16"})}, {1, set_frame(0x01, {"10.3.0.0/16"})},
          {2000, set_frame(0xC1, {"10.1.0.0/16", "10.2.0.0/16"})}, {2001, set_frame(0x01, {"10.3.0.0/16"})}},
         {"10.1.0.0/16", "10.2.0.0/16", "10.3.0.0/16"}},
        {"one gone in the middle, the rest shifted across frames",
         {{0, set_frame(0xC1, {"10.1.0.0/16", "10.2.0.0/16"})}, {1, set_frame(0x01, {"10.3.0.0/16", "::/0"})},
          {2000, set_frame(0xC1, {"10.1.0.0/16", "10.3.0.0/16"})}, {2001, set_frame(0x01, {"::/0"})}},
         {"10.1.0.0/16", "10.3.0.0/16", "::/0"}},
        {"more gone at one place than the search reaches, one appended, one replaced",
         {{0, set_frame(0x81, {"10.1.0.0/16", "10.2.0.0/16", "10.3.0.0/16", "10.4.0.0/16", "10.5.0.0/16",
                               "10.6.0.0/16", "10.7.0.0/16", "10.8.0.0/16", "10.9.0.0/16", "10.10.0.0/16",
                               "10.11.0.0/16", "10.12.0.0/16"})},
          {2000, set_frame(0x81, {"10.1.0.0/16", "10.11.0.0/16", "2001:db8::/32", "10.13.0.0/16"})}},
         {"10.1.0.0/16", "10.11.0.0/16", "10.13.0.0/16", "2001:db8::/32"}},
        {"moved, withdrawn entries and a prefix twice",
         {{0, set_frame(0x81, {"10.1.0.0/16", "10.2.0.0/16", "10.3.0.0/16"})},
          {2000, frame(cat({control(0x81), prefix("10.3.0.0/16"), prefix("10.1.0.0/16", true), prefix("10.2.0.0/16"),
                            prefix("10.2.0.0/16")}))},
          {4000, set_frame(0x81, {"10.3.0.0/16", "10.2.0.0/16"})},
          {6000, set_frame(0x81, {"10.3.0.0/16"})}},
         {"10.3.0.0/16"}},
        {"what deltas changed since the last set goes back to it with the next",
         {{0, old_set}, {500, delta_add}, {600, delta_withdraw}, {700, set_frame(0x80, {"10.8.0.0/16"})},
          {800, frame(cat({control(0x80), prefix("10.0.0.0/8", true)}))}, {3000, old_set}},
         {"10.0.0.0/8"}},
    };
    for (const row &r : rows) {
        SetUp();
        for (const step &s : r.steps) {
            if (!s.frame.empty()) {
                parsed_frame f;
                ASSERT_EQ(tallowhost_parse_frame(s.frame, f), frame_error::none) << r.name;
                std::vector<declaration> changed;
                tallowhost_apply_frame(&cfg, &cfg.uplinks[0], f, s.at, changed);
                steer(0, changed);
            } else {
                std::vector<declaration> changed;
                tallowhost_end_guards(&cfg, &cfg.uplinks[0], s.at, changed);
                steer(0, changed);
            }
        }
        EXPECT_EQ(declared(0), r.want) << r.name;
        TearDown();
        cfg = host_config{};
    }
}

TEST_F(agent_test, nested_declarations_and_multipath)
{
    // 10.0.0.0/8 through up0 and 10.9.0.0/16 through up1: the /16 is left to up2 and the /8 to up1 and
    // up2; once up2 declares 10.9.1.0/24, that /24 is unreachable.
    EXPECT_EQ(feed(0, set_frame(0x81, {"10.0.0.0/8"})), (std::vector<std::string>{"10.0.0.0/8 via 12"}));
    EXPECT_EQ(feed(1, set_frame(0x81, {"10.9.0.0/16"})), (std::vector<std::string>{"10.9.0.0/16 via 2"}));
    EXPECT_EQ(feed(2, set_frame(0x81, {"10.9.1.0/24"})), (std::vector<std::string>{"10.9.1.0/24 via none"}));
    // Withdrawing the /8 on up0 makes up0 usable again for everything inside it.
    EXPECT_EQ(feed(0, set_frame(0x81, {})),
              (std::vector<std::string>{"10.0.0.0/8 gone", "10.9.0.0/16 via 02", "10.9.1.0/24 via 0"}));
    // 0/0 covers every IPv4 prefix and no IPv6 one.
    EXPECT_EQ(feed(0, set_frame(0x80, {"0.0.0.0/0", "2001:db8::/32"})),
              (std::vector<std::string>{"0.0.0.0/0 via 12", "10.9.0.0/16 via 2", "10.9.1.0/24 via none",
                                        "2001:db8::/32 via 12"}));
    // TTL expiry behaves as TTL 0: the forgotten neighbour's prefixes go and the others recover.
    std::vector<declaration> changed;
    forget_neighbour(&cfg, &cfg.uplinks[0], 0, "TTL expired", changed);
    EXPECT_EQ(steer(0, changed), (std::vector<std::string>{"0.0.0.0/0 gone", "10.9.0.0/16 via 02",
                                                           "10.9.1.0/24 via 0", "2001:db8::/32 gone"}));
    EXPECT_EQ(cfg.routes.size(), 2u);
}

TEST_F(agent_test, uplinks_without_a_next_hop_of_the_family_are_not_used)
{
    cfg.uplinks[1].has_v6 = false;
    EXPECT_EQ(feed(0, set_frame(0x81, {"2001:db8::/32", "10.0.0.0/8"})),
              (std::vector<std::string>{"10.0.0.0/8 via 12", "2001:db8::/32 via 2"}));
    cfg.uplinks[2].has_v6 = false;
    EXPECT_EQ(reach_mask(&cfg, pfx("2001:db8::/32")), 0u);
    // A link that is down or whose gateway is not on-link is left out, and taken back when it returns.
    cfg.uplinks[1].link_up = false;
    cfg.uplinks[2].gw4_onlink = false;
    std::vector<route_change> out;
    tallowhost_steer_all(&cfg, out);
    ASSERT_EQ(out.size(), 2u);  // the IPv6 route lost up2 above
    EXPECT_EQ(prefix_text(out[0].prefix) + " " + via(out[0].reach), "10.0.0.0/8 none");
    cfg.uplinks[1].link_up = true;
    out.clear();
    tallowhost_steer_all(&cfg, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(prefix_text(out[0].prefix) + " " + via(out[0].reach), "10.0.0.0/8 1");
}

TEST_F(agent_test, an_uplinks_subnets_are_thrown_to_the_main_table_over_any_declaration)
{
    cfg.uplinks[0].connected = {pfx("192.0.2.0/30")};
    std::vector<route_change> out;
    tallowhost_set_connected(&cfg, out);
    std::vector<std::string> text;
    for (const route_change &c : out)
        text.push_back(prefix_text(c.prefix) + (c.throw_route ? " thrown" : " routed"));
    // The other uplinks' gateways lie in no subnet: thrown too, so that the main table answers for them.
    EXPECT_EQ(text, (std::vector<std::string>{"192.0.2.0/30 thrown", "192.0.2.5/32 thrown", "192.0.2.9/32 thrown",
                                              "fe80::/64 thrown"}));
    // Declared exactly or covered, the subnet stays thrown; a more specific declaration inside it is
    // routed.
    EXPECT_EQ(feed(1, set_frame(0x80, {"0.0.0.0/0", "192.0.2.0/30", "192.0.2.1/32"}, 120, 2)),
              (std::vector<std::string>{"0.0.0.0/0 via 02", "192.0.2.1/32 via 02"}));
    cfg.uplinks[0].connected.clear();
    out.clear();
    tallowhost_set_connected(&cfg, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(prefix_text(out[0].prefix) + " " + via(out[0].reach), "192.0.2.0/30 02");
    EXPECT_EQ(prefix_text(out[1].prefix) + (out[1].throw_route ? " thrown" : ""), "192.0.2.1/32 thrown");
}

TEST_F(agent_test, coverage_matches_a_brute_force_check)
{
    // Random declarations on three uplinks; every route's reach is compared with a direct test of
    // every declared prefix against every other.
    uint32_t seed = 12345;
    auto rnd = [&] { return seed = seed * 1103515245 + 12345, seed >> 8; };
    for (int round = 0; round < 40; round++) {
        size_t up = rnd() % 3;
        bytes body = control(0x81);
        for (int i = 0, n = int(rnd() % 12); i < n; i++) {
            unsigned len = rnd() % 5 * 4;  // 0, 4, 8, 12, 16: nesting is common
            std::string text = "10." + std::to_string(rnd() % 4) + ".0.0/" + std::to_string(len);
            if (len == 0)
                text = "0.0.0.0/0";
            body = cat({body, prefix(text)});
        }
        feed(up, frame(body, 120, uint8_t(up + 1)));
        for (const auto &[p, r] : cfg.routes) {
            uint32_t want = 0;
            for (size_t u = 0; u < 3; u++) {
                bool covered = false;
                for (const neighbour &nb : cfg.uplinks[u].neighbours)
                    for (const host_prefix &d : nb.declared)
                        covered |= d.family == p.family && d.plen <= p.plen && masked(p, d.plen) == d;
                if (!covered)
                    want |= 1u << u;
            }
            ASSERT_EQ(r.reach, want) << prefix_text(p) << " round " << round;
            ASSERT_TRUE(r.installed);
            ASSERT_NE(r.declared_by, 0u);
        }
    }
}

TEST(command_line, errors_and_defaults)
{
    struct row {
        std::vector<const char *> args;
        const char *error;  // "" when accepted
    };
    const std::vector<row> rows = {
        {{"--uplink", "lo=127.0.0.2"}, ""},
        {{"--uplink=lo=127.0.0.2,fe80::1", "--table", "100", "--rule-priority=50", "-v"}, ""},
        {{}, "no --uplink given"},
        {{"--uplink", "nosuch0=10.0.0.1"}, ""},  // waited for
        {{"--uplink", "a/b=10.0.0.1"}, "bad interface name \"a/b\""},
        {{"--uplink", "abcdefghijklmnop=10.0.0.1"}, "bad interface name"},
        {{"--uplink", "lo=10.0.0.300"}, "bad address \"10.0.0.300\" for uplink lo"},
        {{"--uplink", "lo=10.0.0.1,10.0.0.2"}, "bad address \"10.0.0.2\""},
        {{"--uplink", "lo=10.0.0.1,"}, "bad address \"\""},
        {{"--uplink", "lo"}, "--uplink needs IFNAME=GW[,GW]"},
        {{"--uplink", "lo=10.0.0.1", "--uplink", "lo=10.0.0.2"}, "duplicate uplink lo"},
        {{"--uplink", "lo=10.0.0.1", "--table", "254"}, "bad table \"254\""},
        {{"--uplink", "lo=10.0.0.1", "--table", "0"}, "bad table \"0\""},
        {{"--uplink", "lo=10.0.0.1", "--rule-priority", "32766"}, "bad rule priority \"32766\""},
        {{"--uplink", "lo=10.0.0.1", "--rule-priority", "1"}, "bad rule priority \"1\""},
        {{"--uplink", "lo=10.0.0.1", "--ifgroup", "0"}, "bad interface group \"0\""},
        {{"--uplink", "lo=10.0.0.1", "--max-prefixes", "0"}, "bad prefix cap \"0\""},
        {{"--uplink", "lo=10.0.0.1", "--ifgroup", "7", "--max-prefixes=100"}, ""},
        {{"--uplink", "lo=10.0.0.1", "--rule-priority"}, "--rule-priority needs a value"},
        {{"--uplink", "lo=10.0.0.1", "extra"}, "unknown argument \"extra\""},
    };
    for (const row &r : rows) {
        std::vector<char *> argv{const_cast<char *>("tallowhost")};
        for (const char *a : r.args)
            argv.push_back(const_cast<char *>(a));
        host_config cfg;
        std::string error;
        int rc = parse_command_line(&cfg, int(argv.size()), argv.data(), error);
        if (*r.error == '\0') {
            EXPECT_EQ(rc, 0) << error;
        } else {
            EXPECT_EQ(rc, -1) << r.error;
            EXPECT_NE(error.find(r.error), std::string::npos) << error;
        }
    }
    host_config cfg;
    std::string error;
    char *argv[] = {const_cast<char *>("tallowhost"), const_cast<char *>("--uplink"), const_cast<char *>("lo=fe80::1")};
    ASSERT_EQ(parse_command_line(&cfg, 3, argv, error), 0);
    EXPECT_EQ(cfg.table, 250u);
    EXPECT_EQ(cfg.rule_priority, 2000u);
    EXPECT_TRUE(cfg.uplinks[0].has_v6);
    EXPECT_FALSE(cfg.uplinks[0].has_v4);
}

}  // namespace
