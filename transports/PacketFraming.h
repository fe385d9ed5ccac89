// SPDX-License-Identifier: Apache-2.0
// The packet framing every channel shares: a 12-byte header of three
// little-endian 32-bit fields (type, total length, encoding) in front of the
// UTF-8 JSON payload, and the reassembly of packets from channel pieces.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace Framing {

constexpr std::size_t kHeaderSize = 12;
constexpr uint32_t kContentType = 1;
constexpr uint32_t kUtf8Json = 1;
// The largest packet the host may send; a header announcing more can only
// come from a corrupted stream.
constexpr uint32_t kMaximumPacketLength = 16U * 1024U * 1024U;

struct Header {
    uint32_t type = 0;
    uint32_t length = 0;
    uint32_t encoding = 0;
};

// The header of a content packet carrying `payloadLength` bytes.
std::array<uint8_t, kHeaderSize> encodeHeader(uint32_t payloadLength);
Header decodeHeader(const uint8_t* bytes);

// The header followed by the payload, as one buffer.
std::vector<uint8_t> frame(const char* payload, uint32_t payloadLength);

// What reassembly found; each transport logs these in its own words.
class Sink {
public:
    virtual ~Sink() = default;
    // A packet longer than what is buffered: waiting for more bytes.
    virtual void incomplete(std::size_t buffered, const Header& header) = 0;
    // A content packet: the payload goes to the session core.
    virtual void accepted(const Header& header, const char* payload, uint32_t payloadLength) = 0;
    // A packet of another type or encoding, skipped.
    virtual void rejected(const Header& header) = 0;
    // A length that no packet can have: every buffered byte is discarded.
    virtual void unframeable(const Header& header, std::size_t discarded) = 0;
};

// One channel's reassembly buffer.
class Reassembler {
public:
    // `threshold`: how many bytes must be buffered before a header is read.
    explicit Reassembler(std::size_t threshold);

    // Appends a received piece; false (and nothing appended) when the buffer
    // cannot grow.
    bool append(const void* data, std::size_t length);

    // Hands every complete packet to `sink`, in arrival order.
    void process(Sink& sink);

    std::size_t buffered() const { return _buffer.size(); }

private:
    std::size_t _threshold;
    std::vector<uint8_t> _buffer;
};

}  // namespace Framing
