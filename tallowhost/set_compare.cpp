// A set compared with the neighbour's previous one as its frames come. A switch builds its frames in
// the same order each time, appending what is new and closing up what is gone, so a set that changed
// little repeats the previous one's TLVs byte for byte, at most shifted: a frame equal to the
// previous set's bytes at the place reached costs a comparison of memory, and only the TLVs that
// differ are decoded. The result is exact whatever the order: every TLV of the new set is either
// matched to an equal TLV of the previous one or decoded as gained, and every TLV of the previous set
// either matched or decoded as lost.

#include "tallowhost.h"

namespace {

// A run of up to this many TLVs of the previous set gone at one place is found as such; a longer run
// costs its TLVs decoded on both sides, which is still exact.
constexpr unsigned max_skipped = 8;
// Bytes that must agree after a skip for it to be taken (or what is left of the frame, if less).
constexpr size_t resync_bytes = 64;
// After this many TLVs of a frame in a row found nowhere near, the rest of the frame is taken as new
// without searching: a set that changed everywhere costs little more than one read whole.
constexpr unsigned max_misses = 16;

size_t common_length(const uint8_t *a, const uint8_t *b, size_t n)
{
    size_t i = 0;
    while (i + 64 <= n && std::memcmp(a + i, b + i, 64) == 0)
        i += 64;
    while (i < n && a[i] == b[i])
        i++;
    return i;
}

void decode_members(std::span<const uint8_t> tlvs, std::vector<host_prefix> &out)
{
    static std::vector<frame_prefix> decoded;  // the agent has one thread; kept for its room
    decoded.clear();
    tallowhost_decode_body(tlvs, decoded);
    for (const frame_prefix &fp : decoded)
        if (!fp.withdrawn)
            out.push_back(fp.prefix);
}

}  // namespace

void tallowhost_compare_body(neighbour &nb, std::span<const uint8_t> body)
{
    const std::span<const uint8_t> old(nb.set_bytes);
    size_t b = 0, c = nb.matched;
    unsigned misses = 0;
    while (b < body.size()) {
        const size_t n = std::min(body.size() - b, old.size() - c);
        if (n == body.size() - b && std::memcmp(body.data() + b, old.data() + c, n) == 0) {
            c += n;
            break;
        }
        // Whole TLVs equal at both places are passed; the first that differs is looked at.
        const size_t same = common_length(body.data() + b, old.data() + c, n);
        size_t passed = 0;
        for (size_t t; passed < same && (t = tallowhost_tlv_size(body, b + passed)) <= same - passed;)
            passed += t;
        b += passed;
        c += passed;
        if (b == body.size())
            break;
        // Some of the previous set's TLVs gone here: the frame goes on as the previous set does
        // further on.
        const size_t want = std::min(resync_bytes, body.size() - b);
        size_t skip = c;
        bool found = false;
        for (unsigned k = 0; k < max_skipped && skip < old.size() && !found; k++) {
            skip += tallowhost_tlv_size(old, skip);
            // The TLV headers and OUIs are alike: the prefix bytes tell first.
            found = old.size() - skip >= want && body[b + want - 1] == old[skip + want - 1] &&
                    std::memcmp(body.data() + b, old.data() + skip, want) == 0;
        }
        if (found) {
            decode_members(old.subspan(c, skip - c), nb.lost);
            c = skip;
            misses = 0;
            continue;
        }
        const size_t t = ++misses < max_misses ? tallowhost_tlv_size(body, b) : body.size() - b;
        decode_members(body.subspan(b, t), nb.gained);
        b += t;
    }
    nb.matched = c;
    nb.partial_bytes.insert(nb.partial_bytes.end(), body.begin(), body.end());
}

void tallowhost_compare_rest(neighbour &nb)
{
    decode_members(std::span<const uint8_t>(nb.set_bytes).subspan(nb.matched), nb.lost);
    nb.matched = nb.set_bytes.size();
}

// Whether a compared set declares p: gained, or in the previous set and not lost. Asked before the
// set changes anything.
bool tallowhost_compared_word(const neighbour &nb, const host_prefix &p)
{
    if (std::binary_search(nb.gained.begin(), nb.gained.end(), p))
        return true;
    const bool in_last = nb.declared.count(p) != nb.off_set.count(p);
    return in_last && !std::binary_search(nb.lost.begin(), nb.lost.end(), p);
}

// The size of a compared set, and whether each of its prefixes came once; `gained` and `lost` are
// sorted and unique by then.
size_t tallowhost_compared_size(const neighbour &nb, size_t gained_tlvs, bool &unique)
{
    unique = gained_tlvs == nb.gained.size();
    size_t size = nb.set_members - nb.lost.size();
    for (const host_prefix &p : nb.gained) {
        const bool kept = nb.declared.count(p) != nb.off_set.count(p) &&
                          !std::binary_search(nb.lost.begin(), nb.lost.end(), p);
        if (kept)
            unique = false;  // also at a place where it was not lost
        else
            size++;
    }
    return size;
}
