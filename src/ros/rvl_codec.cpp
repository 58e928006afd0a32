#include "ros/rvl_codec.h"

namespace Quorvan {
namespace ros {

namespace {

constexpr int kNibblesPerWord = 8;

// Signed differences become small unsigned numbers: 0, -1, 1, -2, ... map to
// 0, 1, 2, 3, ...
uint32_t zigzag(int32_t delta) {
    const uint32_t sign = delta < 0 ? 0xffffffffu : 0u;
    return (static_cast<uint32_t>(delta) << 1) ^ sign;
}

int32_t unzigzag(uint32_t folded) {
    return static_cast<int32_t>(folded >> 1) ^ -static_cast<int32_t>(folded & 1u);
}

// The nibbles of a number, the first to be written most significant.
struct NibbleCode {
    uint32_t nibbles = 0;
    uint32_t count = 0;
};

constexpr NibbleCode nibbleCode(uint32_t value) {
    NibbleCode code;
    do {
        uint32_t group = value & 0x7u;
        value >>= 3;
        if (value != 0)
            group |= 0x8u;
        code.nibbles = (code.nibbles << 4) | group;
        ++code.count;
    } while (value != 0);
    return code;
}

// The codes of all numbers of up to four groups (12 bits): run lengths and
// the steps of real depth almost always fit, so the per-pixel work is one
// lookup and one shift instead of a loop with a branch per group.
constexpr uint32_t kTabulated = 1u << 12;
struct NibbleTable {
    constexpr NibbleTable() {
        for (uint32_t value = 0; value < kTabulated; ++value)
            codes[value] = nibbleCode(value);
    }
    NibbleCode codes[kTabulated];
};
constexpr NibbleTable kNibbleTable;

// Counts the nibbles a stream would take, without writing it.
class NibbleCounter {
public:
    void writeNumber(uint32_t value) {
        if (value < kTabulated) {
            nibbles_ += kNibbleTable.codes[value].count;
            return;
        }
        const int bits = 32 - __builtin_clz(value);
        nibbles_ += static_cast<std::size_t>((bits + 2) / 3);
    }
    std::size_t bytes() const { return (nibbles_ + kNibblesPerWord - 1) / kNibblesPerWord * 4; }

private:
    std::size_t nibbles_ = 0;
};

class NibblePacker {
public:
    explicit NibblePacker(uint8_t* out) : out_(out) {}

    void writeNumber(uint32_t value) {
        if (value < kTabulated) {
            append(kNibbleTable.codes[value]);
            return;
        }
        // Four groups at a time keep the pending nibbles within 64 bits.
        while (value >= kTabulated) {
            uint32_t groups = 0;
            for (int group = 0; group < 4; ++group)
                groups = (groups << 4) | ((value >> (3 * group)) & 0x7u) | 0x8u;
            append({groups, 4});
            value >>= 12;
        }
        append(kNibbleTable.codes[value]);
    }

    // Pads the last word with zero nibbles; returns the bytes written.
    std::size_t finish() {
        if (pending_ > 0) {
            storeWord(static_cast<uint32_t>(pending_nibbles_ << 4 * (kNibblesPerWord - pending_)));
            pending_ = 0;
        }
        return written_;
    }

private:
    void append(NibbleCode code) {
        pending_nibbles_ = (pending_nibbles_ << 4 * code.count) | code.nibbles;
        pending_ += static_cast<int>(code.count);
        if (pending_ >= kNibblesPerWord) {
            pending_ -= kNibblesPerWord;
            storeWord(static_cast<uint32_t>(pending_nibbles_ >> 4 * pending_));
        }
    }

    void storeWord(uint32_t word) {
        uint8_t* at = out_ + written_;
        at[0] = static_cast<uint8_t>(word);
        at[1] = static_cast<uint8_t>(word >> 8);
        at[2] = static_cast<uint8_t>(word >> 16);
        at[3] = static_cast<uint8_t>(word >> 24);
        written_ += 4;
    }

    uint8_t* out_;
    std::size_t written_ = 0;
    // The last nibbles not yet in a word are the low 4 * pending_ bits.
    uint64_t pending_nibbles_ = 0;
    int pending_ = 0;
};

class NibbleReader {
public:
    NibbleReader(const uint8_t* stream, std::size_t size) : stream_(stream), size_(size) {}

    RvlStatus readNumber(uint32_t* value) {
        uint64_t number = 0;
        for (int shift = 0;; shift += 3) {
            // Eleven groups hold 33 bits; a longer number is no encoder's output.
            if (shift > 30)
                return RvlStatus::Corrupt;
            if (nibbles_ == 0 && !loadWord())
                return RvlStatus::Truncated;
            const uint32_t nibble = word_ >> 28;
            word_ <<= 4;
            --nibbles_;
            number |= uint64_t{nibble & 0x7u} << shift;
            if ((nibble & 0x8u) == 0)
                break;
        }
        if (number > 0xffffffffu)
            return RvlStatus::Corrupt;
        *value = static_cast<uint32_t>(number);
        return RvlStatus::Ok;
    }

private:
    bool loadWord() {
        if (size_ - read_ < 4)
            return false;
        const uint8_t* at = stream_ + read_;
        word_ =
            uint32_t{at[0]} | uint32_t{at[1]} << 8 | uint32_t{at[2]} << 16 | uint32_t{at[3]} << 24;
        read_ += 4;
        nibbles_ = kNibblesPerWord;
        return true;
    }

    const uint8_t* stream_;
    std::size_t size_;
    std::size_t read_ = 0;
    uint32_t word_ = 0;
    int nibbles_ = 0;
};

// The one description of the stream, for counting and for writing alike.
template <class Sink>
void writeRuns(const uint16_t* depth, std::size_t count, Sink& sink) {
    const uint16_t* const end = depth + count;
    const uint16_t* pixel = depth;
    uint16_t previous = 0;
    while (pixel != end) {
        const uint16_t* run = pixel;
        while (pixel != end && *pixel == 0)
            ++pixel;
        sink.writeNumber(static_cast<uint32_t>(pixel - run));
        run = pixel;
        while (pixel != end && *pixel != 0)
            ++pixel;
        sink.writeNumber(static_cast<uint32_t>(pixel - run));
        for (; run != pixel; ++run) {
            sink.writeNumber(zigzag(int32_t{*run} - int32_t{previous}));
            previous = *run;
        }
    }
}

}  // namespace

const char* rvlStatusText(RvlStatus status) {
    switch (status) {
        case RvlStatus::Ok:
            return "ok";
        case RvlStatus::Truncated:
            return "the depth stream ends early";
        case RvlStatus::Corrupt:
            return "the depth stream is corrupt";
    }
    return "unknown depth stream status";
}

std::size_t rvlEncodedSize(const uint16_t* depth, std::size_t count) {
    NibbleCounter counter;
    writeRuns(depth, count, counter);
    return counter.bytes();
}

std::size_t rvlEncode(const uint16_t* depth, std::size_t count, uint8_t* out) {
    NibblePacker packer(out);
    writeRuns(depth, count, packer);
    return packer.finish();
}

RvlStatus rvlDecode(const uint8_t* stream, std::size_t size, uint16_t* out, std::size_t count) {
    NibbleReader reader(stream, size);
    uint16_t previous = 0;
    std::size_t left = count;
    while (left > 0) {
        // Every run pair is complete in a stream, even when the zeros end it.
        uint32_t zeros = 0;
        uint32_t valid = 0;
        if (RvlStatus status = reader.readNumber(&zeros); status != RvlStatus::Ok)
            return status;
        if (zeros > left)
            return RvlStatus::Corrupt;
        for (uint32_t index = 0; index < zeros; ++index)
            *out++ = 0;
        left -= zeros;
        if (RvlStatus status = reader.readNumber(&valid); status != RvlStatus::Ok)
            return status;
        if (valid > left)
            return RvlStatus::Corrupt;
        for (uint32_t index = 0; index < valid; ++index) {
            uint32_t folded = 0;
            if (RvlStatus status = reader.readNumber(&folded); status != RvlStatus::Ok)
                return status;
            previous = static_cast<uint16_t>(previous + unzigzag(folded));
            *out++ = previous;
        }
        left -= valid;
    }
    return RvlStatus::Ok;
}

}  // namespace ros
}  // namespace Quorvan
