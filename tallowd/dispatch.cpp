// PLACEHOLDER: message handling arrives with its own change; until then messages are only counted.
#include "tallowd.h"

void ipc_dispatch(daemon_config *cfg, const uint8_t *, size_t) { cfg->msgs_received++; }
void handle_prefix_update(daemon_config *, vrf_context *, const uint8_t *, size_t) {}
void handle_sync_begin(daemon_config *, vrf_context *, const uint8_t *, size_t) {}
void handle_sync_end(daemon_config *, vrf_context *, const uint8_t *, size_t) {}
void handle_intf_set(daemon_config *, vrf_context *, const uint8_t *, size_t) {}
