// Entry points shared by the two stand-in libraries: libsxutils forwards its
// receive call to the simulated job that lives in libsxapi.
#pragma once

#include "sx_sdk.h"

extern "C" SX_API_EXPORT sx_status_t sx_sim_host_ifc_recv(const sx_fd_t *fd, void *packet, uint32_t *packet_size,
                                                          sx_receive_info_t *receive_info);
