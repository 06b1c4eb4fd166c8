// Frame parser: what a well-formed frame yields, and every kind of refused frame.

#include <gtest/gtest.h>

#include "test_frames.h"

namespace {

using namespace test_frames;

TEST(frame_parse, well_formed_frames)
{
    struct row {
        const char *name;
        bytes body;
        uint8_t flags;
        std::vector<std::string> prefixes;  // text as kept (masked); a leading '-' when withdrawn
    };
    const std::vector<row> rows = {
        {"control only", control(0x81), 0x81, {}},
        {"set, host bits cleared", cat({control(0xC1), prefix("10.1.2.7/24"), prefix("2001:db8::1/32")}), 0xC1,
         {"10.1.2.0/24", "2001:db8::/32"}},
        {"delta with a withdrawal", cat({control(0x80), prefix("0.0.0.0/0"), prefix("::/0", true)}), 0x80,
         {"0.0.0.0/0", "-::/0"}},
        {"full-length prefixes", cat({control(0x01), prefix("192.0.2.1/32"), prefix("2001:db8::1/128")}), 0x01,
         {"192.0.2.1/32", "2001:db8::1/128"}},
        {"foreign TLVs around", cat({tlv(5, {'h', 'o', 's', 't'}), control(0x41), tlv(127, {0, 0x12, 0x0F, 1, 2}),
                                     prefix("10.0.0.0/8")}),
         0x41, {"10.0.0.0/8"}},
    };
    for (const row &r : rows) {
        parsed_frame f;
        ASSERT_EQ(tallowhost_parse_frame(frame(r.body, 90, 7, "Ethernet4"), f), frame_error::none) << r.name;
        EXPECT_TRUE(f.has_control) << r.name;
        EXPECT_EQ(f.flags, r.flags) << r.name;
        EXPECT_EQ(f.ttl, 90) << r.name;
        EXPECT_EQ(id_text(f.chassis_id), "02:00:00:00:0a:07") << r.name;
        EXPECT_EQ(id_text(f.port_id), "Ethernet4") << r.name;
        std::vector<std::string> got;
        for (const frame_prefix &p : f.prefixes)
            got.push_back((p.withdrawn ? "-" : "") + prefix_text(p.prefix));
        EXPECT_EQ(got, r.prefixes) << r.name;
    }
}

TEST(frame_parse, plain_lldp_and_padding)
{
    parsed_frame f;
    bytes padded = frame({});
    padded.resize(padded.size() + 20, 0xEE);  // bytes after End
    ASSERT_EQ(tallowhost_parse_frame(padded, f), frame_error::none);
    EXPECT_FALSE(f.has_control);
    bytes no_end = frame(cat({control(0x81), prefix("10.0.0.0/8")}));
    no_end.erase(no_end.end() - 2, no_end.end());  // drop End
    ASSERT_EQ(tallowhost_parse_frame(no_end, f), frame_error::none);
    EXPECT_EQ(f.prefixes.size(), 1u);
}

TEST(frame_parse, refused_frames)
{
    const bytes good = frame(cat({control(0x81), prefix("10.0.0.0/8")}));
    auto cut = [&](size_t drop) { return bytes(good.begin(), good.end() - long(drop)); };
    auto with_byte = [&](size_t at, uint8_t v) {
        bytes b = good;
        b.at(at) = v;
        return b;
    };
    // Offsets in `good`: 14 chassis TLV, 23 port ID, 30 TTL, 34 control, 41 prefix TLV (flags at 49).
    struct row {
        const char *name;
        bytes frame;
        frame_error want;
    };
    bytes not_multicast = with_byte(0, 0x02);
    bytes other_type = with_byte(13, 0xCD);
    const std::vector<row> rows = {
        {"empty", {}, frame_error::too_short},
        {"header only, cut", bytes(good.begin(), good.begin() + 10), frame_error::too_short},
        {"unicast destination", not_multicast, frame_error::not_lldp},
        {"other EtherType", other_type, frame_error::not_lldp},
        {"no TLVs", bytes(good.begin(), good.begin() + 14), frame_error::missing_mandatory},
        {"prefix TLV cut short", cut(5), frame_error::truncated_tlv},
        {"one byte of a TLV header", cut(14), frame_error::truncated_tlv},
        {"chassis length past the end", with_byte(15, 0xFF), frame_error::truncated_tlv},
        {"port ID first",
         cat({bytes(good.begin(), good.begin() + 14), tlv(2, {5, 'x'}), tlv(1, {4, 1, 2, 3, 4, 5, 6}), tlv(3, {0, 9})}),
         frame_error::missing_mandatory},
        {"chassis ID too short", cat({bytes(good.begin(), good.begin() + 14), tlv(1, {4}), tlv(2, {5, 'x'}),
                                      tlv(3, {0, 9})}),
         frame_error::bad_mandatory},
        {"TTL of one byte", cat({bytes(good.begin(), good.begin() + 14), tlv(1, {4, 1}), tlv(2, {5, 'x'}),
                                 tlv(3, {9})}),
         frame_error::bad_mandatory},
        {"unknown subtype", frame(cat({control(0x81), tlv(127, {0x5A, 0x3C, 0x71, 3, 0})})),
         frame_error::unknown_subtype},
        {"short relay TLV", frame(cat({control(0x81), tlv(127, {0x5A, 0x3C, 0x71, 1, 8, 0, 0, 10})})),
         frame_error::bad_tlv_length},
        {"long control TLV", frame(tlv(127, {0x5A, 0x3C, 0x71, 0, 0x81, 0})), frame_error::bad_tlv_length},
        {"unknown control flag", frame(control(0x83)), frame_error::unknown_flags},
        {"delta with MORE", frame(control(0xC0)), frame_error::unknown_flags},
        {"delta without FIRST", frame(control(0x00)), frame_error::unknown_flags},
        {"unknown prefix flag", with_byte(49, 0x40), frame_error::unknown_flags},
        {"reserved byte set", with_byte(48, 1), frame_error::unknown_flags},
        {"IPv4 length 33", frame(cat({control(0x81), prefix("10.0.0.0/8", false, 33)})),
         frame_error::bad_prefix_length},
        {"IPv6 length 129", frame(cat({control(0x81), prefix("2001:db8::/32", false, 129)})),
         frame_error::bad_prefix_length},
        {"prefix before control", frame(cat({prefix("10.0.0.0/8"), control(0x81)})), frame_error::control_misplaced},
        {"two controls", frame(cat({control(0x81), control(0x81)})), frame_error::control_misplaced},
    };
    for (const row &r : rows) {
        parsed_frame f;
        EXPECT_EQ(tallowhost_parse_frame(r.frame, f), r.want) << r.name << ": " << frame_reason_text(r.want);
    }
}

}  // namespace
