// PLACEHOLDER: the prefix database arrives with its own change; until then nothing is stored.
#include "tallowd.h"

struct prefix_pool {};
void prefix_pool_deleter::operator()(prefix_pool *p) const { delete p; }

unsigned prefix_hash(uint8_t, const uint8_t *, uint8_t) { return 0; }
prefix_entry *lookup(prefix_db *, uint8_t, const uint8_t *, uint8_t) { return nullptr; }
int add_or_update(prefix_db *, uint8_t, const uint8_t *, uint8_t, uint8_t, uint32_t) { return -1; }
int remove(prefix_db *, uint8_t, const uint8_t *, uint8_t) { return -1; }
int sweep_stale(prefix_db *, uint32_t) { return 0; }
int remove_non_defaults(prefix_db *) { return 0; }
void clear(prefix_db *) {}
bool only_defaults(const prefix_db *) { return false; }
vrf_context *vrf_find(daemon_config *, uint32_t) { return nullptr; }
vrf_context *vrf_lookup_or_create(daemon_config *, uint32_t) { return nullptr; }
void vrf_remove(daemon_config *, vrf_context *) {}
void vrf_remove_all(daemon_config *cfg) { cfg->vrfs.clear(); }
bool any_defaults_present(daemon_config *) { return false; }
void controlled_frr_down(daemon_config *) {}
void inject_defaults(daemon_config *) {}
