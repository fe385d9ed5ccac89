// Packet reassembly alone: the input's pieces (FuzzSupport::pieces) are
// appended one by one to a reassembler with each transport's threshold, and
// everything it reports must be what a plain reading of the same bytes finds.
// No allocation may be larger than the largest packet.
#include "FuzzSupport.h"

#include "transports/PacketFraming.h"

#include <sanitizer/allocator_interface.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::atomic<std::size_t> gLargestAllocation{0};

void onAllocation(const volatile void*, std::size_t size)
{
    std::size_t largest = gLargestAllocation.load(std::memory_order_relaxed);
    while (size > largest && !gLargestAllocation.compare_exchange_weak(largest, size)) {
    }
}

void onRelease(const volatile void*) {}

// What reassembly reported, as text, one event each.
class Events : public Framing::Sink {
public:
    std::vector<std::string> events;

    void incomplete(std::size_t buffered, const Framing::Header& header) override
    {
        events.push_back("incomplete " + std::to_string(buffered) + " " + std::to_string(header.length));
    }
    void accepted(const Framing::Header& header, const char* payload, uint32_t payloadLength) override
    {
        if (payloadLength + Framing::kHeaderSize != header.length) {
            FuzzSupport::fail("payload length does not match the header");
        }
        events.push_back("accepted " + std::string(payload, payloadLength));
    }
    void rejected(const Framing::Header& header) override
    {
        events.push_back("rejected " + std::to_string(header.type) + " " + std::to_string(header.length) + " " +
                         std::to_string(header.encoding));
    }
    void unframeable(const Framing::Header& header, std::size_t discarded) override
    {
        events.push_back("unframeable " + std::to_string(header.length) + " " + std::to_string(discarded));
    }
};

uint32_t le32(const std::string& bytes, std::size_t at)
{
    uint8_t b[4];
    std::memcpy(b, bytes.data() + at, 4);
    return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
}

// The same stream read directly: after each piece ends, every packet that
// starts past the last consumed byte and has `threshold` bytes available.
std::vector<std::string> expectedEvents(const std::string& stream, const std::vector<std::size_t>& ends,
                                        std::size_t threshold, std::size_t& leftover)
{
    std::vector<std::string> events;
    std::size_t start = 0;
    for (const std::size_t end : ends) {
        while (end - start >= threshold) {
            const uint32_t type = le32(stream, start), length = le32(stream, start + 4),
                           encoding = le32(stream, start + 8);
            if (length < 12 || length > 16U * 1024U * 1024U) {
                events.push_back("unframeable " + std::to_string(length) + " " + std::to_string(end - start));
                start = end;
                break;
            }
            if (start + length > end) {
                events.push_back("incomplete " + std::to_string(end - start) + " " + std::to_string(length));
                break;
            }
            if (type == 1 && encoding == 1) {
                events.push_back("accepted " + stream.substr(start + 12, length - 12));
            } else {
                events.push_back("rejected " + std::to_string(type) + " " + std::to_string(length) + " " +
                                 std::to_string(encoding));
            }
            start += length;
        }
    }
    leftover = stream.size() - start;
    return events;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    __sanitizer_install_malloc_and_free_hooks(&onAllocation, &onRelease);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::vector<std::string> pieces = FuzzSupport::pieces(data, size);
    for (const std::size_t threshold : {std::size_t{12}, std::size_t{13}}) {
        Framing::Reassembler reassembler(threshold);
        Events seen;
        std::string stream;
        std::vector<std::size_t> ends;
        for (const std::string& piece : pieces) {
            gLargestAllocation = 0;
            if (!reassembler.append(piece.data(), piece.size())) {
                FuzzSupport::fail("a piece could not be buffered");
            }
            reassembler.process(seen);
            if (gLargestAllocation > Framing::kMaximumPacketLength) {
                FuzzSupport::fail("an allocation of " + std::to_string(gLargestAllocation) + " bytes");
            }
            stream += piece;
            ends.push_back(stream.size());
        }
        std::size_t leftover = 0;
        if (seen.events != expectedEvents(stream, ends, threshold, leftover)) {
            FuzzSupport::fail("reassembly differs from the stream's packets");
        }
        if (reassembler.buffered() != leftover) {
            FuzzSupport::fail("reassembly keeps " + std::to_string(reassembler.buffered()) + " bytes instead of " +
                              std::to_string(leftover));
        }
    }
    return 0;
}
