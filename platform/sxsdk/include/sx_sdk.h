/* Switch SDK interface used by qelt: the calls, records and constants of the
 * bulk-counter (high-frequency telemetry) job and of the host-interface event
 * channel. Only what the tool uses is declared here. */
#ifndef SX_SDK_H
#define SX_SDK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define SX_API_EXPORT __attribute__((visibility("default")))
#else
#define SX_API_EXPORT
#endif

typedef int32_t sx_status_t;

enum {
    SX_STATUS_SUCCESS = 0,
    SX_STATUS_ERROR = 1,
    SX_STATUS_PARAM_ERROR = 2,
    SX_STATUS_NO_RESOURCES = 3,
    SX_STATUS_NO_MEMORY = 4,
    SX_STATUS_ENTRY_NOT_FOUND = 5,
    SX_STATUS_ENTRY_ALREADY_EXISTS = 6,
    SX_STATUS_RESOURCE_IN_USE = 7,
    SX_STATUS_INVALID_HANDLE = 8,
    SX_STATUS_CMD_UNSUPPORTED = 9,
    SX_STATUS_TIMEOUT = 10,
    SX_STATUS_LAST = 11,
};

typedef uint64_t sx_api_handle_t;
typedef uint32_t sx_port_log_id_t;
typedef uint8_t sx_swid_t;
typedef uint16_t sx_trap_id_t;

typedef int32_t sx_access_cmd_t;

enum {
    SX_ACCESS_CMD_CANCEL = 11,
    SX_ACCESS_CMD_CREATE = 12,
    SX_ACCESS_CMD_DESTROY = 13,
    SX_ACCESS_CMD_REGISTER = 19,
    SX_ACCESS_CMD_DEREGISTER = 20,
    SX_ACCESS_CMD_START = 31,
};

/* Bulk-counter kind of the high-frequency telemetry job. */
#define SX_BULK_CNTR_KEY_TYPE_HFT 10

/* Trap raised on the event channel when a bulk-counter transaction ends. */
#define SX_TRAP_ID_BULK_COUNTER_DONE_EVENT 1044

/* Port counter types of the HFT key. */
#define SX_HFT_PORT_CNTR_TX_OCTETS 0
#define SX_HFT_PORT_CNTR_RX_OCTETS 1
#define SX_HFT_PORT_CNTR_TC_CURR_OCCUPANCY 21

#define SX_HFT_MAX_PORT_CNTRS 8
#define SX_HFT_MAX_TCS 16
#define SX_HFT_MAX_PORTS 512

/* Read kinds of sx_api_bulk_counter_transaction_get on an HFT buffer. */
#define SX_BULK_CNTR_HFT_READ_TIME 1
#define SX_BULK_CNTR_HFT_READ_PORT 2

#define SX_USER_CHANNEL_TYPE_FD 0

typedef void (*sx_log_cb_t)(int severity, const char *module_name, char *msg);

typedef struct sx_fd {
    int fd;
    int valid;
} sx_fd_t;

typedef struct sx_user_channel {
    int32_t type; /* SX_USER_CHANNEL_TYPE_FD */
    sx_fd_t fd;
} sx_user_channel_t;

typedef struct sx_bulk_cntr_attr {
    int32_t type;            /* bulk-counter kind */
    uint32_t buffer_limit_mb; /* memory the SDK may give to buffers of this kind */
} sx_bulk_cntr_attr_t;

typedef struct sx_bulk_cntr_hft_key {
    uint32_t lead[3]; /* fixed leading values: 0, 1, 2 */
    uint32_t port_cntr_types[SX_HFT_MAX_PORT_CNTRS];
    uint32_t port_cntr_type_count;
    int32_t tcs[SX_HFT_MAX_TCS];
    uint32_t tc_count;
    sx_port_log_id_t ports[SX_HFT_MAX_PORTS];
    uint32_t port_count;
    uint32_t sample_count;
    uint32_t interval;
} sx_bulk_cntr_hft_key_t;

typedef struct sx_bulk_cntr_buffer_key {
    int32_t type;
    sx_bulk_cntr_hft_key_t hft;
} sx_bulk_cntr_buffer_key_t;

typedef struct sx_bulk_cntr_buffer {
    uint64_t cookie; /* the caller's marker, reported back in the completion event */
    uint32_t id;     /* filled by the SDK at creation */
    uint32_t size;   /* bytes, filled by the SDK at creation */
} sx_bulk_cntr_buffer_t;

typedef struct sx_bulk_cntr_read_key {
    int32_t type; /* bulk-counter kind */
    int32_t kind; /* SX_BULK_CNTR_HFT_READ_TIME or SX_BULK_CNTR_HFT_READ_PORT */
    uint32_t sample_index; /* from 1 */
    sx_port_log_id_t port; /* port reads only */
} sx_bulk_cntr_read_key_t;

typedef struct sx_bulk_cntr_data {
    uint32_t sec;
    uint32_t nsec;
    uint64_t tx_octets;
    uint64_t rx_octets;
    uint32_t tc_curr_occupancy[SX_HFT_MAX_TCS]; /* by position in the key's tc list */
} sx_bulk_cntr_data_t;

typedef struct sx_bulk_cntr_done_info {
    uint64_t cookie; /* marker of the buffer whose transaction ended */
    int32_t status;  /* 0 when the transaction completed */
} sx_bulk_cntr_done_info_t;

typedef struct sx_receive_info {
    sx_trap_id_t trap_id;
    sx_swid_t swid;
    uint32_t source_log_port;
    uint32_t packet_size;
    sx_bulk_cntr_done_info_t bulk_cntr_done;
} sx_receive_info_t;

/* libsxapi */
SX_API_EXPORT sx_status_t sx_api_open(sx_log_cb_t log_cb, sx_api_handle_t *handle);
SX_API_EXPORT sx_status_t sx_api_close(sx_api_handle_t *handle);
SX_API_EXPORT sx_status_t sx_api_bulk_counter_attr_get(sx_api_handle_t handle, sx_bulk_cntr_attr_t *attr);
SX_API_EXPORT sx_status_t sx_api_bulk_counter_attr_set(sx_api_handle_t handle, const sx_bulk_cntr_attr_t *attr);
SX_API_EXPORT sx_status_t sx_api_bulk_counter_buffer_set(sx_api_handle_t handle, sx_access_cmd_t cmd,
                                                         const sx_bulk_cntr_buffer_key_t *key,
                                                         sx_bulk_cntr_buffer_t *buffer);
SX_API_EXPORT sx_status_t sx_api_bulk_counter_transaction_set(sx_api_handle_t handle, sx_access_cmd_t cmd,
                                                              const sx_bulk_cntr_buffer_t *buffer);
SX_API_EXPORT sx_status_t sx_api_bulk_counter_transaction_get(sx_api_handle_t handle,
                                                              const sx_bulk_cntr_read_key_t *key,
                                                              const sx_bulk_cntr_buffer_t *buffer,
                                                              sx_bulk_cntr_data_t *data);
SX_API_EXPORT sx_status_t sx_api_host_ifc_open(sx_api_handle_t handle, sx_fd_t *fd);
SX_API_EXPORT sx_status_t sx_api_host_ifc_close(sx_api_handle_t handle, sx_fd_t *fd);
SX_API_EXPORT sx_status_t sx_api_host_ifc_trap_id_register_set(sx_api_handle_t handle, sx_access_cmd_t cmd,
                                                               sx_swid_t swid, sx_trap_id_t trap_id,
                                                               const sx_user_channel_t *user_channel);

/* libsxutils */
SX_API_EXPORT sx_status_t sx_lib_host_ifc_recv(const sx_fd_t *fd, void *packet, uint32_t *packet_size,
                                               sx_receive_info_t *receive_info);
SX_API_EXPORT const char *sx_status_str(sx_status_t status);

#ifdef __cplusplus
}
#endif

#endif
