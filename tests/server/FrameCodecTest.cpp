#include "server/LinkServer.h"
#include "support/LoopbackClient.h"

#include <gtest/gtest.h>

#include <future>

using namespace velmorine::test;

namespace
{
    // The codec of a server whose thread is not running, on one real loopback connection.
    struct FrameCodec : ::testing::Test
    {
        LinkServer server;
        SocketPair pair;

        void SetUp() override { ASSERT_TRUE (pair.ok()); }

        bool send (const Bytes& payload, std::uint8_t opcode)
        {
            return server.sendFrame (*pair.server, payload.data(), payload.size(), opcode);
        }

        // Sends the client's bytes, then lets the codec handle what arrived.
        bool poll (const Bytes& clientBytes)
        {
            pair.client.send (clientBytes);
            std::this_thread::sleep_for (std::chrono::milliseconds (20));
            return server.pollIncomingFrame (*pair.server);
        }
    };

    Bytes pattern (size_t n)
    {
        Bytes b (n);
        for (size_t i = 0; i < n; ++i)
            b[i] = (std::uint8_t) (i * 7 + 3);
        return b;
    }
}

TEST_F (FrameCodec, WritesTheShortestLengthEncoding)
{
    struct Case { size_t length; std::uint8_t opcode; Bytes header; };
    const Case cases[] = {
        { 0, 0xA, { 0x8A, 0x00 } },
        { 5, 0x2, { 0x82, 0x05 } },
        { 125, 0x2, { 0x82, 0x7D } },
        { 126, 0x2, { 0x82, 0x7E, 0x00, 0x7E } },
        { 8208, 0x2, { 0x82, 0x7E, 0x20, 0x10 } },
        { 65535, 0x2, { 0x82, 0x7E, 0xFF, 0xFF } },
        { 65536, 0x8, { 0x88, 0x7F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00 } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.length);
        const auto payload = pattern (c.length);
        auto sent = std::async (std::launch::async, [&] { return send (payload, c.opcode); });
        const auto frame = readServerFrame (pair.client);
        EXPECT_TRUE (sent.get());
        ASSERT_TRUE (frame.has_value());
        EXPECT_EQ (frame->header, c.header);
        EXPECT_EQ (frame->payload, payload);
    }
}

TEST_F (FrameCodec, ReturnsAtOnceWhenNothingIsWaiting)
{
    EXPECT_TRUE (server.pollIncomingFrame (*pair.server));
    EXPECT_TRUE (pair.client.readFor (100).empty());
}

TEST_F (FrameCodec, AnswersPingsWithTheirPayload)
{
    struct Case { const char* name; Bytes frame; Bytes expectedHeader; Bytes payload; };
    const auto five = Bytes { 'H', 'e', 'l', 'l', 'o' };
    const auto big = pattern (200);
    const auto largest = pattern (65536);
    const Case cases[] = {
        { "masked 5 bytes", clientFrame (0x89, five), { 0x8A, 0x05 }, five },
        { "unmasked 5 bytes", clientFrame (0x89, five, false), { 0x8A, 0x05 }, five },
        { "opcode without FIN", clientFrame (0x09, five), { 0x8A, 0x05 }, five },
        { "empty", clientFrame (0x89, {}), { 0x8A, 0x00 }, {} },
        { "200 bytes use the 16-bit form", clientFrame (0x89, big), { 0x8A, 0x7E, 0x00, 0xC8 }, big },
        { "longer encoding than needed", clientFrame (0x89, five, true, 64), { 0x8A, 0x05 }, five },
        { "65536 bytes, the largest accepted", clientFrame (0x89, largest), { 0x8A, 0x7F, 0, 0, 0, 0, 0, 1, 0, 0 }, largest },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        auto handled = std::async (std::launch::async, [&] { return poll (c.frame); });
        const auto pong = readServerFrame (pair.client);
        EXPECT_TRUE (handled.get());
        ASSERT_TRUE (pong.has_value());
        EXPECT_EQ (pong->header, c.expectedHeader);
        EXPECT_EQ (pong->payload, c.payload);
    }
}

TEST_F (FrameCodec, EchoesACloseAndEndsTheConnection)
{
    struct Case { const char* name; Bytes payload; Bytes expected; };
    const Case cases[] = {
        { "status 1000", { 0x03, 0xE8 }, { 0x88, 0x02, 0x03, 0xE8 } },
        { "empty", {}, { 0x88, 0x00 } },
        { "status and reason", { 0x03, 0xE9, 'b', 'y', 'e' }, { 0x88, 0x05, 0x03, 0xE9, 'b', 'y', 'e' } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        LinkServer server2;
        SocketPair p;
        ASSERT_TRUE (p.ok());
        p.client.send (clientFrame (0x88, c.payload));
        std::this_thread::sleep_for (std::chrono::milliseconds (20));
        EXPECT_FALSE (server2.pollIncomingFrame (*p.server));
        const auto answer = p.client.readExactly (c.expected.size());
        ASSERT_TRUE (answer.has_value());
        EXPECT_EQ (*answer, c.expected);
    }
}

TEST_F (FrameCodec, ReadsAndDropsEveryOtherFrame)
{
    const Bytes frames[] = {
        clientFrame (0x81, { 'h', 'i' }, false),
        clientFrame (0x82, pattern (1000)),
        clientFrame (0x8A, { 1, 2 }),
        clientFrame (0x01, { 'f', 'r', 'a', 'g' }),
        clientFrame (0x80, { 'e', 'n', 'd' }),
        clientFrame (0x83, {}),
        clientFrame (0x8F, pattern (3)),
    };

    for (const auto& frame : frames)
        EXPECT_TRUE (poll (frame));

    // Each frame was read whole: a ping behind them all is answered next.
    auto handled = std::async (std::launch::async, [&] { return poll (clientFrame (0x89, { 9 })); });
    const auto pong = readServerFrame (pair.client);
    EXPECT_TRUE (handled.get());
    ASSERT_TRUE (pong.has_value());
    EXPECT_EQ (pong->payload, Bytes { 9 });
    EXPECT_TRUE (pair.client.readFor (100).empty());
}

TEST_F (FrameCodec, RefusesAFrameLongerThan65536WithoutReadingIt)
{
    for (const std::uint64_t announced : { (std::uint64_t) 65537, (std::uint64_t) 1 << 63, ~(std::uint64_t) 0 })
    {
        SCOPED_TRACE (announced);
        LinkServer server2;
        SocketPair p;
        ASSERT_TRUE (p.ok());
        Bytes header { 0x82, 0xFF };
        for (int i = 7; i >= 0; --i)
            header.push_back ((std::uint8_t) (announced >> (8 * i)));
        p.client.send (header);
        std::this_thread::sleep_for (std::chrono::milliseconds (20));
        const auto start = nowMs();
        EXPECT_FALSE (server2.pollIncomingFrame (*p.server));
        EXPECT_LT (nowMs() - start, 1000.0);
        EXPECT_TRUE (p.client.readFor (100).empty());
    }
}

TEST_F (FrameCodec, FailsWhenThePeerLeavesMidFrame)
{
    struct Case { const char* name; Bytes sent; };
    const auto full = clientFrame (0x89, pattern (300));
    const Case cases[] = {
        { "after the first byte", { full.begin(), full.begin() + 1 } },
        { "inside the length", { full.begin(), full.begin() + 3 } },
        { "between header and payload", { full.begin(), full.begin() + 8 } },
        { "inside the payload", { full.begin(), full.begin() + 100 } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        LinkServer server2;
        SocketPair p;
        ASSERT_TRUE (p.ok());
        p.client.send (c.sent);
        p.client.close();
        std::this_thread::sleep_for (std::chrono::milliseconds (20));
        const auto start = nowMs();
        EXPECT_FALSE (server2.pollIncomingFrame (*p.server));
        EXPECT_LT (nowMs() - start, 2000.0);
    }
}

TEST_F (FrameCodec, GivesUpOnAFrameThatStallsPartWay)
{
    // Half a frame, then silence: the connection ends at the stall limit, not never.
    const auto full = clientFrame (0x89, pattern (300));
    pair.client.send (Bytes (full.begin(), full.begin() + 50));
    std::this_thread::sleep_for (std::chrono::milliseconds (20));
    const auto start = nowMs();
    EXPECT_FALSE (server.pollIncomingFrame (*pair.server));
    const auto took = nowMs() - start;
    EXPECT_GE (took, 2900.0);
    EXPECT_LT (took, 10000.0);
}

TEST_F (FrameCodec, StopsAStalledReadAsSoonAsTheServerIsAskedToExit)
{
    const auto full = clientFrame (0x89, pattern (300));
    pair.client.send (Bytes (full.begin(), full.begin() + 50));
    std::this_thread::sleep_for (std::chrono::milliseconds (20));
    auto handled = std::async (std::launch::async, [&] { return server.pollIncomingFrame (*pair.server); });
    std::this_thread::sleep_for (std::chrono::milliseconds (300));
    const auto start = nowMs();
    server.signalThreadShouldExit();
    EXPECT_FALSE (handled.get());
    EXPECT_LT (nowMs() - start, 1000.0);
}

namespace
{
    enum class Mode { blocking, nonBlocking };

    // Puts the server's socket in the mode that JUCE's read leaves it in after a blocking or a
    // non-blocking read, as the handshake and the frame reader would.
    void setMode (juce::StreamingSocket& socket, Mode mode)
    {
        char none;
        socket.read (&none, 0, mode == Mode::blocking);
    }
}

TEST_F (FrameCodec, WaitsForASlowReaderTheSameWayInBothModes)
{
    for (const auto mode : { Mode::nonBlocking, Mode::blocking })
    {
        SCOPED_TRACE (mode == Mode::blocking ? "blocking" : "non-blocking");
        LinkServer server2;
        SocketPair p;
        ASSERT_TRUE (p.ok());
        setMode (*p.server, mode);

        // Far more than the socket buffers hold; the reader only starts after half a second.
        constexpr int kFrames = 300;
        const auto payload = pattern (60000);
        std::atomic<int> framesSent { 0 };
        auto sent = std::async (std::launch::async, [&]
        {
            for (int i = 0; i < kFrames; ++i, ++framesSent)
                if (! server2.sendFrame (*p.server, payload.data(), payload.size(), 0x2))
                    return false;
            return true;
        });

        std::this_thread::sleep_for (std::chrono::milliseconds (500));
        EXPECT_LT (framesSent.load(), kFrames) << "the buffers never filled, so this proves nothing";

        for (int i = 0; i < kFrames; ++i)
        {
            const auto frame = readServerFrame (p.client, 5000);
            ASSERT_TRUE (frame.has_value()) << i;
            ASSERT_EQ (frame->payload, payload) << i;
        }

        EXPECT_TRUE (sent.get());
    }
}

TEST_F (FrameCodec, GivesUpOnAReaderThatStopsInBothModes)
{
    for (const auto mode : { Mode::nonBlocking, Mode::blocking })
    {
        SCOPED_TRACE (mode == Mode::blocking ? "blocking" : "non-blocking");
        LinkServer server2;
        SocketPair p;
        ASSERT_TRUE (p.ok());
        setMode (*p.server, mode);

        const auto payload = pattern (60000);
        const auto start = nowMs();
        bool failed = false;
        for (int i = 0; i < 1000 && ! failed; ++i)
            failed = ! server2.sendFrame (*p.server, payload.data(), payload.size(), 0x2);

        EXPECT_TRUE (failed);
        EXPECT_LT (nowMs() - start, 15000.0);
    }
}

TEST_F (FrameCodec, StopsAStalledWriteAsSoonAsTheServerIsAskedToExit)
{
    const auto payload = pattern (60000);
    auto sent = std::async (std::launch::async, [&]
    {
        for (int i = 0; i < 1000; ++i)
            if (! server.sendFrame (*pair.server, payload.data(), payload.size(), 0x2))
                return false;
        return true;
    });

    std::this_thread::sleep_for (std::chrono::milliseconds (500));
    const auto start = nowMs();
    server.signalThreadShouldExit();
    EXPECT_FALSE (sent.get());
    EXPECT_LT (nowMs() - start, 1000.0);
}

TEST_F (FrameCodec, WritingToAResetConnectionFailsWithoutASignal)
{
    // This process keeps SIGPIPE's default action, which would end it here if a write raised it.
    pair.client.reset();
    std::this_thread::sleep_for (std::chrono::milliseconds (50));
    const auto payload = pattern (1000);
    bool failed = false;
    for (int i = 0; i < 10 && ! failed; ++i)
        failed = ! send (payload, 0x2);
    EXPECT_TRUE (failed);
}
