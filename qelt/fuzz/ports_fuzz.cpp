// Fuzz target: arbitrary output of "porquin ports info" through the port
// table load, then port lists resolved against the table and ids named.
//
// Input layout: the command's output, optionally followed by a NUL byte and
// a --port list to resolve.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <syslog.h>
#include <vector>

#include "qelt.h"

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

void load(port_table &table, std::string_view text)
{
    // A copy of exactly the input's size, so that a read past it is seen.
    std::vector<char> buf(text.begin(), text.end());
    FILE *in = buf.empty() ? nullptr : fmemopen(buf.data(), buf.size(), "r");
    if (!in) {
        std::memset(&table, 0, sizeof table);
        return;
    }
    qelt_port_load(table, in);
    std::fclose(in);
}

void check_table(const port_table &t)
{
    check(t.count >= 0 && t.count <= qelt_max_ports);
    for (int i = 0; i < t.count; i++) {
        const port_entry &e = t.entries[i];
        check(e.logical_id != 0);
        const void *end = std::memchr(e.name, '\0', sizeof e.name);
        check(end != nullptr);
        std::string_view name(e.name);
        check(name.find_first_of(" \t\r\n") == std::string_view::npos);
        if (i > 0)
            check(qelt_port_sort_key(t.entries[i - 1].name) <= qelt_port_sort_key(name));
    }
}

// The table's ids, sorted for look-up.
std::vector<uint32_t> ids_of(const port_table &t)
{
    std::vector<uint32_t> ids;
    for (int i = 0; i < t.count; i++)
        ids.push_back(t.entries[i].logical_id);
    std::sort(ids.begin(), ids.end());
    return ids;
}

void check_resolve(const port_table &t, const std::vector<uint32_t> &known, std::string_view list, int max_ids)
{
    std::vector<uint32_t> ids(size_t(max_ids) + 1, 0xdeadbeef);
    int n = qelt_port_resolve(t, list, ids.data(), max_ids);
    check(n >= 0 && n <= max_ids);
    check(ids[size_t(max_ids)] == 0xdeadbeef);
    if (list == "all") {
        check(n == std::min(t.count, max_ids));
        for (int i = 0; i < n; i++)
            check(ids[size_t(i)] == t.entries[i].logical_id);
        return;
    }
    for (int i = 0; i < n; i++) {
        check(std::binary_search(known.begin(), known.end(), ids[size_t(i)]));
        check(std::strlen(qelt_port_name(t, ids[size_t(i)])) < qelt_name_len);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = (setlogmask(LOG_MASK(LOG_EMERG)), true); // the parser's warnings go nowhere
    (void)quiet;
    std::string_view input(reinterpret_cast<const char *>(data), size);
    size_t nul = input.find('\0');
    std::string_view text = input.substr(0, nul);

    static port_table table;
    load(table, text);
    check_table(table);
    const std::vector<uint32_t> known = ids_of(table);
    check_resolve(table, known, "all", qelt_max_ports);
    check_resolve(table, known, "all", 2);
    if (nul != std::string_view::npos) {
        // The list as the command line hands it over: a C string.
        std::string list(input.substr(nul + 1));
        list.resize(std::strlen(list.c_str()));
        check_resolve(table, known, list, qelt_max_ports);
        check_resolve(table, known, list, 2);
    }
    qelt_port_name(table, 0);
    return 0;
}
