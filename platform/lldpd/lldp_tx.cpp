// Sending the blobs as LLDP frames. Each interface's current set is the blobs of the latest type-11
// request for it: one LLDPDU per blob, sent at once and then every interval, with a TTL of four
// intervals. An immediate blob goes out once. A clear (a type-11 request without blobs), a flush (an
// immediate blob that is a control TLV alone) and the stop send one frame with TTL 0, which tells
// the hosts to forget this neighbour at once.
//
// Frame: destination 01:80:c2:00:00:0e, source and chassis ID the interface's MAC address, port ID
// its name, TTL, the blob's TLVs, End. The LLDPDU never exceeds the link's MTU; frames shorter than
// the Ethernet minimum are padded with zeros after the End TLV.
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "bytes.h"
#include "standin.h"

namespace {

constexpr uint8_t lldp_multicast[6] = {0x01, 0x80, 0xC2, 0x00, 0x00, 0x0E};
constexpr uint16_t ethertype_lldp = 0x88CC;
constexpr size_t eth_min_len = 60;  // without the frame check sequence
constexpr unsigned tlv_end = 0, tlv_chassis_id = 1, tlv_port_id = 2, tlv_ttl = 3;
constexpr uint8_t chassis_subtype_mac = 4, port_subtype_ifname = 5;
constexpr uint64_t ns_per_s = 1000000000u;

struct link_info {
    char name[IF_NAMESIZE] = "";
    uint8_t mac[6] = {};
    unsigned mtu = 0;
};

// The interface's name, MAC address and MTU as the kernel has them now.
int read_link(int fd, uint32_t ifindex, link_info &li)
{
    ifreq ifr{};
    ifr.ifr_ifindex = int(ifindex);
    if (ioctl(fd, SIOCGIFNAME, &ifr) != 0)
        return -1;
    std::memcpy(li.name, ifr.ifr_name, IF_NAMESIZE);
    li.name[IF_NAMESIZE - 1] = 0;
    if (ioctl(fd, SIOCGIFHWADDR, &ifr) != 0)
        return -1;
    std::memcpy(li.mac, ifr.ifr_hwaddr.sa_data, 6);
    if (ioctl(fd, SIOCGIFMTU, &ifr) != 0)
        return -1;
    li.mtu = unsigned(ifr.ifr_mtu);
    return 0;
}

// Chassis ID, port ID, TTL and End around `blob_len` bytes of blob.
size_t lldpdu_len(const link_info &li, size_t blob_len)
{
    return (2 + 1 + 6) + (2 + 1 + std::strlen(li.name)) + (2 + 2) + blob_len + 2;
}

void put_tlv_header(std::vector<uint8_t> &f, unsigned type, size_t len)
{
    f.push_back(uint8_t(type << 1 | (len >> 8 & 1)));
    f.push_back(uint8_t(len));
}

void build_frame(std::vector<uint8_t> &f, const link_info &li, uint16_t ttl, std::span<const uint8_t> blob)
{
    size_t name_len = std::strlen(li.name);
    f.clear();
    f.insert(f.end(), lldp_multicast, lldp_multicast + 6);
    f.insert(f.end(), li.mac, li.mac + 6);
    f.push_back(uint8_t(ethertype_lldp >> 8));
    f.push_back(uint8_t(ethertype_lldp));
    put_tlv_header(f, tlv_chassis_id, 1 + 6);
    f.push_back(chassis_subtype_mac);
    f.insert(f.end(), li.mac, li.mac + 6);
    put_tlv_header(f, tlv_port_id, 1 + name_len);
    f.push_back(port_subtype_ifname);
    f.insert(f.end(), li.name, li.name + name_len);
    put_tlv_header(f, tlv_ttl, 2);
    f.push_back(uint8_t(ttl >> 8));
    f.push_back(uint8_t(ttl));
    f.insert(f.end(), blob.begin(), blob.end());
    put_tlv_header(f, tlv_end, 0);
    if (f.size() < eth_min_len)
        f.resize(eth_min_len, 0);
}

// Sends tx.frame; -1 with errno on failure.
int send_frame(transmitter &tx, uint32_t ifindex)
{
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_protocol = htons(ethertype_lldp);
    to.sll_ifindex = int(ifindex);
    to.sll_halen = 6;
    std::memcpy(to.sll_addr, lldp_multicast, 6);
    ssize_t w;
    do {
        w = sendto(tx.fd.get(), tx.frame.data(), tx.frame.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    } while (w < 0 && errno == EINTR);
    if (w != ssize_t(tx.frame.size())) {
        if (w >= 0)
            errno = EMSGSIZE;
        tx.st.send_errors++;
        return -1;
    }
    tx.st.frames++;
    return 0;
}

void say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void say(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    fflush(stdout);
}

uint16_t ttl_of(const transmitter &tx)
{
    return uint16_t(4 * tx.interval_s);
}

tx_interface &find_interface(transmitter &tx, uint32_t ifindex)
{
    for (tx_interface &in : tx.intfs)
        if (in.ifindex == ifindex)
            return in;
    tx.intfs.push_back({});
    tx.intfs.back().ifindex = ifindex;
    return tx.intfs.back();
}

// The counts of one transmission of a set.
struct set_result {
    unsigned sent = 0, dropped = 0, too_big = 0, failed = 0;
    int error = 0;
};

// Sends one frame per blob of the interface's set. `fresh`: the set has just arrived, so blobs too
// large for the link are logged and counted now (once per set, not at every repetition).
void transmit_set(transmitter &tx, tx_interface &in, bool fresh)
{
    link_info li;
    if (read_link(tx.fd.get(), in.ifindex, li) != 0) {
        if (fresh)
            say("tx: ifindex=%u: %s, set not sent\n", in.ifindex, strerror(errno));
        return;
    }
    bool dropping = tx.drop_frame && in.sets >= tx.drop_from_set;
    uint64_t start = now_ns();
    set_result r;
    for (size_t i = 0; i < in.blobs.size(); i++) {
        const std::vector<uint8_t> &blob = in.blobs[i];
        if (lldpdu_len(li, blob.size()) > li.mtu) {
            r.too_big++;
            if (fresh) {
                tx.st.too_big++;
                say("tx: ifindex=%u %s: blob %zu of %zu (%zu bytes) does not fit MTU %u, not sent\n", in.ifindex, li.name,
                    i + 1, in.blobs.size(), blob.size(), li.mtu);
            }
        } else if (dropping && i + 1 == tx.drop_frame) {
            r.dropped++;
            tx.st.dropped++;
        } else {
            build_frame(tx.frame, li, ttl_of(tx), blob);
            if (send_frame(tx, in.ifindex) == 0)
                r.sent++;
            else if (!r.failed++)
                r.error = errno;
        }
    }
    in.announced |= r.sent > 0;
    if (r.failed)
        say("tx: ifindex=%u %s: %u of %zu frames not sent: %s\n", in.ifindex, li.name, r.failed, in.blobs.size(),
            strerror(r.error));
    if (tx.verbosity > 0)
        say("tx: ifindex=%u %s set=%llu frames=%u/%zu dropped=%u too_big=%u ttl=%u us=%llu\n", in.ifindex, li.name,
            (unsigned long long)in.sets, r.sent, in.blobs.size(), r.dropped, r.too_big, ttl_of(tx),
            (unsigned long long)((now_ns() - start) / 1000));
}

// Sends one frame with TTL 0 and forgets the interface's set.
void forget(transmitter &tx, tx_interface &in, const char *why)
{
    in.blobs.clear();
    in.next_ns = 0;
    in.announced = false;
    link_info li;
    if (read_link(tx.fd.get(), in.ifindex, li) != 0) {
        say("tx: ifindex=%u: %s, no TTL 0 frame (%s)\n", in.ifindex, strerror(errno), why);
        return;
    }
    build_frame(tx.frame, li, 0, {});
    if (send_frame(tx, in.ifindex) != 0) {
        say("tx: ifindex=%u %s: TTL 0 frame (%s) not sent: %s\n", in.ifindex, li.name, why, strerror(errno));
        return;
    }
    tx.st.ttl0++;
    if (tx.verbosity > 0)
        say("tx: ifindex=%u %s %s ttl=0\n", in.ifindex, li.name, why);
}

void transmit_immediate(transmitter &tx, tx_interface &in, std::span<const uint8_t> blob)
{
    link_info li;
    if (read_link(tx.fd.get(), in.ifindex, li) != 0) {
        say("tx: ifindex=%u: %s, immediate blob not sent\n", in.ifindex, strerror(errno));
        return;
    }
    if (lldpdu_len(li, blob.size()) > li.mtu) {
        tx.st.too_big_immediate++;
        say("tx: ifindex=%u %s: immediate blob (%zu bytes) does not fit MTU %u, not sent\n", in.ifindex, li.name,
            blob.size(), li.mtu);
        return;
    }
    build_frame(tx.frame, li, ttl_of(tx), blob);
    if (send_frame(tx, in.ifindex) != 0) {
        say("tx: ifindex=%u %s: immediate frame not sent: %s\n", in.ifindex, li.name, strerror(errno));
        return;
    }
    in.announced = true;
    if (tx.verbosity > 0)
        say("tx: ifindex=%u %s immediate bytes=%zu ttl=%u\n", in.ifindex, li.name, blob.size(), ttl_of(tx));
}

// The flush blob: a control TLV alone.
bool is_flush(std::span<const uint8_t> blob)
{
    return blob.size() == 7 && get_be16(blob, 0) == (127u << 9 | 5) && std::memcmp(blob.data() + 2, frame_oui, 3) == 0 &&
           blob[5] == 0;
}

// The length-prefixed blobs of a type-11 payload; -1 when a length runs past the payload.
int split_blobs(std::span<const uint8_t> payload, std::vector<std::vector<uint8_t>> &out)
{
    size_t off = 0;
    while (off < payload.size()) {
        if (off + 2 > payload.size())
            return -1;
        size_t len = get_be16(payload, off);
        if (off + 2 + len > payload.size())
            return -1;
        std::span<const uint8_t> b = payload.subspan(off + 2, len);
        out.emplace_back(b.begin(), b.end());
        off += 2 + len;
    }
    return 0;
}

}  // namespace

int tx_open(transmitter &tx, const options &o)
{
    // Protocol 0: the socket only sends, nothing is queued to it.
    tx.fd.reset(socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0));
    if (!tx.fd) {
        fprintf(stderr, "lldpd-standin: packet socket: %s\n", strerror(errno));
        return -1;
    }
    tx.interval_s = o.tx_interval;
    tx.drop_frame = o.drop_frame;
    tx.drop_from_set = o.drop_from_set;
    tx.verbosity = o.verbosity;
    return 0;
}

void tx_handle_request(transmitter &tx, uint32_t type, std::span<const uint8_t> req)
{
    std::span<const uint8_t> payload = req.subspan(envelope_len + header_len);
    tx_interface &in = find_interface(tx, get_be32(req.subspan(envelope_len, header_len), 0));
    if (type == type_immediate) {
        if (is_flush(payload))
            forget(tx, in, "flush");
        else
            transmit_immediate(tx, in, payload);
        return;
    }
    if (type != type_proxy_frames)
        return;
    std::vector<std::vector<uint8_t>> blobs;
    if (split_blobs(payload, blobs) != 0) {
        say("tx: ifindex=%u: malformed blob list, set unchanged\n", in.ifindex);
        return;
    }
    if (blobs.empty()) {
        forget(tx, in, "clear");
        return;
    }
    in.blobs = std::move(blobs);
    in.sets++;
    transmit_set(tx, in, true);
    in.next_ns = now_ns() + tx.interval_s * ns_per_s;
}

int tx_timeout_ms(const transmitter &tx, uint64_t now, int longest)
{
    uint64_t wait_ns = uint64_t(longest) * 1000000u;
    for (const tx_interface &in : tx.intfs)
        if (in.next_ns)
            wait_ns = std::min(wait_ns, in.next_ns > now ? in.next_ns - now : 0);
    return int((wait_ns + 999999) / 1000000);
}

void tx_run_timers(transmitter &tx, uint64_t now)
{
    for (tx_interface &in : tx.intfs) {
        if (!in.next_ns || in.next_ns > now)
            continue;
        transmit_set(tx, in, false);
        in.next_ns += tx.interval_s * ns_per_s;
        if (in.next_ns <= now)
            in.next_ns = now + tx.interval_s * ns_per_s;
    }
}

void tx_stop(transmitter &tx)
{
    if (!tx.fd)
        return;
    for (tx_interface &in : tx.intfs)
        if (in.announced)
            forget(tx, in, "stop");
}
