// PLACEHOLDER: the service-state integration arrives with its own change; until then the daemon runs
// without service state.
#include "tallowd.h"

void tallowd_mesra_init(daemon_config *cfg) { cfg->mesra_fd = -1; }
void tallowd_mesra_cleanup(daemon_config *cfg) { cfg->mesra_fd = -1; }
void tallowd_mesra_dispatch(daemon_config *) {}
