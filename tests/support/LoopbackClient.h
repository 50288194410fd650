#pragma once

#include <juce_core/juce_core.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace velmorine::test
{
    using Bytes = std::vector<std::uint8_t>;

    inline double nowMs()
    {
        return juce::Time::getMillisecondCounterHiRes();
    }

    // A plain BSD-socket client on loopback: the app's side of a connection, written without any of
    // the server's code so that it checks the server's bytes independently.
    class LoopbackClient
    {
    public:
        LoopbackClient() = default;
        ~LoopbackClient() { close(); }
        LoopbackClient (const LoopbackClient&) = delete;
        LoopbackClient& operator= (const LoopbackClient&) = delete;

        bool connect (int port, int timeoutMs = 3000, const char* address = "127.0.0.1")
        {
            const auto deadline = nowMs() + timeoutMs;

            while (nowMs() < deadline)
            {
                close();
                fd = ::socket (AF_INET, SOCK_STREAM, 0);
                sockaddr_in addr {};
                addr.sin_family = AF_INET;
                addr.sin_port = htons ((uint16_t) port);
                ::inet_pton (AF_INET, address, &addr.sin_addr);

                if (::connect (fd, (sockaddr*) &addr, sizeof (addr)) == 0)
                {
                    int one = 1;
                    ::setsockopt (fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof (one));
                    return true;
                }

                std::this_thread::sleep_for (std::chrono::milliseconds (20));
            }

            close();
            return false;
        }

        bool isOpen() const { return fd >= 0; }

        bool send (const void* data, size_t size)
        {
            auto* p = static_cast<const char*> (data);

            while (size > 0)
            {
                const auto n = ::send (fd, p, size, MSG_NOSIGNAL);
                if (n <= 0)
                    return false;
                p += n;
                size -= (size_t) n;
            }

            return true;
        }

        bool send (const std::string& s) { return send (s.data(), s.size()); }
        bool send (const Bytes& b) { return send (b.data(), b.size()); }

        // Reads exactly n bytes; nullopt on time-out or when the peer closes first.
        std::optional<Bytes> readExactly (size_t n, int timeoutMs = 3000)
        {
            Bytes out (n);
            size_t got = 0;
            const auto deadline = nowMs() + timeoutMs;

            while (got < n)
            {
                const auto left = (int) (deadline - nowMs());
                if (left <= 0 || ! waitReadable (left))
                    return std::nullopt;

                const auto r = ::recv (fd, out.data() + got, n - got, 0);
                if (r <= 0)
                    return std::nullopt;
                got += (size_t) r;
            }

            return out;
        }

        // Everything that arrives within the time, stopping early when the peer closes.
        Bytes readFor (int timeoutMs)
        {
            Bytes out;
            const auto deadline = nowMs() + timeoutMs;
            std::uint8_t buffer[65536];

            for (;;)
            {
                const auto left = (int) (deadline - nowMs());
                if (left <= 0 || ! waitReadable (left))
                    break;

                const auto r = ::recv (fd, buffer, sizeof (buffer), 0);
                if (r <= 0)
                    break;
                out.insert (out.end(), buffer, buffer + r);
            }

            return out;
        }

        // The HTTP response head up to and including the blank line; empty if none came.
        std::string readResponseHead (int timeoutMs = 5000)
        {
            std::string head;
            const auto deadline = nowMs() + timeoutMs;

            while (head.find ("\r\n\r\n") == std::string::npos)
            {
                const auto left = (int) (deadline - nowMs());
                char c;
                if (left <= 0 || ! waitReadable (left) || ::recv (fd, &c, 1, 0) != 1)
                    break;
                head += c;
            }

            return head;
        }

        // True when the peer closed (or reset) the connection within the time.
        bool waitForClose (int timeoutMs)
        {
            const auto deadline = nowMs() + timeoutMs;
            std::uint8_t buffer[4096];

            for (;;)
            {
                const auto left = (int) (deadline - nowMs());
                if (left <= 0 || ! waitReadable (left))
                    return false;

                const auto r = ::recv (fd, buffer, sizeof (buffer), 0);
                if (r <= 0)
                    return true;
            }
        }

        bool waitReadable (int timeoutMs)
        {
            pollfd p { fd, POLLIN, 0 };
            return ::poll (&p, 1, timeoutMs) > 0;
        }

        // Ends the connection with a TCP reset instead of an orderly close.
        void reset()
        {
            if (fd < 0)
                return;
            linger l { 1, 0 };
            ::setsockopt (fd, SOL_SOCKET, SO_LINGER, &l, sizeof (l));
            close();
        }

        void setReceiveBuffer (int bytes)
        {
            ::setsockopt (fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof (bytes));
        }

        void close()
        {
            if (fd >= 0)
                ::close (fd);
            fd = -1;
        }

        int fd = -1;
    };

    inline std::string upgradeRequest (const std::string& key = "dGhlIHNhbXBsZSBub25jZQ==", const std::string& extraHeaders = {})
    {
        return "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
               "Sec-WebSocket-Key: " + key + "\r\nSec-WebSocket-Version: 13\r\n" + extraHeaders + "\r\n";
    }

    // A client frame, masked as RFC 6455 asks of clients unless told otherwise.
    inline Bytes clientFrame (std::uint8_t firstByte, const Bytes& payload, bool masked = true, int forceLengthForm = 0)
    {
        Bytes frame { firstByte };
        const std::uint8_t maskBit = masked ? 0x80 : 0;
        const auto n = payload.size();

        if ((n < 126 && forceLengthForm == 0) || forceLengthForm == 7)
        {
            frame.push_back ((std::uint8_t) (maskBit | n));
        }
        else if ((n <= 65535 && forceLengthForm == 0) || forceLengthForm == 16)
        {
            frame.push_back ((std::uint8_t) (maskBit | 126));
            frame.push_back ((std::uint8_t) (n >> 8));
            frame.push_back ((std::uint8_t) n);
        }
        else
        {
            frame.push_back ((std::uint8_t) (maskBit | 127));
            for (int i = 7; i >= 0; --i)
                frame.push_back ((std::uint8_t) ((std::uint64_t) n >> (8 * i)));
        }

        const std::uint8_t key[4] = { 0x37, 0xfa, 0x21, 0x3d };
        if (masked)
            frame.insert (frame.end(), key, key + 4);

        for (size_t i = 0; i < n; ++i)
            frame.push_back (masked ? (std::uint8_t) (payload[i] ^ key[i % 4]) : payload[i]);

        return frame;
    }

    struct ServerFrame
    {
        std::uint8_t firstByte = 0;
        Bytes header;     // every header byte as sent
        Bytes payload;
    };

    // Reads one unmasked frame from the server.
    inline std::optional<ServerFrame> readServerFrame (LoopbackClient& client, int timeoutMs = 3000)
    {
        ServerFrame f;
        auto head = client.readExactly (2, timeoutMs);
        if (! head)
            return std::nullopt;

        f.header = *head;
        f.firstByte = (*head)[0];
        std::uint64_t length = (*head)[1] & 0x7f;

        if (length >= 126)
        {
            auto ext = client.readExactly (length == 126 ? 2 : 8, timeoutMs);
            if (! ext)
                return std::nullopt;
            f.header.insert (f.header.end(), ext->begin(), ext->end());
            length = 0;
            for (auto b : *ext)
                length = (length << 8) | b;
        }

        if (length > 0)
        {
            auto payload = client.readExactly ((size_t) length, timeoutMs);
            if (! payload)
                return std::nullopt;
            f.payload = std::move (*payload);
        }

        return f;
    }

    // A free TCP port on 127.0.0.1, found by binding port 0 and letting it go again.
    inline int findFreePort()
    {
        const int fd = ::socket (AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl (INADDR_LOOPBACK);
        ::bind (fd, (sockaddr*) &addr, sizeof (addr));
        socklen_t len = sizeof (addr);
        ::getsockname (fd, (sockaddr*) &addr, &len);
        ::close (fd);
        return ntohs (addr.sin_port);
    }

    // One accepted connection: the server's end as the JUCE socket the server code works on,
    // and the client's end as a plain socket.
    struct SocketPair
    {
        SocketPair()
        {
            juce::StreamingSocket listener;
            const auto port = findFreePort();

            if (listener.createListener (port, "127.0.0.1") && client.connect (port))
                server.reset (listener.waitForNextConnection());
        }

        bool ok() const { return server != nullptr && client.isOpen(); }

        LoopbackClient client;
        std::unique_ptr<juce::StreamingSocket> server;
    };
}
