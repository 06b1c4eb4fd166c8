// Printing each request decoded (one line on stdout) and recording it as one JSON line, and the
// summary line.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstdarg>
#include <cstring>
#include <string>

#include "bytes.h"
#include "standin.h"

namespace {

// Output buffers: text for stdout, JSON for the record file.
struct out_buf {
    std::string s;
    void add(const char *fmt, ...) __attribute__((format(printf, 2, 3)))
    {
        char tmp[512];
        va_list ap;
        va_start(ap, fmt);
        int n = vsnprintf(tmp, sizeof tmp, fmt, ap);
        va_end(ap);
        if (n > 0)
            s.append(tmp, size_t(n) < sizeof tmp ? size_t(n) : sizeof tmp - 1);
    }
    void add_str(const char *p) { s.append(p); }
};

// What one request is reported to: either buffer may be absent.
struct sinks {
    out_buf *text;
    out_buf *json;
    bool decode;     // blobs are decoded (for the text at verbosity 2, or for the record)
    bool text_blobs; // the text line lists the blobs' TLVs
};

std::string flag_names(uint8_t f)
{
    std::string r;
    auto add = [&](const char *n) {
        if (!r.empty())
            r += '|';
        r += n;
    };
    if (f & 0x80)
        add("FIRST");
    if (f & 0x40)
        add("MORE");
    if (f & 0x01)
        add("PERIODIC");
    if (f & 0x3E)
        add("?");
    return r.empty() ? std::string("-") : r;
}

// One prefix TLV's value (our OUI, subtype 1 or 2).
void decode_prefix(std::span<const uint8_t> v, unsigned subtype, const char *sep, out_buf *text, out_buf *json)
{
    char addr[INET6_ADDRSTRLEN] = "";
    inet_ntop(subtype == 1 ? AF_INET : AF_INET6, v.data() + 7, addr, sizeof addr);
    unsigned plen = v[4];
    bool w = v[6] & 0x80;
    if (text) {
        text->add(" %s/%u%s", addr, plen, w ? "[W]" : "");
        if (v[5] || (v[6] & 0x7F))
            text->add("{res=%u,flags=0x%02x}", v[5], v[6]);
    }
    if (json)
        json->add("%s{\"prefix\":\"%s/%u\",\"afi\":%u,\"plen\":%u,\"w\":%s,\"flags\":%u,\"reserved\":%u}", sep, addr, plen,
                  subtype == 1 ? 4u : 6u, plen, w ? "true" : "false", v[6], v[5]);
}

// Decodes one blob into the text line and the JSON record.
void decode_blob(std::span<const uint8_t> blob, out_buf *text, out_buf *json)
{
    if (json)
        json->add_str("{\"tlvs\":[");
    size_t off = 0;
    const char *sep = "";
    while (off < blob.size()) {
        if (off + 2 > blob.size()) {
            if (text)
                text->add(" trailing-byte@%zu", off);
            if (json)
                json->add("%s{\"error\":\"trailing byte\",\"offset\":%zu}", sep, off);
            break;
        }
        uint16_t word = get_be16(blob, off);
        unsigned type = word >> 9, len = word & 0x1FF;
        if (off + 2 + len > blob.size()) {
            if (text)
                text->add(" truncated-tlv@%zu(type=%u,len=%u)", off, type, len);
            if (json)
                json->add("%s{\"error\":\"truncated\",\"offset\":%zu,\"type\":%u,\"len\":%u}", sep, off, type, len);
            break;
        }
        std::span<const uint8_t> v = blob.subspan(off + 2, len);
        bool ours = type == 127 && len >= 4 && std::memcmp(v.data(), frame_oui, 3) == 0;
        unsigned subtype = ours ? v[3] : 256;
        if (ours && subtype == 0 && len == 5) {
            if (text)
                text->add(" ctl=0x%02x(%s)", v[4], flag_names(v[4]).c_str());
            if (json)
                json->add("%s{\"ctl\":%u}", sep, v[4]);
        } else if (ours && ((subtype == 1 && len == 11) || (subtype == 2 && len == 23))) {
            decode_prefix(v, subtype, sep, text, json);
        } else {
            if (text)
                text->add(" tlv(type=%u,len=%u,subtype=%d)", type, len, ours ? int(subtype) : -1);
            if (json)
                json->add("%s{\"type\":%u,\"len\":%u}", sep, type, len);
        }
        sep = ",";
        off += 2 + len;
    }
    if (json)
        json->add_str("]}");
}

// The length-prefixed blobs of a type-11 payload.
void report_blob_list(const sinks &k, std::span<const uint8_t> payload, uint16_t count)
{
    size_t off = 0;
    unsigned i = 0;
    while (off < payload.size()) {
        if (off + 2 > payload.size()) {
            if (k.text)
                k.text->add(" trailing-byte");
            break;
        }
        uint16_t blen = get_be16(payload, off);
        if (off + 2 + blen > payload.size()) {
            if (k.text)
                k.text->add(" blob[%u]=truncated(len=%u)", i, blen);
            break;
        }
        if (k.decode) {
            if (k.text)
                k.text->add(k.text_blobs ? " blob[%u]{len=%u" : " blob[%u]{len=%u}", i, blen);
            if (k.json && i)
                k.json->add_str(",");
            decode_blob(payload.subspan(off + 2, blen), k.text_blobs ? k.text : nullptr, k.json);
            if (k.text && k.text_blobs)
                k.text->add("}");
        }
        off += 2 + size_t(blen);
        i++;
    }
    if (k.text && i != count)
        k.text->add(" blobs_in_payload=%u", i);
    if (k.json)
        k.json->add("],\"blobs_in_payload\":%u", i);
}

void report_proxy_frames(const sinks &k, std::span<const uint8_t> hdr, std::span<const uint8_t> payload)
{
    uint32_t seq = get_be32(hdr, 4);
    uint16_t count = get_be16(hdr, 8), reserved = get_be16(hdr, 10), count2 = get_be16(hdr, 12),
             flags = get_be16(hdr, 14);
    if (k.text) {
        k.text->add(" seq=%u flags=0x%04x blobs=%u", seq, flags, count);
        if (count2 != count || reserved)
            k.text->add(" count2=%u reserved=%u", count2, reserved);
    }
    if (k.json)
        k.json->add(",\"seq\":%u,\"flags\":%u,\"blob_count\":%u,\"reserved\":%u,\"blob_count2\":%u,\"blobs\":[", seq,
                    flags, count, reserved, count2);
    report_blob_list(k, payload, count);
}

void report_immediate(const sinks &k, std::span<const uint8_t> hdr, std::span<const uint8_t> payload)
{
    if (k.text) {
        bool nonzero = false;
        for (size_t i = 4; i < header_len; i++)
            nonzero |= hdr[i] != 0;
        if (nonzero)
            k.text->add(" header_tail_nonzero");
        k.text->add(k.text_blobs ? " blob{len=%zu" : " blob{len=%zu}", payload.size());
    }
    if (k.json)
        k.json->add_str(",\"blob\":");
    if (k.decode)
        decode_blob(payload, k.text_blobs ? k.text : nullptr, k.json);
    if (k.text && k.text_blobs)
        k.text->add("}");
}

void append_hex(std::string &s, std::span<const uint8_t> bytes)
{
    static const char digits[] = "0123456789abcdef";
    size_t at = s.size();
    s.resize(at + bytes.size() * 2);
    for (uint8_t b : bytes) {
        s[at++] = digits[b >> 4];
        s[at++] = digits[b & 15];
    }
}

void write_out(const std::string &s, FILE *f)
{
    fwrite(s.data(), 1, s.size(), f);
    fflush(f);
}

}  // namespace

// Decodes and reports one complete request (envelope included).
void report(standin &s, const connection &c, std::span<const uint8_t> req, uint64_t n, uint64_t t_ns,
            const char *action)
{
    if (s.opt.verbosity == 0 && !s.record)
        return;
    uint32_t type, zero;
    uint64_t length;
    std::memcpy(&type, req.data(), 4);
    std::memcpy(&zero, req.data() + 4, 4);
    std::memcpy(&length, req.data() + 8, 8);
    std::span<const uint8_t> hdr = req.subspan(envelope_len, header_len);
    std::span<const uint8_t> payload = req.subspan(envelope_len + header_len);
    uint32_t ifindex = get_be32(hdr, 0);

    out_buf text, json;
    sinks k{s.opt.verbosity > 0 ? &text : nullptr, s.record ? &json : nullptr, false, s.opt.verbosity > 1};
    k.decode = k.text_blobs || k.json;
    if (k.text) {
        text.add("req=%llu conn=%u type=%u ifindex=%u", (unsigned long long)n, c.id, type, ifindex);
        if (zero)
            text.add(" envelope_word=%u", zero);
    }
    if (k.json)
        json.add("{\"n\":%llu,\"conn\":%u,\"t_ns\":%llu,\"action\":\"%s\",\"type\":%u,\"envelope_zero\":%u,"
                 "\"length\":%llu,\"ifindex\":%u",
                 (unsigned long long)n, c.id, (unsigned long long)t_ns, action, type, zero, (unsigned long long)length,
                 ifindex);
    if (type == type_proxy_frames)
        report_proxy_frames(k, hdr, payload);
    else if (type == type_immediate)
        report_immediate(k, hdr, payload);
    else if (k.text)
        text.add(" unknown-type payload=%zu", payload.size());
    if (k.text) {
        if (std::strcmp(action, "ack") != 0)
            text.add(" action=%s", action);
        text.add_str("\n");
        write_out(text.s, stdout);
    }
    if (k.json) {
        json.add_str(",\"hex\":\"");
        append_hex(json.s, req);
        json.add_str("\"}\n");
        write_out(json.s, s.record.get());
    }
}

void print_summary(const standin &s)
{
    printf("summary requests=%llu bytes=%llu acks=%llu first_ns=%llu last_ack_ns=%llu", (unsigned long long)s.st.requests,
           (unsigned long long)s.st.bytes, (unsigned long long)s.st.acks, (unsigned long long)s.st.first_ns,
           (unsigned long long)s.st.last_ack_ns);
    if (s.opt.tx_interval) {
        const tx_stats &t = s.tx.st;
        printf(" frames=%llu ttl0=%llu dropped=%llu too_big=%llu too_big_immediate=%llu send_errors=%llu",
               (unsigned long long)t.frames, (unsigned long long)t.ttl0, (unsigned long long)t.dropped,
               (unsigned long long)t.too_big, (unsigned long long)t.too_big_immediate,
               (unsigned long long)t.send_errors);
    }
    printf("\n");
    fflush(stdout);
}
