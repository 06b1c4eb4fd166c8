// Port table: interface names and logical port ids from "porquin ports info".
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <syslog.h>

#include "qelt.h"

namespace {

constexpr size_t max_line = 1034;

bool is_field_sep(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Fields of one line, split at blanks, tabs and line ends.
std::vector<std::string_view> fields(std::string_view line)
{
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && is_field_sep(line[i]))
            i++;
        size_t start = i;
        while (i < line.size() && !is_field_sep(line[i]))
            i++;
        if (i > start)
            out.push_back(line.substr(start, i - start));
    }
    return out;
}

void copy_name(char (&dst)[qelt_name_len], std::string_view src)
{
    src = src.substr(0, qelt_name_len - 1);
    if (!src.empty())
        std::memcpy(dst, src.data(), src.size());
    dst[src.size()] = '\0';
}

} // namespace

// The port number of a name: the digits after a three-character prefix such
// as "swp", up to the lane separator "s" (swp12s1 -> 12).
int qelt_port_sort_key(std::string_view name)
{
    if (name.size() <= 3)
        return 0;
    std::string_view rest = name.substr(3);
    return qelt_atoi(rest.substr(0, rest.find('s')));
}

void qelt_port_load(port_table &table, FILE *in)
{
    std::memset(&table, 0, sizeof table);
    char *line = nullptr;
    size_t cap = 0;
    ssize_t len;
    bool overflow = false;
    while ((len = getline(&line, &cap, in)) >= 0) {
        std::string_view text(line, std::min<size_t>(size_t(len), max_line));
        std::vector<std::string_view> f = fields(text);
        if (f.empty())
            continue;
        // Header, separator and empty lines have no non-zero number first.
        auto id = static_cast<uint32_t>(qelt_atoll(f[0]));
        if (id == 0)
            continue;
        if (table.count == qelt_max_ports) {
            overflow = true;
            continue;
        }
        port_entry &e = table.entries[table.count++];
        e.logical_id = id;
        copy_name(e.name, f.size() >= 3 ? f[2] : std::string_view());
    }
    std::free(line);
    if (overflow)
        syslog(LOG_WARNING, "qelt_port: more than %d ports in port table, only the first %d are kept", qelt_max_ports,
               qelt_max_ports);
    std::stable_sort(table.entries, table.entries + table.count, [](const port_entry &a, const port_entry &b) {
        return qelt_port_sort_key(a.name) < qelt_port_sort_key(b.name);
    });
}

void qelt_port_init(port_table &table)
{
    std::memset(&table, 0, sizeof table);
    FILE *in = popen(qelt_porquin_cmd, "r");
    if (!in) {
        syslog(LOG_ERR, "qelt_port init failed: could not run porquin\n");
        return;
    }
    qelt_port_load(table, in);
    // popen only fails when no shell can be started; a missing or failing
    // command shows in its exit status.
    if (pclose(in) != 0)
        syslog(LOG_ERR, "qelt_port init failed: could not run porquin\n");
}

// Resolves a comma-separated list of interface names to logical ids, in the
// order of the names' port numbers (ties in given order); "all" gives every
// port in table order. Returns the number of ids written.
int qelt_port_resolve(const port_table &table, std::string_view list, uint32_t *ids, int max_ids)
{
    int n = 0;
    if (list == "all") {
        for (int i = 0; i < table.count && n < max_ids; i++)
            ids[n++] = table.entries[i].logical_id;
        return n;
    }
    std::vector<std::string> names;
    for (std::string &name : qelt_split_list(list, qelt_max_ports))
        if (std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(std::move(name));
    std::stable_sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
        return qelt_port_sort_key(a) < qelt_port_sort_key(b);
    });
    for (const std::string &name : names) {
        const port_entry *found = nullptr;
        for (int i = 0; i < table.count && !found; i++)
            if (name == table.entries[i].name)
                found = &table.entries[i];
        if (!found) {
            syslog(LOG_ERR, "Port %s not found in port table", name.c_str());
            continue;
        }
        if (n < max_ids)
            ids[n++] = found->logical_id;
    }
    return n;
}

const char *qelt_port_name(const port_table &table, uint32_t logical_id)
{
    for (int i = 0; i < table.count; i++)
        if (table.entries[i].logical_id == logical_id)
            return table.entries[i].name;
    return "";
}
