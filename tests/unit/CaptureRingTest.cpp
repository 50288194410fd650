#include "support/RingReader.h"

#include <gtest/gtest.h>

using velmorine::test::drainRing;
using velmorine::test::ramp;

namespace
{
    constexpr int kCapacity = velmorine::wire::kRingFrames - 1;

    // A server whose thread is never started: the ring is driven by hand as the two threads would.
    struct CaptureRing : ::testing::Test
    {
        LinkServer server;

        void push (const std::vector<float>& left, const std::vector<float>& right, bool playing = true)
        {
            const float* channels[] = { left.data(), right.data() };
            server.pushAudio (channels, 2, (int) left.size(), playing);
        }

        void pushSilence (int frames)
        {
            std::vector<float> zeros ((size_t) frames, 0.0f);
            push (zeros, zeros);
        }
    };
}

TEST_F (CaptureRing, StartsEmptyWithItsInitialValues)
{
    EXPECT_EQ (server.captureFifo.getTotalSize(), velmorine::wire::kRingFrames);
    EXPECT_EQ (server.captureFifo.getNumReady(), 0);
    EXPECT_EQ (server.captureBuffer.size(), 192000u);
    EXPECT_EQ (server.packetBuffer.size(), 8208u);
    EXPECT_EQ (server.sampleRate.load(), 48000.0);
    EXPECT_FALSE (server.hostPlaying.load());
    EXPECT_FALSE (server.clientConnected.load());
    EXPECT_FALSE (server.listening.load());
    EXPECT_EQ (server.port.load(), 47800);
    EXPECT_EQ (server.getThreadName(), "Velmorine Link server");
}

TEST_F (CaptureRing, QueuesNothingWithoutAClientButStoresThePlayingState)
{
    const auto left = ramp (256, 0.1f, 0.001f);
    push (left, left, true);
    EXPECT_TRUE (server.hostPlaying.load());
    push (left, left, false);
    EXPECT_FALSE (server.hostPlaying.load());
    EXPECT_EQ (server.captureFifo.getNumReady(), 0);
}

TEST_F (CaptureRing, StoresThePlayingStateOnEveryKindOfCall)
{
    struct Case { const char* name; bool connected; int channels; int samples; };
    const Case cases[] = {
        { "connected, normal block", true, 2, 64 },
        { "connected, empty block", true, 2, 0 },
        { "connected, negative length", true, 2, -5 },
        { "connected, no channels", true, 0, 64 },
        { "disconnected, normal block", false, 2, 64 },
        { "disconnected, empty block", false, 2, 0 },
    };

    const auto data = ramp (64, 0.0f, 0.5f);
    const float* channels[] = { data.data(), data.data() };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        server.clientConnected = c.connected;

        for (const bool playing : { true, false, true })
        {
            server.pushAudio (channels, c.channels, c.samples, playing);
            EXPECT_EQ (server.hostPlaying.load(), playing);
        }

        const bool queues = c.connected && c.channels > 0 && c.samples > 0;
        EXPECT_EQ (server.captureFifo.getNumReady(), queues ? 3 * c.samples : 0);
        server.discardQueuedAudio();
    }
}

TEST_F (CaptureRing, QueuesStereoFramesInOrderWithLeftFirst)
{
    server.clientConnected = true;
    const auto left = ramp (300, -1.0f, 0.003f);
    const auto right = ramp (300, 0.5f, -0.002f);
    push (left, right);

    const auto frames = drainRing (server);
    ASSERT_EQ (frames.size(), 300u);

    for (size_t i = 0; i < frames.size(); ++i)
    {
        EXPECT_EQ (frames[i].first, left[i]) << i;
        EXPECT_EQ (frames[i].second, right[i]) << i;
    }
}

TEST_F (CaptureRing, DoublesAMonoChannelAndIgnoresChannelsBeyondTwo)
{
    server.clientConnected = true;
    const auto a = ramp (50, 1.0f, 1.0f);
    const auto b = ramp (50, -1.0f, -1.0f);
    const auto c = ramp (50, 100.0f, 1.0f);
    const float* channels[] = { a.data(), b.data(), c.data() };

    server.pushAudio (channels, 1, 50, true);
    for (const auto& [l, r] : drainRing (server))
        EXPECT_EQ (l, r);

    server.pushAudio (channels, 3, 50, true);
    const auto frames = drainRing (server);
    ASSERT_EQ (frames.size(), 50u);
    for (size_t i = 0; i < frames.size(); ++i)
        EXPECT_EQ (frames[i], std::make_pair (a[i], b[i])) << i;
}

TEST_F (CaptureRing, KeepsTheFirstSamplesOfABlockLargerThanTheFreeSpace)
{
    server.clientConnected = true;
    pushSilence (kCapacity - 9);

    const auto left = ramp (100, 1.0f, 1.0f);
    push (left, left);
    EXPECT_EQ (server.captureFifo.getNumReady(), kCapacity);

    // A full ring (95999 waiting) takes nothing more.
    push (left, left);
    EXPECT_EQ (server.captureFifo.getNumReady(), kCapacity);

    const auto frames = drainRing (server);
    ASSERT_EQ ((int) frames.size(), kCapacity);
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ (frames[(size_t) (kCapacity - 9 + i)].first, left[(size_t) i]);
}

TEST_F (CaptureRing, KeepsTheOrderOfFramesThatCrossTheEndOfTheRing)
{
    server.clientConnected = true;
    pushSilence (95000);
    drainRing (server);

    const auto left = ramp (2000, 0.0f, 1.0f);
    const auto right = ramp (2000, 0.0f, -1.0f);
    push (left, right);

    // The write really did wrap: slot 0 now holds the 1000th frame.
    EXPECT_EQ (server.captureBuffer[0], left[1000]);

    const auto frames = drainRing (server);
    ASSERT_EQ (frames.size(), 2000u);
    for (size_t i = 0; i < frames.size(); ++i)
        EXPECT_EQ (frames[i], std::make_pair (left[i], right[i])) << i;
}

TEST_F (CaptureRing, DiscardDropsWhatIsWaitingAndNothingAfterIt)
{
    server.discardQueuedAudio();
    EXPECT_EQ (server.captureFifo.getNumReady(), 0);

    server.clientConnected = true;
    pushSilence (4000);
    server.discardQueuedAudio();
    EXPECT_EQ (server.captureFifo.getNumReady(), 0);

    // The write position was left alone: new frames follow at once and read back intact.
    const auto left = ramp (10, 7.0f, 1.0f);
    push (left, left);
    const auto frames = drainRing (server);
    ASSERT_EQ (frames.size(), 10u);
    EXPECT_EQ (frames.front().first, 7.0f);
}

TEST_F (CaptureRing, StoresTheSampleRateUnchanged)
{
    for (const double rate : { 44100.0, 44100.5, 96000.0, 0.0, -1.0 })
    {
        server.setSampleRate (rate);
        EXPECT_EQ (server.sampleRate.load(), rate);
    }
}
