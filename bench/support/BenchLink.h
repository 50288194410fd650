#pragma once

#include "server/LinkServer.h"
#include "support/LoopbackClient.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <pthread.h>
#include <sched.h>
#include <thread>
#include <vector>

// What the benchmark programs share: a link server on a port of their own (never the plug-in's
// 47800, which other programs on this machine may be using), and a client on loopback that reads
// the stream as the app would, as fast as it can.
namespace velmorine::bench
{
    namespace wire = velmorine::wire;

    using Clock = std::chrono::steady_clock;

    inline double secondsSince (Clock::time_point start)
    {
        return std::chrono::duration<double> (Clock::now() - start).count();
    }

    // Puts a thread on one CPU. The audio benchmarks keep the audio thread on CPU 0 and
    // everything that reads the ring (the server thread, the client, a baseline's reader) on CPU 1,
    // as a host's audio thread and the plug-in's server thread would sit on a two-core machine;
    // without it, the scheduler's choice of core would decide what is in whose cache.
    inline bool pinToCpu (pthread_t thread, int cpu)
    {
        if (cpu >= (int) std::thread::hardware_concurrency())
            return false;

        cpu_set_t set;
        CPU_ZERO (&set);
        CPU_SET ((size_t) cpu, &set);
        return pthread_setaffinity_np (thread, sizeof (set), &set) == 0;
    }

    inline bool pinToCpu (const juce::Thread& thread, int cpu)
    {
        return thread.getThreadId() != nullptr && pinToCpu ((pthread_t) thread.getThreadId(), cpu);
    }

    struct BenchServer : LinkServer
    {
        void startOn (int newPort)
        {
            port = newPort;
            startThread();
        }
    };

    inline bool waitFor (const std::function<bool()>& condition, int timeoutMs)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds (timeoutMs);

        while (Clock::now() < deadline)
        {
            if (condition())
                return true;

            std::this_thread::sleep_for (std::chrono::milliseconds (1));
        }

        return condition();
    }

    // Starts a server of ours on a free loopback port and waits until it listens.
    inline int startOnFreePort (LinkServer& server)
    {
        const auto port = velmorine::test::findFreePort();
        server.port = port;
        server.startThread();
        return waitFor ([&server] { return server.listening.load(); }, 5000) ? port : -1;
    }

    // A frame's samples carry its number, so that the reader knows which push queued it: the left
    // sample holds the number's bits, the right one their complement. The link never does
    // arithmetic on samples, so any bit pattern arrives as it was fed.
    inline float indexBits (std::uint32_t index)
    {
        float f;
        std::memcpy (&f, &index, 4);
        return f;
    }

    inline std::uint32_t bitsOf (const std::uint8_t* p)
    {
        std::uint32_t v;
        std::memcpy (&v, p, 4);
        return v;
    }

    // The app's side: connects, completes the handshake, then reads every audio packet on a thread
    // of its own with a large buffer and hands each one, with the time its last byte arrived, to
    // onPacket. Reading stops when stop() is called or the server closes the connection.
    class StreamReader
    {
    public:
        using PacketFn = std::function<void (const std::uint8_t* frames, int numFrames, Clock::time_point arrival)>;

        bool connect (int port, PacketFn callback)
        {
            onPacket = std::move (callback);

            if (! client.connect (port) || ! client.send (velmorine::test::upgradeRequest()))
                return false;

            if (client.readResponseHead().rfind ("HTTP/1.1 101", 0) != 0)
                return false;

            running = true;
            reader = std::thread ([this] { readLoop(); });
            return true;
        }

        void pinTo (int cpu)
        {
            if (reader.joinable())
                pinToCpu (reader.native_handle(), cpu);
        }

        void stop()
        {
            running = false;

            if (reader.joinable())
                reader.join();

            client.close();
        }

        ~StreamReader() { stop(); }

        std::atomic<std::uint64_t> packets { 0 };
        std::atomic<std::uint64_t> frames { 0 };
        std::atomic<bool> malformed { false };

    private:
        void readLoop()
        {
            buffer.resize (1 << 20);
            size_t filled = 0;

            while (running)
            {
                if (! client.waitReadable (20))
                    continue;

                const auto got = ::recv (client.fd, buffer.data() + filled, buffer.size() - filled, 0);

                if (got <= 0)
                    break;

                const auto arrival = Clock::now();
                filled += (size_t) got;
                const auto used = parse (filled, arrival);
                std::memmove (buffer.data(), buffer.data() + used, filled - used);
                filled -= used;
            }
        }

        // Hands on every whole frame in the buffer; returns how many bytes they took.
        size_t parse (size_t filled, Clock::time_point arrival)
        {
            size_t pos = 0;

            for (;;)
            {
                if (filled - pos < 2)
                    return pos;

                const auto* p = buffer.data() + pos;
                size_t headerLength = 2;
                size_t length = p[1] & 0x7f;

                if (length == 126)
                {
                    if (filled - pos < 4)
                        return pos;

                    length = (size_t) p[2] << 8 | p[3];
                    headerLength = 4;
                }
                else if (length == 127)
                {
                    malformed = true;   // no audio packet needs the 64-bit length
                    running = false;
                    return filled;
                }

                if (filled - pos < headerLength + length)
                    return pos;

                const auto* payload = p + headerLength;

                if (p[0] == 0x82 && length >= (size_t) wire::kPacketHeaderBytes)
                {
                    const auto n = (int) bitsOf (payload + wire::kOffsetFrameCount);

                    if ((size_t) wire::kPacketHeaderBytes + (size_t) n * wire::kBytesPerFrame != length)
                        malformed = true;
                    else
                        onPacket (payload + wire::kPacketHeaderBytes, n, arrival);

                    packets.fetch_add (1, std::memory_order_relaxed);
                    frames.fetch_add ((std::uint64_t) n, std::memory_order_relaxed);
                }

                pos += headerLength + length;
            }
        }

        velmorine::test::LoopbackClient client;
        PacketFn onPacket;
        std::vector<std::uint8_t> buffer;
        std::atomic<bool> running { false };
        std::thread reader;
    };
}
