// SPDX-License-Identifier: Apache-2.0
#include "transports/PacketFraming.h"

#include <cstring>
#include <new>

namespace Framing {

namespace {

void put32(uint8_t* bytes, uint32_t value)
{
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
    bytes[2] = static_cast<uint8_t>(value >> 16);
    bytes[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t get32(const uint8_t* bytes)
{
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

}  // namespace

std::array<uint8_t, kHeaderSize> encodeHeader(uint32_t payloadLength)
{
    std::array<uint8_t, kHeaderSize> header{};
    put32(header.data(), kContentType);
    put32(header.data() + 4, payloadLength + static_cast<uint32_t>(kHeaderSize));
    put32(header.data() + 8, kUtf8Json);
    return header;
}

Header decodeHeader(const uint8_t* bytes)
{
    return Header{get32(bytes), get32(bytes + 4), get32(bytes + 8)};
}

std::vector<uint8_t> frame(const char* payload, uint32_t payloadLength)
{
    std::vector<uint8_t> packet(kHeaderSize + payloadLength);
    const auto header = encodeHeader(payloadLength);
    std::memcpy(packet.data(), header.data(), kHeaderSize);
    if (payloadLength > 0) {
        std::memcpy(packet.data() + kHeaderSize, payload, payloadLength);
    }
    return packet;
}

Reassembler::Reassembler(std::size_t threshold) : _threshold(threshold < kHeaderSize ? kHeaderSize : threshold) {}

bool Reassembler::append(const void* data, std::size_t length)
{
    if (length == 0) {
        return true;
    }
    try {
        const auto* bytes = static_cast<const uint8_t*>(data);
        _buffer.insert(_buffer.end(), bytes, bytes + length);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

void Reassembler::process(Sink& sink)
{
    std::size_t consumed = 0;
    while (_buffer.size() - consumed >= _threshold) {
        const uint8_t* start = _buffer.data() + consumed;
        const Header header = decodeHeader(start);
        const std::size_t available = _buffer.size() - consumed;
        if (header.length < kHeaderSize || header.length > kMaximumPacketLength) {
            // No resynchronising from here: drop everything buffered.
            sink.unframeable(header, available);
            consumed = _buffer.size();
            break;
        }
        if (header.length > available) {
            sink.incomplete(available, header);
            break;
        }
        if (header.type == kContentType && header.encoding == kUtf8Json) {
            sink.accepted(header, reinterpret_cast<const char*>(start + kHeaderSize),
                          header.length - static_cast<uint32_t>(kHeaderSize));
        } else {
            sink.rejected(header);
        }
        consumed += header.length;
    }
    _buffer.erase(_buffer.begin(), _buffer.begin() + static_cast<std::ptrdiff_t>(consumed));
}

}  // namespace Framing
