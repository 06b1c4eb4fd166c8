// Number conversion and list splitting shared by the command line and the port table.
#include <climits>

#include "qelt.h"

// Like the C atoi (leading blanks, a sign, decimal digits; 0 without digits)
// but saturating instead of overflowing.
int64_t qelt_atoll(std::string_view text)
{
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        i++;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    uint64_t v = 0;
    constexpr uint64_t cap = uint64_t(INT64_MAX) + 1;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++) {
        if (v < cap)
            v = v * 10 + uint64_t(text[i] - '0'); // at most 10 * 2^63 + 9: fits
        if (v > cap)
            v = cap;
    }
    if (negative)
        return v >= cap ? INT64_MIN : -int64_t(v);
    return v >= cap ? INT64_MAX : int64_t(v);
}

int32_t qelt_atoi(std::string_view text)
{
    int64_t v = qelt_atoll(text);
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return int32_t(v);
}

// Splits at commas, drops empty items, cuts each item to 31 characters and
// keeps at most max_items.
std::vector<std::string> qelt_split_list(std::string_view text, size_t max_items)
{
    std::vector<std::string> items;
    while (items.size() < max_items) {
        size_t comma = text.find(',');
        std::string_view item = text.substr(0, comma);
        if (!item.empty())
            items.emplace_back(item.substr(0, qelt_name_len - 1));
        if (comma == std::string_view::npos)
            break;
        text.remove_prefix(comma + 1);
    }
    return items;
}
