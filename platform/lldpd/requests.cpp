// Cutting complete requests out of a connection's stream, acknowledging them (or not, in the fault
// modes), handing them to the transmitter and reporting them.
//
// The acknowledgement is sent as soon as a request is complete, before it is decoded or printed,
// so the stand-in adds as little as possible to what the sender measures.
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "standin.h"

namespace {

constexpr uint64_t max_request = 256u << 20;  // anything larger is a broken stream

// 16 bytes: the request type, then the first word of the request header.
bool send_ack(int fd, const uint8_t *req)
{
    uint8_t ack[16] = {};
    std::memcpy(ack, req, 4);
    std::memcpy(ack + 4, req + envelope_len + 4, 4);
    ssize_t w;
    do {
        w = send(fd, ack, sizeof ack, MSG_NOSIGNAL);
    } while (w < 0 && errno == EINTR);
    return w == ssize_t(sizeof ack);
}

// Moves the unconsumed bytes to the front and grows the buffer so that `total` bytes fit.
void make_room(connection &c, size_t total)
{
    if (c.buf.size() - c.start >= total)
        return;
    std::memmove(c.buf.data(), c.buf.data() + c.start, c.end - c.start);
    c.end -= c.start;
    c.start = 0;
    if (c.buf.size() < total)
        c.buf.resize(total + read_chunk);
}

// Handles one complete request; false when the connection is to be closed.
bool handle(standin &s, connection &c, std::span<const uint8_t> req)
{
    uint64_t t_ns = now_ns();
    uint64_t n = ++s.st.requests;
    s.st.bytes += req.size();
    if (!s.st.first_ns)
        s.st.first_ns = t_ns;
    if (s.opt.close_at && n == s.opt.close_at) {
        report(s, c, req, n, t_ns, "close");
        return false;
    }
    bool answer = !(s.opt.no_ack_from && n >= s.opt.no_ack_from);
    if (answer) {
        bool sent = send_ack(c.fd.get(), req.data());
        s.st.last_ack_ns = now_ns();
        s.st.acks++;
        if (!sent) {
            report(s, c, req, n, t_ns, "ack-failed");
            return false;
        }
        // Only what was acknowledged goes on the wire: an lldpd that does not answer is stuck.
        if (s.opt.tx_interval) {
            uint32_t type;
            std::memcpy(&type, req.data(), 4);
            tx_handle_request(s.tx, type, req);
        }
    }
    report(s, c, req, n, t_ns, answer ? "ack" : "no-ack");
    return true;
}

}  // namespace

// Handles every complete request in the connection's buffer. Returns false when the connection is
// to be closed.
bool process(standin &s, connection &c)
{
    while (c.end - c.start >= envelope_len) {
        const uint8_t *p = c.buf.data() + c.start;
        uint64_t length;
        std::memcpy(&length, p + 8, 8);
        if (length < header_len || length > max_request) {
            printf("conn=%u bad envelope length %llu, closing\n", c.id, (unsigned long long)length);
            fflush(stdout);
            return false;
        }
        size_t total = envelope_len + size_t(length);
        if (c.end - c.start < total) {
            make_room(c, total);
            return true;
        }
        if (!handle(s, c, std::span<const uint8_t>(p, total)))
            return false;
        c.start += total;
    }
    if (c.start == c.end)
        c.start = c.end = 0;
    return true;
}

void connection_reserve(connection &c)
{
    if (c.buf.size() - c.end < read_chunk / 4 && c.start > 0) {
        std::memmove(c.buf.data(), c.buf.data() + c.start, c.end - c.start);
        c.end -= c.start;
        c.start = 0;
    }
    if (c.buf.size() - c.end < read_chunk / 4)
        c.buf.resize(c.buf.size() + read_chunk);
}
