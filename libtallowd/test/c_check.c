/* Both public headers compile as strict C11, and a C program links and runs against the library. */
#include "tallowd.h"
#include "tallowd_proto.h"

#include <stdio.h>
#include <string.h>

static int failures;

static void check(int ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "failed: %s\n", what);
        failures++;
    }
}

int main(void)
{
    tallowd_handle h;
    tallowd_prefix p;
    tallowd_msg_hdr hdr = {TALLOWD_SYNC_BEGIN_LEN, TALLOWD_MSG_SYNC_BEGIN, 0, 5, 0};
    uint8_t buf[TALLOWD_SYNC_BEGIN_LEN];
    uint32_t epoch = 0;

    check(tallowd_init(&h, "/nonexistent/tallowd-c-check.sock") == TALLOWD_OK, "init");
    check(h.fd == -1 && h.connected == 0, "init state");
    check(tallowd_connect(&h) == TALLOWD_ERR_CONN && h.last_errno != 0, "connect without daemon");
    memset(&p, 0, sizeof p);
    check(tallowd_prefix_update(&h, 0, 0, &p, 0) == TALLOWD_ERR_INVAL, "count 0 refused");
    check(tallowd_warmboot_start(&h) == TALLOWD_ERR_CONN, "send while disconnected");
    check(strcmp(tallowd_strerror(TALLOWD_ERR_FULL), "Socket full") == 0, "strerror");
    tallowd_disconnect(&h);

    check(tallowd_msg_hdr_put(buf, sizeof buf, &hdr) == 0, "hdr put");
    check(tallowd_put_be32(buf, sizeof buf, TALLOWD_OFF_EPOCH, 7) == 0, "epoch put");
    check(tallowd_put_be32(buf, sizeof buf, 13, 7) == -1, "put past the end refused");
    check(tallowd_get_be32(buf, sizeof buf, TALLOWD_OFF_EPOCH, &epoch) == 0 && epoch == 7, "epoch get");
    check(buf[0] == 0x00 && buf[1] == 0x10 && buf[2] == 0x03 && buf[7] == 0x05, "header bytes");

    if (failures == 0)
        puts("ok");
    return failures ? 1 : 0;
}
