// PLACEHOLDER: the lldpd client arrives with its own change; until then nothing is sent.
#include "tallowd.h"

int tallowd_lldp_init(daemon_config *cfg) { cfg->lldpd_next_attempt = time(nullptr); return 0; }
void tallowd_lldp_cleanup(daemon_config *cfg) { lldpd_disconnect(cfg); }
void lldpd_connect(daemon_config *) {}
void lldpd_disconnect(daemon_config *cfg) { cfg->lldpd_fd.reset(); cfg->lldpd_connected = false; }
void tallowd_lldp_push_periodic(daemon_config *, vrf_context *, bool) {}
void tallowd_lldp_push_immediate(daemon_config *, vrf_context *, const uint8_t *, uint16_t) {}
void tallowd_lldp_clear_interface(daemon_config *, uint32_t) {}
void tallowd_lldp_flush_interface(daemon_config *, uint32_t) {}
int send_proxy_frames(daemon_config *, uint32_t, const blob_set *, bool) { return -1; }
int send_proxy_immediate(daemon_config *, uint32_t, const uint8_t *, uint16_t) { return -1; }
