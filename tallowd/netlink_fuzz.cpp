// Fuzz target: one route netlink datagram, as the kernel would deliver it, through the datagram walk
// and handle_newlink, against VRFs whose interfaces, prefixes and built-for MTU come from the input.
//
// Input layout: [VRF count - 1 (bits 0-1) | lldpd connected (bit 2)][VRFs, see setup_vrfs][datagram].

#include <vector>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    daemon_config *cfg = fuzz_support::sink_daemon();
    fuzz_support::input in{data, size};
    uint8_t flags = in.u8();
    fuzz_support::setup_vrfs(cfg, in, (flags & 3) + 1);
    cfg->lldpd_connected = flags & 4;

    std::vector<size_t> counts;
    for (const auto &vrf : cfg->vrfs)
        counts.push_back(vrf->db.count);

    // The datagram is copied to a buffer of its exact size, so that a read past its end is caught.
    std::vector<uint8_t> datagram(in.data, in.data + in.size);
    netlink_handle_datagram(cfg, datagram.data(), datagram.size());

    // Link notifications rebuild frames; they never change what a VRF holds.
    for (size_t i = 0; i < cfg->vrfs.size(); i++)
        if (cfg->vrfs[i]->db.count != counts[i])
            __builtin_trap();
    fuzz_support::check_invariants(cfg);
    fuzz_support::reset(cfg);
    return 0;
}
