// PLACEHOLDER: the proxy frame builder arrives with its own change.
#include "tallowd.h"

uint16_t read_mtu(uint32_t, const char *) { return 0; }
uint16_t get_vrf_mtu(vrf_context *, uint16_t d) { return d; }
int build_blobs(vrf_context *, uint16_t) { return -1; }
int build_defaults_blob(vrf_context *) { return -1; }
int build_immediate(const prefix_entry *const *, uint16_t, malloc_ptr<uint8_t> &, uint16_t &) { return -1; }
void encode_tlv_header(uint8_t *, unsigned, unsigned) {}
int encode_header_tlv(uint8_t *, bool, bool, bool) { return 0; }
int encode_prefix_tlv(uint8_t *, const prefix_entry *) { return 0; }
int prefix_tlv_size(const prefix_entry *) { return 0; }
int blobs_reserve(blob_set *, uint16_t, uint16_t) { return -1; }
void blobs_free(blob_set *set) { *set = blob_set{}; }
