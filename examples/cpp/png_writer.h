// A tiny dependency-free PNG writer for 8-bit grey or RGB pictures. The
// image data goes into stored (uncompressed) deflate blocks, so files are
// large but any viewer opens them.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace png {

inline uint32_t crc32(const uint8_t* data, size_t size, uint32_t crc = 0) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> entries{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            entries[n] = c;
        }
        return entries;
    }();
    crc = ~crc;
    for (size_t i = 0; i < size; ++i)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

inline uint32_t adler32(const uint8_t* data, size_t size) {
    uint32_t a = 1;
    uint32_t b = 0;
    for (size_t i = 0; i < size; ++i) {
        a = (a + data[i]) % 65521;
        b = (b + a) % 65521;
    }
    return (b << 16) | a;
}

namespace detail {

inline void putBigEndian(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

inline void putChunk(std::vector<uint8_t>& out, const char* type,
                     const std::vector<uint8_t>& payload) {
    putBigEndian(out, static_cast<uint32_t>(payload.size()));
    const size_t type_at = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), payload.begin(), payload.end());
    putBigEndian(out, crc32(out.data() + type_at, payload.size() + 4));
}

}  // namespace detail

// channels: 1 (grey) or 3 (RGB); pixels row-major, width x height x channels.
inline std::vector<uint8_t> encode(uint32_t width, uint32_t height, int channels,
                                   const uint8_t* pixels) {
    std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

    std::vector<uint8_t> header;
    detail::putBigEndian(header, width);
    detail::putBigEndian(header, height);
    header.push_back(8);                      // bits per channel
    header.push_back(channels == 3 ? 2 : 0);  // colour type: RGB or grey
    header.push_back(0);                      // deflate
    header.push_back(0);                      // adaptive filtering
    header.push_back(0);                      // no interlace
    detail::putChunk(out, "IHDR", header);

    // Each row is preceded by its filter type (0: none).
    const size_t row_bytes = static_cast<size_t>(width) * channels;
    std::vector<uint8_t> raw;
    raw.reserve((row_bytes + 1) * height);
    for (uint32_t row = 0; row < height; ++row) {
        raw.push_back(0);
        raw.insert(raw.end(), pixels + row * row_bytes, pixels + (row + 1) * row_bytes);
    }

    std::vector<uint8_t> zlib = {0x78, 0x01};
    size_t position = 0;
    do {
        const size_t block = std::min<size_t>(65535, raw.size() - position);
        const bool last = position + block == raw.size();
        zlib.push_back(last ? 1 : 0);
        zlib.push_back(static_cast<uint8_t>(block & 0xFF));
        zlib.push_back(static_cast<uint8_t>(block >> 8));
        zlib.push_back(static_cast<uint8_t>(~block & 0xFF));
        zlib.push_back(static_cast<uint8_t>((~block >> 8) & 0xFF));
        zlib.insert(zlib.end(), raw.begin() + position, raw.begin() + position + block);
        position += block;
    } while (position < raw.size());
    detail::putBigEndian(zlib, adler32(raw.data(), raw.size()));
    detail::putChunk(out, "IDAT", zlib);
    detail::putChunk(out, "IEND", {});
    return out;
}

inline bool write(const std::string& path, uint32_t width, uint32_t height, int channels,
                  const uint8_t* pixels) {
    const std::vector<uint8_t> bytes = encode(width, height, channels, pixels);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

}  // namespace png
