// libsxutils stand-in: status texts and the event receive call.
#include "sim_internal.h"

extern "C" {

sx_status_t sx_lib_host_ifc_recv(const sx_fd_t *fd, void *packet, uint32_t *packet_size,
                                 sx_receive_info_t *receive_info)
{
    return sx_sim_host_ifc_recv(fd, packet, packet_size, receive_info);
}

const char *sx_status_str(sx_status_t status)
{
    static const char *const texts[SX_STATUS_LAST] = {
        "Success",
        "Internal Error",
        "Parameter Error",
        "No More Resources",
        "Memory Error",
        "Entry Not Found",
        "Entry Already Exists",
        "Resource Is In Use",
        "Invalid Handle",
        "Command Unsupported",
        "Timeout",
    };
    if (status < 0 || status >= SX_STATUS_LAST)
        return "Unknown Return Code";
    return texts[status];
}

}
