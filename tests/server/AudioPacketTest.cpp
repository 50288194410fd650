#include "server/AudioPacket.h"
#include "server/LinkServer.h"
#include "support/LoopbackClient.h"
#include "support/RingReader.h"

#include <gtest/gtest.h>

#include <future>

using namespace velmorine::test;

TEST (PacketPacing, IsDueAt128FramesOrAfterMoreThan10Ms)
{
    struct Case { int frames; double elapsed; bool due; };
    const Case cases[] = {
        { 0, 0.0, false }, { 0, 1000.0, false },
        { 127, 0.0, false }, { 127, 10.0, false },
        { 128, 0.0, true }, { 5000, 0.0, true },
        { 1, 10.0, false }, { 1, 10.0001, true }, { 1, 10.5, true },
        { 127, 10.5, true },
    };

    for (const auto& c : cases)
        EXPECT_EQ (isPacketDue (c.frames, 1000.0 + c.elapsed, 1000.0), c.due) << c.frames << " frames after " << c.elapsed << " ms";
}

TEST (PacketPacing, WritesLittleEndianBytesOfTheCountGiven)
{
    std::vector<std::uint8_t> bytes (8, 0xEE);
    writeLittleEndian (bytes, 1, 0x11223344u, 4);
    EXPECT_EQ (bytes, (std::vector<std::uint8_t> { 0xEE, 0x44, 0x33, 0x22, 0x11, 0xEE, 0xEE, 0xEE }));
    writeLittleEndian (bytes, 5, 0xAABBCCu, 2);
    EXPECT_EQ (bytes, (std::vector<std::uint8_t> { 0xEE, 0x44, 0x33, 0x22, 0x11, 0xCC, 0xBB, 0xEE }));
    writeLittleEndian (bytes, 0, 0x12345678u, 0);
    writeLittleEndian (bytes, 0, 0x12345678u, -3);
    EXPECT_EQ (bytes[0], 0xEE);
}

namespace
{
    // The packet writer of a server whose thread is not running, on one real loopback connection.
    struct AudioPacket : ::testing::Test
    {
        LinkServer server;
        SocketPair pair;

        void SetUp() override
        {
            ASSERT_TRUE (pair.ok());
            server.clientConnected = true;
        }

        void push (const std::vector<float>& left, const std::vector<float>& right, bool playing = true)
        {
            const float* channels[] = { left.data(), right.data() };
            server.pushAudio (channels, 2, (int) left.size(), playing);
        }

        // Sends one packet of what waits and returns the frame that carried it.
        ServerFrame sendOne()
        {
            const auto ready = server.captureFifo.getNumReady();
            auto sent = std::async (std::launch::async, [&] { return server.sendAudioPacket (*pair.server, ready); });
            auto frame = readServerFrame (pair.client);
            EXPECT_TRUE (sent.get());
            EXPECT_TRUE (frame.has_value());
            return frame.value_or (ServerFrame {});
        }
    };

    std::uint32_t le32 (const Bytes& b, size_t offset)
    {
        return (std::uint32_t) b[offset] | (std::uint32_t) b[offset + 1] << 8 | (std::uint32_t) b[offset + 2] << 16 | (std::uint32_t) b[offset + 3] << 24;
    }

    std::vector<Frame> framesOf (const Bytes& packet)
    {
        std::vector<Frame> frames;
        for (size_t o = 16; o + 8 <= packet.size(); o += 8)
        {
            float l, r;
            std::memcpy (&l, packet.data() + o, 4);
            std::memcpy (&r, packet.data() + o + 4, 4);
            frames.emplace_back (l, r);
        }
        return frames;
    }
}

TEST_F (AudioPacket, HeaderOfAPlaying48kPacket)
{
    push (ramp (128, 0.0f, 0.01f), ramp (128, 1.0f, -0.01f), true);
    const auto frame = sendOne();
    EXPECT_EQ (frame.header, (Bytes { 0x82, 0x7E, 0x04, 0x10 }));
    ASSERT_EQ (frame.payload.size(), 16u + 128u * 8u);
    const Bytes expectedHeader { 'V', 'M', 'L', 'K', 0x80, 0xBB, 0x00, 0x00, 0x02, 0x00, 0x01, 0x00, 0x80, 0x00, 0x00, 0x00 };
    EXPECT_EQ (Bytes (frame.payload.begin(), frame.payload.begin() + 16), expectedHeader);
    EXPECT_EQ (le32 (frame.payload, 12), (frame.payload.size() - 16) / 8);
}

TEST_F (AudioPacket, CarriesTheRateAndPlayingStateAtBuildTime)
{
    struct Case { double rate; bool playing; Bytes rateBytes; };
    const Case cases[] = {
        { 44100.0, false, { 0x44, 0xAC, 0x00, 0x00 } },
        { 44100.5, true, { 0x44, 0xAC, 0x00, 0x00 } },   // half way goes to the even neighbour
        { 44101.5, true, { 0x46, 0xAC, 0x00, 0x00 } },
        { 96000.0, true, { 0x00, 0x77, 0x01, 0x00 } },
        { 47999.6, false, { 0x80, 0xBB, 0x00, 0x00 } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.rate);
        push (ramp (10, 0.0f, 1.0f), ramp (10, 0.0f, 1.0f), ! c.playing);
        server.setSampleRate (c.rate);
        server.hostPlaying = c.playing;   // changed after the frames were queued: the packet shows the new value
        const auto frame = sendOne();
        ASSERT_GE (frame.payload.size(), 16u);
        EXPECT_EQ (Bytes (frame.payload.begin() + 4, frame.payload.begin() + 8), c.rateBytes);
        EXPECT_EQ (frame.payload[10], c.playing ? 1 : 0);
    }
}

TEST_F (AudioPacket, CarriesTheSamplesBitForBit)
{
    push ({ -0.5f }, { 0.25f });
    const auto frame = sendOne();
    EXPECT_EQ (frame.payload.size(), 24u);
    EXPECT_EQ (Bytes (frame.payload.begin() + 16, frame.payload.end()), (Bytes { 0x00, 0x00, 0x00, 0xBF, 0x00, 0x00, 0x80, 0x3E }));
}

TEST_F (AudioPacket, SplitsAQueueOf3000FramesInto1024_1024_952)
{
    const auto left = ramp (3000, 0.0f, 1.0f);
    const auto right = ramp (3000, 0.0f, -1.0f);
    push (left, right);

    std::vector<Frame> all;
    for (const int expected : { 1024, 1024, 952 })
    {
        const auto frame = sendOne();
        EXPECT_EQ (le32 (frame.payload, 12), (std::uint32_t) expected);
        EXPECT_EQ (frame.payload.size(), 16u + 8u * (size_t) expected);
        const auto frames = framesOf (frame.payload);
        all.insert (all.end(), frames.begin(), frames.end());
    }

    EXPECT_EQ (server.captureFifo.getNumReady(), 0);
    ASSERT_EQ (all.size(), 3000u);
    for (size_t i = 0; i < all.size(); ++i)
        EXPECT_EQ (all[i], std::make_pair (left[i], right[i])) << i;
}

TEST_F (AudioPacket, KeepsTheOrderOfFramesThatCrossTheEndOfTheRing)
{
    push (std::vector<float> (95900, 0.0f), std::vector<float> (95900, 0.0f));
    drainRing (server);

    const auto left = ramp (500, 1.0f, 1.0f);
    const auto right = ramp (500, -1.0f, -1.0f);
    push (left, right);
    const auto frame = sendOne();
    const auto frames = framesOf (frame.payload);
    ASSERT_EQ (frames.size(), 500u);
    for (size_t i = 0; i < frames.size(); ++i)
        EXPECT_EQ (frames[i], std::make_pair (left[i], right[i])) << i;
}

TEST_F (AudioPacket, ConsumesTheFramesOfAFailedSend)
{
    push (ramp (300, 0.0f, 1.0f), ramp (300, 0.0f, 1.0f));
    pair.client.reset();
    std::this_thread::sleep_for (std::chrono::milliseconds (50));

    bool failed = false;
    int sends = 0;
    while (! failed && server.captureFifo.getNumReady() > 0)
    {
        const auto before = server.captureFifo.getNumReady();
        failed = ! server.sendAudioPacket (*pair.server, juce::jmin (before, 100));
        EXPECT_EQ (server.captureFifo.getNumReady(), before - juce::jmin (before, 100));
        ++sends;
    }

    EXPECT_TRUE (failed) << "after " << sends << " sends";
}
