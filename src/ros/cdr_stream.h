// The two halves of writing a ROS 2 CDR message into one buffer: CdrSizer
// walks a message and counts its bytes, CdrWriter walks it again and writes
// them. A message is described once, as a function template over the stream,
// so the size and the bytes can never disagree about padding.
//
// The encoding is plain little-endian CDR as ROS 2 middlewares put it on the
// wire: a 4-byte encapsulation header (00 01 00 00), then every primitive
// aligned to its own size counted from the byte after that header, strings as
// a uint32 length that includes the terminating NUL, sequences as a uint32
// element count followed by the elements, fixed-size arrays without a count.
// Padding bytes are zero. Nothing follows the last member.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace Quorvan {
namespace ros {

constexpr std::size_t kEncapsulationSize = 4;

// The host's bytes are the wire's bytes only on a little-endian host; every
// platform this library builds for is one.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the CDR writer copies samples as they are and needs a little-endian host");

class CdrSizer {
public:
    void align(std::size_t size) { offset_ = (offset_ + size - 1) & ~(size - 1); }
    void writeUint8(uint8_t) { ++offset_; }
    void writeBool(bool) { ++offset_; }
    void writeUint32(uint32_t) { advance(4); }
    void writeInt32(int32_t) { advance(4); }
    void writeFloat64(double) { advance(8); }
    void writeFloat64Array(const double*, std::size_t count) {
        if (count > 0) {
            align(8);
            offset_ += 8 * count;
        }
    }
    void writeString(std::string_view text) {
        writeUint32(0);
        offset_ += text.size() + 1;
    }
    // A uint8[] whose count is written now and whose bytes the caller fills
    // in through the returned pointer (null here: nothing is written).
    uint8_t* reserveByteSequence(std::size_t count) {
        writeUint32(0);
        offset_ += count;
        return nullptr;
    }
    void writeByteSequence(const void*, std::size_t count) { reserveByteSequence(count); }

    // The whole message, encapsulation header included.
    std::size_t size() const { return kEncapsulationSize + offset_; }

private:
    void advance(std::size_t size) {
        align(size);
        offset_ += size;
    }

    std::size_t offset_ = 0;  // from the byte after the encapsulation header
};

// Writes into a buffer sized by CdrSizer. Every write is still checked
// against the capacity: a stream that would run past it stops writing and
// reports failed(), so a sizing mistake costs a status, not memory.
class CdrWriter {
public:
    CdrWriter(uint8_t* buffer, std::size_t capacity) : buffer_(buffer), capacity_(capacity) {
        static constexpr uint8_t kHeader[kEncapsulationSize] = {0x00, 0x01, 0x00, 0x00};
        if (capacity_ < kEncapsulationSize) {
            failed_ = true;
            return;
        }
        std::memcpy(buffer_, kHeader, kEncapsulationSize);
        buffer_ += kEncapsulationSize;
        capacity_ -= kEncapsulationSize;
    }

    void align(std::size_t size) {
        const std::size_t padding = ((offset_ + size - 1) & ~(size - 1)) - offset_;
        if (padding == 0)
            return;
        if (uint8_t* at = claim(padding))
            std::memset(at, 0, padding);
    }
    void writeUint8(uint8_t value) { put(&value, 1); }
    void writeBool(bool value) { writeUint8(value ? 1 : 0); }
    void writeUint32(uint32_t value) { putAligned(&value, 4); }
    void writeInt32(int32_t value) { putAligned(&value, 4); }
    void writeFloat64(double value) { putAligned(&value, 8); }
    void writeFloat64Array(const double* values, std::size_t count) {
        if (count > 0) {
            align(8);
            put(values, 8 * count);
        }
    }
    void writeString(std::string_view text) {
        writeUint32(static_cast<uint32_t>(text.size() + 1));
        put(text.data(), text.size());
        writeUint8(0);
    }
    uint8_t* reserveByteSequence(std::size_t count) {
        writeUint32(static_cast<uint32_t>(count));
        return claim(count);
    }
    void writeByteSequence(const void* bytes, std::size_t count) {
        if (uint8_t* target = reserveByteSequence(count); target != nullptr && count > 0)
            std::memcpy(target, bytes, count);
    }

    bool failed() const { return failed_; }
    std::size_t size() const { return kEncapsulationSize + offset_; }

private:
    // The next `count` bytes of the buffer, or null (and failed) past its end.
    uint8_t* claim(std::size_t count) {
        if (failed_ || count > capacity_ - offset_) {
            failed_ = true;
            return nullptr;
        }
        uint8_t* at = buffer_ + offset_;
        offset_ += count;
        return at;
    }
    void put(const void* bytes, std::size_t count) {
        if (uint8_t* target = claim(count); target != nullptr && count > 0)
            std::memcpy(target, bytes, count);
    }
    void putAligned(const void* bytes, std::size_t size) {
        align(size);
        put(bytes, size);
    }

    uint8_t* buffer_;
    std::size_t capacity_;
    std::size_t offset_ = 0;  // from the byte after the encapsulation header
    bool failed_ = false;
};

}  // namespace ros
}  // namespace Quorvan
