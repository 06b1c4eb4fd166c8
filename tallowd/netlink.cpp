// PLACEHOLDER: the link MTU monitor arrives with its own change; until then MTUs are not watched.
#include "tallowd.h"

int netlink_init(daemon_config *) { return -1; }
void netlink_read(daemon_config *) {}
void netlink_cleanup(daemon_config *cfg) { cfg->netlink_fd.reset(); }
