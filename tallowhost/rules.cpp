// The agent's policy rules: what a dumped rule says, which of them are the agent's own and wanted,
// adding whichever of its four rules is missing, and removing them.

#include <sys/socket.h>

#include <linux/fib_rules.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include "tallowhost.h"

namespace {

bool parse_rule(const uint8_t *msg, uint32_t len, kernel_rule &r)
{
    fib_rule_hdr fr;
    std::span<const uint8_t> a;
    if (get_host16(msg + 4) != RTM_NEWRULE || !nl_message_header(msg, len, fr, a))
        return false;
    const uint8_t *attrs = a.data();
    const size_t attrs_len = a.size();
    r.family = fr.family;
    r.priority = nl_attr32_or(attrs, attrs_len, FRA_PRIORITY, 0);
    r.table = nl_attr32_or(attrs, attrs_len, FRA_TABLE, fr.table);
    size_t n = 0;
    const uint8_t *proto = nl_find_attr(attrs, attrs_len, FRA_PROTOCOL, n);
    r.protocol = proto && n >= 1 ? proto[0] : 0;
    const uint8_t *group = nl_find_attr(attrs, attrs_len, FRA_SUPPRESS_IFGROUP, n);
    r.suppresses = group && n >= 4 && get_host32(group) != UINT32_MAX;
    r.suppress_group = r.suppresses ? get_host32(group) : 0;
    const uint8_t *l3 = nl_find_attr(attrs, attrs_len, FRA_L3MDEV, n);
    r.l3mdev = l3 && n >= 1 && l3[0];
    return true;
}

}  // namespace

// The agent's two rules per family: the main table for what does not leave through an uplink, then
// its own table.
bool wanted_rule(const host_config *cfg, const kernel_rule &r)
{
    return (r.priority == cfg->rule_priority - 1 && r.table == RT_TABLE_MAIN && r.suppresses &&
            r.suppress_group == cfg->ifgroup) ||
           (r.priority == cfg->rule_priority && r.table == cfg->table && !r.suppresses);
}

void put_rule_delete(nl_writer &w, const uint8_t *msg, uint32_t len)
{
    // The dumped rule, sent back as a deletion, names exactly that rule.
    w.begin(RTM_DELRULE, NLM_F_REQUEST, 0);
    w.buf.insert(w.buf.end(), msg + sizeof(nlmsghdr), msg + len);
    w.buf.resize(align4(w.buf.size()), 0);
    w.end();
}

int dump_rules(host_config *cfg, const std::function<void(const kernel_rule &, const uint8_t *, uint32_t)> &each)
{
    for (uint8_t family : {uint8_t(AF_INET), uint8_t(AF_INET6)}) {
        fib_rule_hdr fr{};
        fr.family = family;
        int rc = nl_dump(cfg, RTM_GETRULE, &fr, sizeof fr, 0, [&](const uint8_t *msg, uint32_t len) {
            kernel_rule r;
            if (parse_rule(msg, len, r))
                each(r, msg, len);
        });
        if (rc != 0)
            return -1;
    }
    return 0;
}

int tallowhost_rules_ensure(host_config *cfg)
{
    bool present[2][2] = {};  // [family][suppress rule, table rule]
    if (dump_rules(cfg, [&](const kernel_rule &r, const uint8_t *, uint32_t) {
            if (r.protocol == route_protocol && wanted_rule(cfg, r))
                present[r.family == AF_INET ? 0 : 1][r.priority == cfg->rule_priority] = true;
        }) != 0)
        return -1;
    nl_writer w;
    std::vector<std::string> names;
    const uint32_t first = cfg->nl_seq;
    for (int fam = 0; fam < 2; fam++) {
        for (int which = 0; which < 2; which++) {
            if (present[fam][which])
                continue;
            w.begin(RTM_NEWRULE, NLM_F_REQUEST | NLM_F_CREATE | NLM_F_EXCL, cfg->nl_seq++);
            fib_rule_hdr fr{};
            fr.family = fam == 0 ? AF_INET : AF_INET6;
            const uint32_t table = which ? cfg->table : RT_TABLE_MAIN;
            fr.table = table < 256 ? uint8_t(table) : uint8_t(RT_TABLE_UNSPEC);
            fr.action = FR_ACT_TO_TBL;
            w.append(&fr, sizeof fr);
            w.attr32(FRA_PRIORITY, which ? cfg->rule_priority : cfg->rule_priority - 1);
            w.attr32(FRA_TABLE, table);
            if (!which)
                w.attr32(FRA_SUPPRESS_IFGROUP, cfg->ifgroup);
            uint8_t proto = route_protocol;
            w.attr(FRA_PROTOCOL, &proto, 1);
            w.end();
            names.push_back(std::string(fam == 0 ? "IPv4 " : "IPv6 ") + (which ? "rule" : "main-table rule"));
        }
    }
    if (w.count == 0)
        return 0;
    int refused = nl_transact(cfg, w, first, [&](size_t i) { return names[i]; }, true);
    return refused == 0 ? int(w.count) : -1;
}

int tallowhost_rules_remove(host_config *cfg)
{
    nl_writer rules;
    if (dump_rules(cfg, [&](const kernel_rule &r, const uint8_t *msg, uint32_t len) {
            if (r.protocol == route_protocol)
                put_rule_delete(rules, msg, len);
        }) != 0)
        return -1;
    if (!rules.count)
        return 0;
    const uint32_t seq = nl_number(cfg, rules);
    int refused = nl_transact(cfg, rules, seq, [](size_t) { return std::string("rule"); }, true);
    return refused < 0 ? -1 : int(rules.count) - refused;
}
