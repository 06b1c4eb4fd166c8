// Builders of LLDP frames for the agent's unit tests and fuzz seeds.
#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tallowhost.h"

namespace test_frames {

using bytes = std::vector<uint8_t>;

inline bytes tlv(unsigned type, const bytes &value)
{
    bytes out{uint8_t(type << 1 | value.size() >> 8), uint8_t(value.size())};
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

inline bytes control(uint8_t flags)
{
    return tlv(127, {0x5A, 0x3C, 0x71, 0, flags});
}

// "10.1.0.0/16" or "2001:db8::/32"; plen overrides the length written.
inline bytes prefix(const std::string &text, bool withdrawn = false, int plen = -1)
{
    size_t slash = text.find('/');
    std::string addr = text.substr(0, slash);
    int len = plen >= 0 ? plen : std::stoi(text.substr(slash + 1));
    uint8_t raw[16] = {};
    bool v4 = inet_pton(AF_INET, addr.c_str(), raw) == 1;
    if (!v4)
        inet_pton(AF_INET6, addr.c_str(), raw);
    bytes v{0x5A, 0x3C, 0x71, uint8_t(v4 ? 1 : 2), uint8_t(len), 0, uint8_t(withdrawn ? 0x80 : 0)};
    v.insert(v.end(), raw, raw + (v4 ? 4 : 16));
    return tlv(127, v);
}

inline bytes cat(std::initializer_list<bytes> parts)
{
    bytes out;
    for (const bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A whole frame: Ethernet header, chassis ID (MAC), port ID (name), TTL, the body TLVs, End.
inline bytes frame(const bytes &body, uint16_t ttl = 120, uint8_t chassis_last = 1, const std::string &port = "swp1")
{
    bytes mac{0x02, 0, 0, 0, 0x0A, chassis_last};
    bytes port_id{5};
    port_id.insert(port_id.end(), port.begin(), port.end());
    bytes out{0x01, 0x80, 0xC2, 0x00, 0x00, 0x0E};
    out.insert(out.end(), mac.begin(), mac.end());
    out.push_back(0x88);
    out.push_back(0xCC);
    bytes chassis{4};
    chassis.insert(chassis.end(), mac.begin(), mac.end());
    return cat({out, tlv(1, chassis), tlv(2, port_id), tlv(3, {uint8_t(ttl >> 8), uint8_t(ttl)}), body, tlv(0, {})});
}

inline host_prefix pfx(const std::string &text)
{
    parsed_frame f;
    tallowhost_parse_frame(frame(cat({control(0x80), prefix(text)})), f);
    return f.prefixes.at(0).prefix;
}

}  // namespace test_frames
