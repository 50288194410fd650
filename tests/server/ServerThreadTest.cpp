#include "server/LinkServer.h"
#include "support/LoopbackClient.h"
#include "support/TestServer.h"
#include "support/RingReader.h"

#include <gtest/gtest.h>

#include <csignal>
#include <functional>

using namespace velmorine::test;

namespace
{
    double timeStop (LinkServer& server)
    {
        const auto start = nowMs();
        server.stop();
        return nowMs() - start;
    }

    // A generous bound for a loaded two-core machine; the real figures are far lower.
    constexpr double kStopBoundMs = 1000.0;

    struct ServerThread : ::testing::Test
    {
        TestServer server;
        int port = findFreePort();

        void SetUp() override
        {
            // The host's SIGPIPE disposition is never touched: a write that raised it would end
            // this process, which is exactly the fault these tests must see.
            struct sigaction current {};
            sigaction (SIGPIPE, nullptr, &current);
            ASSERT_EQ (current.sa_handler, SIG_DFL);

            server.startOn (port);
            ASSERT_TRUE (waitUntil ([this] { return server.listening.load(); }, 3000));
        }

        // Connects and completes the handshake. The server marks the client connected just after
        // its 101 has gone out, so audio meant for this client is fed only once that holds.
        bool connectClient (LoopbackClient& client)
        {
            if (! client.connect (port) || ! client.send (upgradeRequest()))
                return false;
            return client.readResponseHead().rfind ("HTTP/1.1 101", 0) == 0;
        }

        void feed (int frames, float start = 0.0f)
        {
            const auto left = ramp (frames, start, 1.0f);
            const auto right = ramp (frames, -start, -1.0f);
            const float* channels[] = { left.data(), right.data() };
            server.pushAudio (channels, 2, frames, true);
        }
    };

    float firstLeftSample (const ServerFrame& packet)
    {
        float value = 0.0f;
        if (packet.payload.size() >= 24)
            std::memcpy (&value, packet.payload.data() + 16, 4);
        return value;
    }
}

TEST_F (ServerThread, ListensOnlyOnLoopbackAndServesAClient)
{
    EXPECT_FALSE (server.clientConnected.load());

    // Bound to 127.0.0.1 alone: another loopback address on the same port is refused.
    LoopbackClient elsewhere;
    EXPECT_FALSE (elsewhere.connect (port, 200, "127.0.0.2"));

    LoopbackClient client;
    ASSERT_TRUE (connectClient (client));
    ASSERT_TRUE (waitUntil ([this] { return server.clientConnected.load(); }, 2000));

    feed (256, 1.0f);
    const auto packet = readServerFrame (client);
    ASSERT_TRUE (packet.has_value());
    EXPECT_EQ (packet->firstByte, 0x82);
    EXPECT_EQ (firstLeftSample (*packet), 1.0f);

    // A close frame is echoed, and the server goes back to waiting.
    client.send (clientFrame (0x88, { 0x03, 0xE8 }));
    bool sawClose = false;
    for (int i = 0; i < 10 && ! sawClose; ++i)
        if (const auto f = readServerFrame (client))
            sawClose = f->firstByte == 0x88 && f->payload == Bytes { 0x03, 0xE8 };
    EXPECT_TRUE (sawClose);
    EXPECT_TRUE (client.waitForClose (3000));
    EXPECT_TRUE (waitUntil ([this] { return ! server.clientConnected.load(); }, 2000));
    EXPECT_TRUE (server.listening.load());
}

TEST_F (ServerThread, ServesOneClientAtATime)
{
    LoopbackClient first, second;
    ASSERT_TRUE (connectClient (first));
    ASSERT_TRUE (second.connect (port));
    ASSERT_TRUE (second.send (upgradeRequest()));
    EXPECT_TRUE (second.readResponseHead (1000).empty()) << "the second client was answered while the first was served";

    first.close();
    EXPECT_EQ (second.readResponseHead (5000).rfind ("HTTP/1.1 101", 0), 0u);
    EXPECT_TRUE (waitUntil ([this] { return server.clientConnected.load(); }, 2000));
}

TEST_F (ServerThread, DropsASilentClientAtTheDeadlineAndServesTheNext)
{
    LoopbackClient silent, next;
    ASSERT_TRUE (silent.connect (port));
    ASSERT_TRUE (next.connect (port));
    ASSERT_TRUE (next.send (upgradeRequest()));

    EXPECT_TRUE (silent.waitForClose (10000));
    EXPECT_EQ (next.readResponseHead (5000).rfind ("HTTP/1.1 101", 0), 0u);
}

TEST_F (ServerThread, NextClientGetsOnlyAudioQueuedAfterItsHandshake)
{
    {
        LoopbackClient first;
        ASSERT_TRUE (connectClient (first));
        ASSERT_TRUE (waitUntil ([this] { return server.clientConnected.load(); }, 2000));
        first.close();
        ASSERT_TRUE (waitUntil ([this] { return ! server.clientConnected.load(); }, 3000));
    }

    // Audio left in the ring as if queued by a block that began while the first client was served.
    server.clientConnected = true;
    feed (500, 1000.0f);
    server.clientConnected = false;

    LoopbackClient second;
    ASSERT_TRUE (connectClient (second));
    ASSERT_TRUE (waitUntil ([this] { return server.clientConnected.load(); }, 2000));
    feed (200, 5.0f);
    const auto packet = readServerFrame (second);
    ASSERT_TRUE (packet.has_value());
    EXPECT_EQ (firstLeftSample (*packet), 5.0f);
}

TEST_F (ServerThread, SurvivesClientsThatResetTheConnection)
{
    struct Case { const char* name; std::function<void (ServerThread&, LoopbackClient&)> misbehave; };
    const Case cases[] = {
        { "right after the handshake", [] (ServerThread&, LoopbackClient&) {} },
        { "mid-stream", [] (ServerThread& t, LoopbackClient& c)
            {
                for (int i = 0; i < 20; ++i)
                    t.feed (512);
                readServerFrame (c);
            } },
        { "mid-frame", [] (ServerThread&, LoopbackClient& c)
            {
                const auto ping = clientFrame (0x89, Bytes (300, 1));
                c.send (Bytes (ping.begin(), ping.begin() + 40));
            } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        LoopbackClient client;
        ASSERT_TRUE (connectClient (client));
        ASSERT_TRUE (waitUntil ([this] { return server.clientConnected.load(); }, 2000));
        c.misbehave (*this, client);
        client.reset();

        // Keep audio flowing so that the server writes into the reset connection.
        waitUntil ([this] { feed (256); return ! server.clientConnected.load(); }, 5000);
        EXPECT_FALSE (server.clientConnected.load());

        LoopbackClient next;
        ASSERT_TRUE (connectClient (next));
        ASSERT_TRUE (waitUntil ([this] { return server.clientConnected.load(); }, 2000));
        feed (300, 42.0f);
        const auto packet = readServerFrame (next);
        ASSERT_TRUE (packet.has_value());
        EXPECT_EQ (firstLeftSample (*packet), 42.0f);
        next.close();
        ASSERT_TRUE (waitUntil ([this] { return ! server.clientConnected.load(); }, 3000));
    }
}

TEST_F (ServerThread, EndsAConnectionWhoseReaderStopsAndServesTheNext)
{
    LoopbackClient stalled;
    stalled.setReceiveBuffer (4096);
    ASSERT_TRUE (connectClient (stalled));
    ASSERT_TRUE (waitUntil ([this] { return server.clientConnected.load(); }, 2000));

    // Stream far more than the socket buffers hold; the client never reads.
    const bool ended = waitUntil ([this] { feed (4096); return ! server.clientConnected.load(); }, 15000);
    EXPECT_TRUE (ended);

    LoopbackClient next;
    ASSERT_TRUE (connectClient (next));
    ASSERT_TRUE (waitUntil ([this] { return server.clientConnected.load(); }, 2000));
    feed (300, 7.0f);
    const auto packet = readServerFrame (next);
    ASSERT_TRUE (packet.has_value());
    EXPECT_EQ (firstLeftSample (*packet), 7.0f);
}

TEST (ServerThreadPort, SecondServerWaitsThenTakesThePortWhenItIsFree)
{
    const int port = findFreePort();
    TestServer first, second;
    first.startOn (port);
    ASSERT_TRUE (waitUntil ([&] { return first.listening.load(); }, 3000));

    second.startOn (port);
    std::this_thread::sleep_for (std::chrono::milliseconds (1500));
    EXPECT_FALSE (second.listening.load());

    const auto released = nowMs();
    first.stop();
    ASSERT_TRUE (waitUntil ([&] { return second.listening.load(); }, 5000));
    const auto took = nowMs() - released;
    std::printf ("second server listening %.0f ms after the first stopped\n", took);
    EXPECT_LT (took, 2500.0);

    LoopbackClient client;
    ASSERT_TRUE (client.connect (port));
    client.send (upgradeRequest());
    EXPECT_EQ (client.readResponseHead().rfind ("HTTP/1.1 101", 0), 0u);
}

TEST (ServerThreadStop, ReturnsQuicklyFromEveryState)
{
    struct Case { const char* name; std::function<void (TestServer&, int, LoopbackClient&)> reach; };
    auto listen = [] (TestServer& s, int p) { s.startOn (p); waitUntil ([&] { return s.listening.load(); }, 3000); };
    auto stream = [listen] (TestServer& s, int p, LoopbackClient& c)
    {
        listen (s, p);
        c.connect (p);
        c.send (upgradeRequest());
        c.readResponseHead();
        waitUntil ([&] { return s.clientConnected.load(); }, 2000);
    };

    const Case cases[] = {
        { "never started", [] (TestServer&, int, LoopbackClient&) {} },
        { "accepting", [listen] (TestServer& s, int p, LoopbackClient&) { listen (s, p); } },
        { "retry wait", [] (TestServer& s, int p, LoopbackClient& c)
            {
                // Something else holds the port.
                juce::ignoreUnused (c);
                static juce::StreamingSocket holder;
                holder.close();
                holder.createListener (p, "127.0.0.1");
                s.startOn (p);
                std::this_thread::sleep_for (std::chrono::milliseconds (300));
            } },
        { "mid-handshake", [listen] (TestServer& s, int p, LoopbackClient& c)
            {
                listen (s, p);
                c.connect (p);
                c.send ("GET / HTTP/1.1\r\n");
                std::this_thread::sleep_for (std::chrono::milliseconds (300));
            } },
        { "streaming", [stream] (TestServer& s, int p, LoopbackClient& c)
            {
                stream (s, p, c);
                const auto tone = ramp (512, 0.0f, 0.001f);
                const float* ch[] = { tone.data(), tone.data() };
                for (int i = 0; i < 10; ++i)
                    s.pushAudio (ch, 2, 512, true);
            } },
        { "stalled reader (half a frame)", [stream] (TestServer& s, int p, LoopbackClient& c)
            {
                stream (s, p, c);
                const auto ping = clientFrame (0x89, Bytes (300, 1));
                c.send (Bytes (ping.begin(), ping.begin() + 40));
                std::this_thread::sleep_for (std::chrono::milliseconds (300));
            } },
        { "stalled writer (client never reads)", [stream] (TestServer& s, int p, LoopbackClient& c)
            {
                c.setReceiveBuffer (4096);
                stream (s, p, c);
                const auto tone = ramp (4096, 0.0f, 0.001f);
                const float* ch[] = { tone.data(), tone.data() };
                for (int i = 0; i < 40; ++i)
                {
                    s.pushAudio (ch, 2, 4096, true);
                    std::this_thread::sleep_for (std::chrono::milliseconds (10));
                }
            } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        const int port = findFreePort();
        TestServer server;
        LoopbackClient client;
        c.reach (server, port, client);

        const auto took = timeStop (server);
        std::printf ("stop from %s: %.1f ms\n", c.name, took);
        EXPECT_LT (took, kStopBoundMs);
        EXPECT_FALSE (server.isThreadRunning());
        EXPECT_FALSE (server.clientConnected.load());
        EXPECT_FALSE (server.listening.load());

        // A second stop returns at once.
        EXPECT_LT (timeStop (server), 50.0);
    }
}
