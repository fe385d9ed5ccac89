// SPDX-License-Identifier: Apache-2.0
// Packet reassembly alone: the input's pieces are appended one by one to a reassembler with each transport's
// threshold; all it reports must be what a plain reading of the same bytes finds, and no allocation may be
// larger than the largest packet.
#include "FuzzSupport.h"

#include "transports/PacketFraming.h"

#include <sanitizer/allocator_interface.h>

#include <atomic>
#include <cstring>

namespace {

std::atomic<std::size_t> gLargestAllocation{0};

std::string event(const char* what, std::size_t a, std::size_t b, std::size_t c = 0)
{
    return std::string(what) + " " + std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(c);
}

struct Events : Framing::Sink {
    std::vector<std::string> seen;
    void incomplete(std::size_t buffered, const Framing::Header& h) override { seen.push_back(event("in", h.length, buffered)); }
    void rejected(const Framing::Header& h) override { seen.push_back(event("rejected", h.type, h.length, h.encoding)); }
    void unframeable(const Framing::Header& h, std::size_t discarded) override
    {
        seen.push_back(event("unframeable", h.length, discarded));
    }
    void accepted(const Framing::Header& h, const char* payload, uint32_t length) override
    {
        seen.push_back(length + Framing::kHeaderSize == h.length ? std::string(payload, length) : "length mismatch");
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    [[maybe_unused]] static const bool hooked = __sanitizer_install_malloc_and_free_hooks(
        [](const volatile void*, std::size_t bytes) {
            for (std::size_t largest = gLargestAllocation; bytes > largest;) {
                gLargestAllocation.compare_exchange_weak(largest, bytes);
            }
        },
        [](const volatile void*) {});
    for (const std::size_t threshold : {12, 13}) {
        Framing::Reassembler reassembler(threshold);
        Events events;
        std::vector<std::string> expected;  // after each piece: every packet past the last consumed byte
        std::string stream;
        std::size_t start = 0;
        for (const std::string& piece : FuzzSupport::pieces(data, size)) {
            gLargestAllocation = 0;
            if (!reassembler.append(piece.data(), piece.size())) FuzzSupport::fail("a piece could not be buffered");
            reassembler.process(events);
            if (gLargestAllocation > Framing::kMaximumPacketLength) {
                FuzzSupport::fail("an allocation of " + std::to_string(gLargestAllocation) + " bytes");
            }
            for (stream += piece; stream.size() - start >= threshold;) {
                uint32_t h[3];
                std::memcpy(h, stream.data() + start, sizeof(h));
                if (h[1] < 12 || h[1] > 16U * 1024U * 1024U) {
                    expected.push_back(event("unframeable", h[1], stream.size() - start));
                    start = stream.size();
                } else if (h[1] > stream.size() - start) {
                    expected.push_back(event("in", h[1], stream.size() - start));
                    break;
                } else {
                    expected.push_back(h[0] == 1 && h[2] == 1 ? stream.substr(start + 12, h[1] - 12)
                                                              : event("rejected", h[0], h[1], h[2]));
                    start += h[1];
                }
            }
        }
        if (events.seen != expected || reassembler.buffered() != stream.size() - start) {
            FuzzSupport::fail("reassembly differs from the stream's packets");
        }
    }
    return 0;
}
