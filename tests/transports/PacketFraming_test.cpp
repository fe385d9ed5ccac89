// SPDX-License-Identifier: Apache-2.0
#include "transports/PacketFraming.h"
#include "transports/Packets.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace std::string_literals;
using TestSupport::packet;

namespace {
// What reassembly reported, one line per event.
struct Recorder : Framing::Sink {
    std::vector<std::string> events;
    using H = Framing::Header;
    static std::string text(std::size_t value) { return std::to_string(value); }
    void incomplete(std::size_t had, const H& h) override { events.push_back("incomplete " + text(had) + "/" + text(h.length)); }
    void accepted(const H&, const char* payload, uint32_t length) override { events.push_back("accepted " + std::string(payload, length)); }
    void rejected(const H& h) override { events.push_back("rejected " + text(h.type) + "/" + text(h.encoding)); }
    void unframeable(const H& h, std::size_t lost) override { events.push_back("unframeable " + text(h.length) + " " + text(lost)); }
};
}  // namespace

TEST(PacketFraming, HeaderIsTypeLengthEncodingLittleEndian)
{
    const auto encoded = Framing::encodeHeader(0x01020304 - 12);
    EXPECT_EQ(std::string(encoded.begin(), encoded.end()), packet("", 1, 0x01020304));
    const Framing::Header decoded = Framing::decodeHeader(encoded.data());
    EXPECT_EQ((std::vector<uint32_t>{decoded.type, decoded.length, decoded.encoding}), (std::vector<uint32_t>{1, 0x01020304, 1}));
    const auto framed = Framing::frame("ab", 2);
    EXPECT_EQ(std::string(framed.begin(), framed.end()), packet("ab"));
}

// Each case feeds its pieces in turn to one reassembler and processes after each.
TEST(PacketFraming, ReassemblyOfPieces)
{
    const uint32_t largest = Framing::kMaximumPacketLength;
    const std::string nul = packet("n\0l"s);
    struct Case {
        std::size_t threshold;
        std::vector<std::string> pieces;
        std::vector<std::string> events;
        std::size_t left;
    } cases[] = {
        {12, {packet("first") + packet("second")}, {"accepted first", "accepted second"}, 0},
        {12, {nul.substr(0, 5), nul.substr(5, 8), nul.substr(13)}, {"incomplete 13/15", "accepted n\0l"s}, 0},
        {13, {packet("skip", 2) + packet("utf16", 1, 0, 2) + packet("kept")}, {"rejected 2/1", "rejected 1/2", "accepted kept"}, 0},
        {12, {packet("")}, {"accepted "}, 0},
        // With a 13-byte threshold an empty packet waits for the next bytes.
        {13, {packet(""), packet("x")}, {"accepted ", "accepted x"}, 0},
        // Impossible lengths discard everything buffered; the stream recovers.
        {12, {packet("", 1, 11) + "trailing bytes", packet("", 1, largest + 1), packet("", 1, ~0U) + "x", packet("after"),
              packet("", 1, largest)},
         {"unframeable 11 26", "unframeable 16777217 12", "unframeable 4294967295 13", "accepted after",
          "incomplete 12/16777216"},
         12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.events.back());
        Framing::Reassembler reassembler(c.threshold);
        Recorder recorder;
        for (const std::string& piece : c.pieces) {
            ASSERT_TRUE(reassembler.append(piece.data(), piece.size()));
            reassembler.process(recorder);
        }
        EXPECT_EQ(recorder.events, c.events);
        EXPECT_EQ(reassembler.buffered(), c.left);
    }
}
