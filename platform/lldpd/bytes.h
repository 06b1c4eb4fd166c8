// Bounds-checked big-endian reads over spans: a read past the end gives 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

inline uint16_t get_be16(std::span<const uint8_t> s, size_t off)
{
    return off + 2 <= s.size() ? uint16_t(s[off] << 8 | s[off + 1]) : 0;
}

inline uint32_t get_be32(std::span<const uint8_t> s, size_t off)
{
    return off + 4 <= s.size()
               ? uint32_t(s[off]) << 24 | uint32_t(s[off + 1]) << 16 | uint32_t(s[off + 2]) << 8 | s[off + 3]
               : 0;
}
