// Record codec of the directory store: a state record is the state value in ASCII decimal with an
// optional trailing newline; an ACK record is the text "source=<source> kind=<kind>".

#include "numo_msgs.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#define NUMO_API extern "C" __attribute__((visibility("default")))

namespace {

bool plain_word(const char *s)
{
    if (!s || !*s || s[0] == '.')
        return false;
    for (const char *p = s; *p; p++)
        if (*p == '/' || *p == '=' || *p == ' ' || *p == '\n' || *p == '\t')
            return false;
    return true;
}

}  // namespace

NUMO_API uint8_t *proto_common_ack_pack(const char *source, int kind, size_t *out_len)
{
    if (!plain_word(source) || kind <= 0 || !out_len)
        return nullptr;
    int n = snprintf(nullptr, 0, "source=%s kind=%d", source, kind);
    if (n <= 0)
        return nullptr;
    char *text = static_cast<char *>(malloc(size_t(n) + 1));
    if (!text)
        return nullptr;
    snprintf(text, size_t(n) + 1, "source=%s kind=%d", source, kind);
    *out_len = size_t(n);
    return reinterpret_cast<uint8_t *>(text);
}

NUMO_API int proto_common_ack_key(const char *service, char *buf, size_t size)
{
    if (!plain_word(service) || !buf || size == 0)
        return -1;
    int n = snprintf(buf, size, "%s.ack", service);
    if (n < 0 || size_t(n) >= size) {
        buf[0] = '\0';
        return -1;
    }
    return 0;
}

NUMO_API int proto_common_state_decode(const void *data, size_t len, int *value)
{
    if (!data || !value)
        return -1;
    const char *p = static_cast<const char *>(data);
    if (len > 0 && p[len - 1] == '\n')
        len--;
    if (len == 0 || len > 9)  // at most nine digits: always fits an int
        return -1;
    int v = 0;
    for (size_t i = 0; i < len; i++) {
        if (p[i] < '0' || p[i] > '9')
            return -1;
        v = v * 10 + (p[i] - '0');
    }
    *value = v;
    return 0;
}

NUMO_API const char *proto_common_state_value_to_str(int value)
{
    switch (value) {
    case PROTO_COMMON_STATE_UP:
        return "UP";
    case PROTO_COMMON_STATE_DOWN:
        return "DOWN";
    default:
        return "UNKNOWN";
    }
}
