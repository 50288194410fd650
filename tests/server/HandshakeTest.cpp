#include "server/Handshake.h"
#include "server/LinkServer.h"
#include "support/LoopbackClient.h"

#include <gtest/gtest.h>

#include <future>

using namespace velmorine::test;

namespace
{
    const std::string k101For (const std::string& accept)
    {
        return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: "
               + accept + "\r\n\r\n";
    }

    const std::string k400 = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
    const std::string k403 = "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n";
    const std::string kSampleAccept = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";

    // The handshake of a server whose thread is not running, driven from the test's own thread
    // against one real loopback connection.
    struct Handshake : ::testing::Test
    {
        LinkServer server;
        SocketPair pair;

        void SetUp() override { ASSERT_TRUE (pair.ok()); }

        std::future<bool> startHandshake()
        {
            return std::async (std::launch::async, [this] { return server.performHandshake (*pair.server); });
        }

        // Sends the request, runs the handshake, and returns its result with every byte the
        // server sent before the connection was closed on its side.
        std::pair<bool, std::string> exchange (const std::string& request)
        {
            auto result = startHandshake();
            pair.client.send (request);
            const bool ok = result.get();

            if (! ok)
                pair.server->close();

            const auto bytes = pair.client.readFor (ok ? 300 : 3000);
            return { ok, std::string (bytes.begin(), bytes.end()) };
        }
    };
}

TEST_F (Handshake, AnswersTheRfcSampleKeyWithTheExact101)
{
    const auto [ok, response] = exchange (upgradeRequest());
    EXPECT_TRUE (ok);
    EXPECT_EQ (response, k101For (kSampleAccept));
    EXPECT_EQ (response.size(), 129u);
}

TEST_F (Handshake, AnswersARequestWithoutKeyWithTheExact400)
{
    const auto [ok, response] = exchange ("GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\n\r\n");
    EXPECT_FALSE (ok);
    EXPECT_EQ (response, k400);
    EXPECT_EQ (response.size(), 47u);
}

TEST_F (Handshake, CompletesARequestSentOneByteAtATime)
{
    auto result = startHandshake();
    for (char c : upgradeRequest())
    {
        ASSERT_TRUE (pair.client.send (&c, 1));
        std::this_thread::sleep_for (std::chrono::milliseconds (2));
    }
    EXPECT_TRUE (result.get());
    EXPECT_EQ (pair.client.readResponseHead(), k101For (kSampleAccept));
}

TEST_F (Handshake, ReadsTheKeyLineByItsRules)
{
    struct Case { const char* name; std::string headers; bool accepted; std::string key; };
    const Case cases[] = {
        { "any letter case", "sEC-wEBsOCKET-kEY: abc\r\n", true, "abc" },
        { "later key wins", "Sec-WebSocket-Key: first\r\nSec-WebSocket-Key: second\r\n", true, "second" },
        { "later empty key wins", "Sec-WebSocket-Key: first\r\nSec-WebSocket-Key:   \r\n", false, "" },
        { "blanks and tabs trimmed", "Sec-WebSocket-Key: \t abc \t\r\n", true, "abc" },
        { "colons stay in the value", "Sec-WebSocket-Key: a:b:c\r\n", true, "a:b:c" },
        { "blank before the colon", "Sec-WebSocket-Key : abc\r\n", false, "" },
        { "blank at line start", " Sec-WebSocket-Key: abc\r\n", false, "" },
        { "any text is a key", "Sec-WebSocket-Key: not base64 at all!\r\n", true, "not base64 at all!" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        LinkServer server2;
        SocketPair p;
        ASSERT_TRUE (p.ok());
        auto result = std::async (std::launch::async, [&] { return server2.performHandshake (*p.server); });
        p.client.send ("PATCH /anything HTTP/0.9\r\n" + c.headers + "\r\n");
        EXPECT_EQ (result.get(), c.accepted);
        p.server->close();
        const auto bytes = p.client.readFor (2000);
        EXPECT_EQ (std::string (bytes.begin(), bytes.end()), c.accepted ? k101For (webSocketAcceptValue (c.key).toStdString()) : k400);
    }
}

TEST_F (Handshake, EndsTheTextAtANulByte)
{
    std::string request = "GET / HTTP/1.1\r\nX: a";
    request += '\0';
    request += "\r\nSec-WebSocket-Key: abc\r\n\r\n";
    const auto [ok, response] = exchange (request);
    EXPECT_FALSE (ok);
    EXPECT_EQ (response, k400);
}

TEST_F (Handshake, TakesAKeyThatArrivedBehindTheBlankLineInTheSameRead)
{
    const auto [ok, response] = exchange ("GET / HTTP/1.1\r\n\r\nSec-WebSocket-Key: late\r\n");
    EXPECT_TRUE (ok);
    EXPECT_EQ (response, k101For (webSocketAcceptValue ("late").toStdString()));
}

TEST_F (Handshake, GivesUpSilentlyWhenTheRequestNeverCompletes)
{
    struct Case { const char* name; std::string sent; };
    const Case cases[] = {
        { "bare line feeds", "GET / HTTP/1.1\nSec-WebSocket-Key: abc\n\n" },
        { "nothing at all", "" },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        LinkServer server2;
        SocketPair p;
        ASSERT_TRUE (p.ok());
        const auto start = nowMs();
        auto result = std::async (std::launch::async, [&] { return server2.performHandshake (*p.server); });
        p.client.send (c.sent);
        EXPECT_FALSE (result.get());
        const auto took = nowMs() - start;
        EXPECT_GE (took, 2900.0);   // the deadline, not earlier
        EXPECT_LT (took, 10000.0);
        p.server->close();
        EXPECT_TRUE (p.client.readFor (1000).empty());
    }
}

TEST_F (Handshake, RefusesARequestLargerThanTheCap)
{
    auto result = startHandshake();
    const std::string filler (20000, 'x');
    pair.client.send ("GET / HTTP/1.1\r\nX-Filler: " + filler);
    EXPECT_FALSE (result.get());
    pair.server->close();
    EXPECT_TRUE (pair.client.readFor (1000).empty());
}

TEST_F (Handshake, FailsAtOnceWhenThePeerLeaves)
{
    auto result = startHandshake();
    pair.client.send ("GET / HTTP/1.1\r\n");
    pair.client.close();
    const auto start = nowMs();
    EXPECT_FALSE (result.get());
    EXPECT_LT (nowMs() - start, 2000.0);
}

TEST_F (Handshake, EndsAtOnceWhenTheServerIsAskedToExit)
{
    auto result = startHandshake();
    pair.client.send ("GET / HTTP/1.1\r\n");
    std::this_thread::sleep_for (std::chrono::milliseconds (200));
    const auto start = nowMs();
    server.signalThreadShouldExit();
    EXPECT_FALSE (result.get());
    EXPECT_LT (nowMs() - start, 1000.0);
}

namespace
{
    struct OriginCase
    {
        const char* origin;
        bool allowed;
    };

    void PrintTo (const OriginCase& c, std::ostream* os) { *os << c.origin; }

    class HandshakeOrigin : public ::testing::TestWithParam<OriginCase> {};

    const OriginCase kOrigins[] = {
        { "http://localhost", true },
        { "http://localhost:8080", true },
        { "HTTPS://LOCALHOST:443", true },
        { "http://app.localhost:3000", true },
        { "ws://127.0.0.1:47800", true },
        { "wss://127.255.0.7", true },
        { "http://[::1]:5173", true },
        { "http://[::1]", true },
        { "file://", true },
        { "file:///home/user/page.html", true },
        { "chrome-extension://abcdefghijklmnop", true },
        { "app://velmorine", true },
        { "", true },
        { "null", false },
        { "NULL", false },
        { "http://evil.example", false },
        { "https://velmorine.example:443", false },
        { "http://localhost.evil.example", false },
        { "http://evillocalhost", false },
        { "http://.localhost", false },
        { "http://128.0.0.1", false },
        { "http://127.0.0.1.evil.example", false },
        { "http://127.0.0.256", false },
        { "http://127.1", false },
        { "http://192.168.1.10", false },
        { "http://[::2]", false },
        { "http://[::1].evil.example", false },
        { "http://localhost@evil.example", false },
        { "ws://0.0.0.0", false },
    };
}

TEST_P (HandshakeOrigin, LetsOnlyThisComputersPagesIn)
{
    EXPECT_EQ (isOriginAllowed (GetParam().origin), GetParam().allowed);
}

INSTANTIATE_TEST_SUITE_P (Table, HandshakeOrigin, ::testing::ValuesIn (kOrigins));

TEST_F (Handshake, AnswersAForeignOriginWithTheExact403)
{
    struct Case { const char* header; bool accepted; };
    const Case cases[] = {
        { "Origin: http://evil.example\r\n", false },
        { "origin: null\r\n", false },
        { "ORIGIN:   https://evil.example   \r\n", false },
        { "Origin: http://localhost:8000\r\n", true },
        { "Origin: http://localhost\r\nOrigin: http://evil.example\r\n", false },
        { "", true },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.header);
        LinkServer server2;
        SocketPair p;
        ASSERT_TRUE (p.ok());
        auto result = std::async (std::launch::async, [&] { return server2.performHandshake (*p.server); });
        p.client.send (upgradeRequest ("dGhlIHNhbXBsZSBub25jZQ==", c.header));
        EXPECT_EQ (result.get(), c.accepted);
        p.server->close();
        const auto bytes = p.client.readFor (2000);
        EXPECT_EQ (std::string (bytes.begin(), bytes.end()), c.accepted ? k101For (kSampleAccept) : k403);
    }
}
