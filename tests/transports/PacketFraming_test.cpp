#include "transports/PacketFraming.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Framing::Header;
using Framing::Reassembler;

namespace {

// Records what reassembly reported, in order.
struct Recorder : Framing::Sink {
    std::vector<std::string> events;
    std::vector<std::string> payloads;

    void incomplete(std::size_t buffered, const Header& header) override
    {
        events.push_back("incomplete " + std::to_string(buffered) + "/" + std::to_string(header.length));
    }
    void accepted(const Header& header, const char* payload, uint32_t length) override
    {
        events.push_back("accepted " + std::to_string(header.length));
        payloads.emplace_back(payload, length);
    }
    void rejected(const Header& header) override
    {
        events.push_back("rejected " + std::to_string(header.type) + "/" + std::to_string(header.encoding));
    }
    void unframeable(const Header& header, std::size_t discarded) override
    {
        events.push_back("unframeable " + std::to_string(header.length) + " " + std::to_string(discarded));
    }
};

std::string packet(const std::string& payload, uint32_t type = 1, uint32_t encoding = 1)
{
    const auto header = Framing::encodeHeader(static_cast<uint32_t>(payload.size()));
    std::string bytes(header.begin(), header.end());
    bytes[0] = static_cast<char>(type);
    bytes[8] = static_cast<char>(encoding);
    return bytes + payload;
}

std::string rawHeader(uint32_t length)
{
    std::string bytes(12, '\0');
    bytes[0] = 1;
    bytes[8] = 1;
    for (int i = 0; i < 4; ++i) {
        bytes[4 + i] = static_cast<char>(length >> (8 * i));
    }
    return bytes;
}

void feed(Reassembler& reassembler, Recorder& recorder, const std::string& bytes)
{
    ASSERT_TRUE(reassembler.append(bytes.data(), bytes.size()));
    reassembler.process(recorder);
}

}  // namespace

TEST(PacketFraming, HeaderIsTypeLengthEncodingLittleEndian)
{
    const auto header = Framing::encodeHeader(0x01020304 - 12);
    EXPECT_EQ(std::vector<uint8_t>(header.begin(), header.end()),
              (std::vector<uint8_t>{1, 0, 0, 0, 0x04, 0x03, 0x02, 0x01, 1, 0, 0, 0}));
    const Header decoded = Framing::decodeHeader(header.data());
    EXPECT_EQ(decoded.type, 1U);
    EXPECT_EQ(decoded.length, 0x01020304U);
    EXPECT_EQ(decoded.encoding, 1U);
    EXPECT_EQ(Framing::frame("ab", 2).size(), 14U);
}

TEST(PacketFraming, TwoPacketsInOnePieceAndOneByteByByte)
{
    Reassembler reassembler(12);
    Recorder recorder;
    feed(reassembler, recorder, packet("first") + packet("second"));
    EXPECT_EQ(recorder.payloads, (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(reassembler.buffered(), 0U);

    const std::string slow = packet(std::string("nul\0inside", 10));
    for (std::size_t i = 0; i + 1 < slow.size(); ++i) {
        feed(reassembler, recorder, slow.substr(i, 1));
        EXPECT_EQ(recorder.payloads.size(), 2U);
    }
    feed(reassembler, recorder, slow.substr(slow.size() - 1));
    ASSERT_EQ(recorder.payloads.size(), 3U);
    EXPECT_EQ(recorder.payloads[2], std::string("nul\0inside", 10));
}

TEST(PacketFraming, OtherTypesAreSkippedAndTheStreamGoesOn)
{
    Reassembler reassembler(13);
    Recorder recorder;
    feed(reassembler, recorder, packet("skip me", 2) + packet("utf16", 1, 2) + packet("kept"));
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"rejected 2/1", "rejected 1/2", "accepted 16"}));
    EXPECT_EQ(recorder.payloads, std::vector<std::string>{"kept"});
}

TEST(PacketFraming, ThresholdDecidesWhenAnEmptyPacketIsRead)
{
    Reassembler ica(12);
    Recorder icaRecorder;
    feed(ica, icaRecorder, packet(""));
    EXPECT_EQ(icaRecorder.payloads, std::vector<std::string>{""});

    // With a 13-byte threshold an empty packet waits for the next bytes.
    Reassembler rdp(13);
    Recorder rdpRecorder;
    feed(rdp, rdpRecorder, packet(""));
    EXPECT_TRUE(rdpRecorder.events.empty());
    feed(rdp, rdpRecorder, packet("x"));
    EXPECT_EQ(rdpRecorder.payloads, (std::vector<std::string>{"", "x"}));
}

TEST(PacketFraming, ImpossibleLengthsDiscardTheBufferAndTheStreamRecovers)
{
    Reassembler reassembler(12);
    Recorder recorder;
    feed(reassembler, recorder, rawHeader(11) + "trailing bytes");
    feed(reassembler, recorder, rawHeader(Framing::kMaximumPacketLength + 1));
    feed(reassembler, recorder, rawHeader(0xFFFFFFFF) + std::string(100, 'x'));
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"unframeable 11 26", "unframeable 16777217 12",
                                                         "unframeable 4294967295 112"}));
    EXPECT_EQ(reassembler.buffered(), 0U);
    feed(reassembler, recorder, packet("after"));
    EXPECT_EQ(recorder.payloads, std::vector<std::string>{"after"});

    // The largest allowed packet is only waited for.
    feed(reassembler, recorder, rawHeader(Framing::kMaximumPacketLength));
    EXPECT_EQ(recorder.events.back(), "incomplete 12/16777216");
}
