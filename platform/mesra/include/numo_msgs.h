/* Codec of the state service's records: the calls the relay daemon makes, no more. */
#ifndef NUMO_MSGS_H
#define NUMO_MSGS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* State values. */
enum {
    PROTO_COMMON_STATE_UP = 1,
    PROTO_COMMON_STATE_DOWN = 2,
};

/* ACK kinds. */
enum {
    PROTO_COMMON_ACK_STATE_UP = 1,
};

/* Encodes an ACK record from source for the given kind. Returns a buffer the caller frees with
 * free() and its length in *out_len, or NULL. */
uint8_t *proto_common_ack_pack(const char *source, int kind, size_t *out_len);

/* Writes the key under which ACKs for service are published into buf (size bytes, terminated).
 * Returns 0, or -1 when it does not fit or service is not a valid key. */
int proto_common_ack_key(const char *service, char *buf, size_t size);

/* Decodes a state record into *value. Returns 0, or -1 for a malformed record. */
int proto_common_state_decode(const void *data, size_t len, int *value);

/* Display text of a state value; never NULL. */
const char *proto_common_state_value_to_str(int value);

#ifdef __cplusplus
}
#endif

#endif
