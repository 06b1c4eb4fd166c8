/* State publish/subscribe service client: the calls the relay daemon makes, no more. */
#ifndef MESRA_H
#define MESRA_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct mesra;      /* one connection to the state service */
struct mesra_sub;  /* one subscription to a key's field */

/* Descriptor callbacks: the library asks its user to poll a descriptor for input (add) or to stop
 * polling it (remove), and calls mesra_dispatch when it is readable. The descriptor is the second
 * argument; the connection and the user pointer given to mesra_init are passed for completeness. */
typedef void (*mesra_fd_cb)(struct mesra *m, int fd, void *user);

struct mesra_fd_ops {
    mesra_fd_cb add_fd;
    mesra_fd_cb remove_fd;
};

/* Operations of a change record. */
enum {
    MESRA_OP_SET = 0,
    MESRA_OP_DELETE = 1,
    MESRA_OP_EXPIRE = 2,
};

/* One change of a watched key, handed to a subscription callback. The record and the bytes it points
 * at are valid only during the callback. */
struct mesra_change {
    const char *key;    /* key text, e.g. "frr_zebra" */
    const void *data;   /* encoded record (op MESRA_OP_SET), else NULL */
    size_t len;         /* bytes at data */
    uint64_t rev;       /* revision; counts up per event of the connection */
    const char *field;  /* field text, e.g. "state" */
    int op;             /* MESRA_OP_* */
};

typedef void (*mesra_change_cb)(const struct mesra_change *change, void *user);

/* Flags of mesra_subscribe. */
enum {
    /* Deliver the field's current value (op MESRA_OP_SET) at the next mesra_dispatch. */
    MESRA_SUB_CURRENT = 1,
};

/* Result codes besides 0 and -1. */
enum {
    MESRA_ERR_NOT_FOUND = 13, /* mesra_delete: the key did not exist */
};

/* Connects as the named service. address NULL: the default store. user is handed back to the
 * descriptor callbacks. Returns 0 and a connection in *out, or -1 (text by mesra_errstr(NULL)). */
int mesra_init(struct mesra **out, const char *address, const char *service, void *user,
               const struct mesra_fd_ops *ops);

/* The text of the connection's last error, or of the last failed mesra_init when m is NULL. */
const char *mesra_errstr(const struct mesra *m);

/* Announces the service's own state as up; ttl_ms is the announcement's lifetime hint. */
int mesra_publish_state_up(struct mesra *m, unsigned ttl_ms, const char *detail);

/* Watches key/field; cb runs from inside mesra_dispatch only. Returns 0 and *out, or -1. */
int mesra_subscribe(struct mesra_sub **out, struct mesra *m, const char *key, const char *field,
                    mesra_change_cb cb, void *user, int flags);

/* Sets key to the given bytes. flags must be 0. Returns 0 or -1. */
int mesra_publish(struct mesra *m, const char *key, const void *value, size_t len, int flags);

/* Removes key. Returns 0, MESRA_ERR_NOT_FOUND when it did not exist, or -1. */
int mesra_delete(struct mesra *m, const char *key);

/* Processes the pending events of the connection's descriptor and runs the callbacks. */
void mesra_dispatch(struct mesra *m);

void mesra_unsubscribe(struct mesra_sub *sub);

/* Closes the connection (calling remove_fd first) and frees the subscriptions left on it. */
void mesra_cleanup(struct mesra *m);

#ifdef __cplusplus
}
#endif

#endif
