#pragma once

#include <juce_core/juce_core.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>

// One real loopback connection per input: the fuzzer writes the input into the client end and
// shuts it for writing, so the server's code reads real socket data and then the peer's close.
struct FuzzSocketPair
{
    FuzzSocketPair()
    {
        static juce::StreamingSocket listener;
        static const int port = []
        {
            for (int p = 47900; p < 48900; ++p)
                if (listener.createListener (p, "127.0.0.1"))
                    return p;
            return -1;
        }();

        client = ::socket (AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons ((uint16_t) port);
        addr.sin_addr.s_addr = htonl (INADDR_LOOPBACK);
        int big = 1 << 20;
        ::setsockopt (client, SOL_SOCKET, SO_SNDBUF, &big, sizeof (big));

        if (port > 0 && ::connect (client, (sockaddr*) &addr, sizeof (addr)) == 0)
            server.reset (listener.waitForNextConnection());
    }

    ~FuzzSocketPair()
    {
        server.reset();
        ::close (client);
    }

    bool ok() const { return server != nullptr; }

    // Writes the chunks with a short pause between them, so that they arrive as separate reads.
    void sendInChunks (const std::uint8_t* data, size_t size, size_t chunk)
    {
        for (size_t done = 0; done < size;)
        {
            const auto n = std::min (chunk, size - done);
            const auto sent = ::send (client, data + done, n, MSG_NOSIGNAL);
            if (sent <= 0)
                break;
            done += (size_t) sent;
        }

        ::shutdown (client, SHUT_WR);
    }

    int unreadByServer() const
    {
        int n = 0;
        ::ioctl (server->getRawSocketHandle(), FIONREAD, &n);
        return n;
    }

    // Everything the server has sent. Its writes are complete when its call returns, and on
    // loopback the bytes are then already here; they are taken before the server's end closes,
    // because closing with unread input resets the connection and may drop them.
    std::string takeServerOutput()
    {
        std::string out;
        char buffer[65536];

        for (;;)
        {
            const auto n = ::recv (client, buffer, sizeof (buffer), MSG_DONTWAIT);
            if (n <= 0)
                break;
            out.append (buffer, (size_t) n);
        }

        server->close();
        return out;
    }

    int client = -1;
    std::unique_ptr<juce::StreamingSocket> server;
};
