// The stream's own figures, each beside a baseline measured in the same run:
//   latency     added delay per frame, from the pushAudio call that queued it to the arrival of
//               its packet, at real-time pace, against the delay that the pacing rule alone sets
//   cpu         the server thread's CPU time per second of wall time, against a bare thread that
//               only sleeps the client loop's 2 ms wait
//   throughput  how many times real time the link carries without losing a frame, against bare
//               loopback TCP carrying messages of the same size
//   alloc       heap allocations on the audio thread per block and on the server thread per packet
// Every server here listens on a free loopback port of its own, never on the plug-in's port.

#include "support/AllocationCounter.h"
#include "support/BenchLink.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace
{
    using namespace velmorine::bench;
    namespace allocations = velmorine::bench::allocations;

    constexpr double kRate = 48000.0;

    struct Options
    {
        std::string mode;
        double seconds = 20.0;
        std::vector<int> blocks { 32, 64, 128, 256, 512, 1024 };
        std::string jsonPath;
    };

    // Figures gathered as JSON members for scripts/bench, and printed as they come.
    struct Results
    {
        void add (const std::string& key, double value)
        {
            char text[64];
            std::snprintf (text, sizeof (text), "%.6g", std::isfinite (value) ? value : -1.0);
            members.push_back ("\"" + key + "\": " + text);
        }

        bool write (const std::string& path) const
        {
            if (path.empty())
                return true;

            auto* f = std::fopen (path.c_str(), "w");

            if (f == nullptr)
                return false;

            std::fprintf (f, "{\n");

            for (size_t i = 0; i < members.size(); ++i)
                std::fprintf (f, "  %s%s\n", members[i].c_str(), i + 1 < members.size() ? "," : "");

            std::fprintf (f, "}\n");
            return std::fclose (f) == 0;
        }

        std::vector<std::string> members;
    };

    double percentile (std::vector<double>& sorted, double p)
    {
        if (sorted.empty())
            return NAN;

        const auto index = (size_t) std::ceil (p / 100.0 * (double) sorted.size()) - (p > 0.0 ? 1 : 0);
        return sorted[std::min (index, sorted.size() - 1)];
    }

    double threadCpuSeconds (clockid_t clock)
    {
        timespec ts {};
        clock_gettime (clock, &ts);
        return (double) ts.tv_sec + 1.0e-9 * (double) ts.tv_nsec;
    }

    // The CPU clock (CLOCK_THREAD_CPUTIME_ID as seen from outside) of a running juce::Thread.
    bool cpuClockOf (const juce::Thread& thread, clockid_t& clock)
    {
        if (! waitFor ([&thread] { return thread.getThreadId() != nullptr; }, 3000))
            return false;

        return pthread_getcpuclockid ((pthread_t) thread.getThreadId(), &clock) == 0;
    }

    // Plays the host's part: blocks of numbered frames handed to pushAudio, at real-time pace
    // (absolute deadlines, so that late wake-ups do not accumulate) or as fast as the ring takes
    // them. Every frame's samples carry its number (indexBits).
    struct Producer
    {
        Producer (LinkServer& s, int blockSize)
            : server (s), block (blockSize), left ((size_t) blockSize), right ((size_t) blockSize)
        {
            channels[0] = left.data();
            channels[1] = right.data();
        }

        void fill (std::uint32_t firstFrame)
        {
            for (int i = 0; i < block; ++i)
            {
                const auto index = firstFrame + (std::uint32_t) i;
                left[(size_t) i] = indexBits (index);
                right[(size_t) i] = indexBits (~index);
            }
        }

        // Pushes numBlocks blocks at real-time pace, noting when each call began.
        void runPaced (int numBlocks, std::vector<Clock::time_point>* pushTimes, bool countAllocations)
        {
            const auto period = std::chrono::duration<double> ((double) block / kRate);
            const auto start = Clock::now() + std::chrono::milliseconds (20);

            for (int k = 0; k < numBlocks; ++k)
            {
                fill ((std::uint32_t) k * (std::uint32_t) block);
                std::this_thread::sleep_until (start + std::chrono::duration_cast<Clock::duration> (period * k));

                if (pushTimes != nullptr)
                    (*pushTimes)[(size_t) k] = Clock::now();

                if (countAllocations)
                    allocations::watch (allocations::audioThread, pthread_self());

                server.pushAudio (channels, 2, block, true);

                if (countAllocations)
                    allocations::watch (allocations::audioThread, 0);
            }
        }

        // Pushes as fast as the ring takes whole blocks, for the given time; returns the frames
        // pushed. It waits for room rather than let the ring drop a block.
        std::uint64_t runUnpaced (double seconds)
        {
            const auto start = Clock::now();
            std::uint32_t next = 0;

            while (secondsSince (start) < seconds)
            {
                if (server.captureFifo.getFreeSpace() < block)
                {
                    std::this_thread::sleep_for (std::chrono::microseconds (100));
                    continue;
                }

                fill (next);
                server.pushAudio (channels, 2, block, true);
                next += (std::uint32_t) block;
            }

            return next;
        }

        LinkServer& server;
        int block;
        std::vector<float> left, right;
        const float* channels[2] {};
    };

    //==============================================================================
    // The longest delay per frame that the pacing rule alone would set if the server looked at
    // the ring continuously: a packet leaves as soon as 128 frames wait, or once at least one
    // frame waits and more than 10 ms have passed since the last packet. Blocks arrive every
    // block / 48000 s; the result is the distribution of each frame's wait, in ms.
    std::vector<double> pacingFloorMs (int block, int numBlocks)
    {
        std::vector<double> delays;
        delays.reserve ((size_t) block * (size_t) numBlocks);
        const auto period = 1000.0 * block / kRate;
        std::vector<double> waiting;   // push time of each waiting frame
        double lastPacket = 0.0;

        auto sendAll = [&] (double when)
        {
            for (auto t : waiting)
                delays.push_back (when - t);

            waiting.clear();
            lastPacket = when;
        };

        for (int k = 0; k < numBlocks; ++k)
        {
            const auto t = period * k;

            // The 10 ms rule fires between two pushes if frames have waited long enough.
            if (! waiting.empty() && lastPacket + wire::kPacketDueMs < t)
                sendAll (juce::jmax (lastPacket + wire::kPacketDueMs, waiting.front()));

            waiting.insert (waiting.end(), (size_t) block, t);

            if ((int) waiting.size() >= wire::kPacketDueFrames)
                sendAll (t);
        }

        return delays;
    }

    struct Packet
    {
        std::uint32_t first;
        int frames;
        Clock::time_point arrival;
    };

    // How long the client loop's 2 ms wait really lasts here: the turn that the pacing adds on
    // top of the rule. Measured on a bare juce::Thread, whose CPU time is also the cost of that
    // wait alone.
    struct BareTurnThread : juce::Thread
    {
        explicit BareTurnThread (int ms = wire::kClientLoopWaitMs) : juce::Thread ("bare wait"), waitMs (ms) {}

        void run() override
        {
            turns.reserve (200000);

            while (! threadShouldExit())
            {
                const auto start = Clock::now();
                wait (waitMs);

                if (turns.size() < turns.capacity())
                    turns.push_back (std::chrono::duration<double, std::milli> (Clock::now() - start).count());
            }
        }

        const int waitMs;
        std::vector<double> turns;
    };

    bool measureLatency (const Options& options, Results& results)
    {
        std::printf ("latency: %.0f s per block size at 48000 Hz, stereo, real-time pace\n", options.seconds);
        std::printf ("  %6s %9s %9s %9s %11s %12s %14s %s\n", "block", "p50 ms", "p99 ms", "max ms", "floor ms", "p99-floor", "2 ms turn p99", "frames lost");

        bool ok = true;

        for (const auto block : options.blocks)
        {
            BenchServer server;
            const auto port = startOnFreePort (server);
            const auto numBlocks = juce::jmax (1, (int) (options.seconds * kRate / block));
            std::vector<Clock::time_point> pushTimes ((size_t) numBlocks);
            std::vector<Packet> packets;
            packets.reserve ((size_t) (options.seconds * 1000.0) + (size_t) numBlocks + 1000);
            bool overflow = false;

            StreamReader reader;

            if (port < 0 || ! reader.connect (port, [&] (const std::uint8_t* frames, int n, Clock::time_point arrival)
                {
                    if (packets.size() == packets.capacity())
                        overflow = true;
                    else
                        packets.push_back ({ bitsOf (frames), n, arrival });
                })
                || ! waitFor ([&server] { return server.clientConnected.load(); }, 3000))
            {
                std::printf ("  %6d could not connect\n", block);
                return false;
            }

            // Beside it, a bare thread doing nothing but the client loop's 2 ms wait: how long one
            // turn of the design's wait lasts on this machine during this very measurement.
            BareTurnThread turnThread;
            turnThread.startThread();

            Producer producer (server, block);
            std::thread audio ([&] { producer.runPaced (numBlocks, &pushTimes, false); });
            audio.join();
            turnThread.stopThread (1000);
            std::sort (turnThread.turns.begin(), turnThread.turns.end());
            const auto turnP99 = percentile (turnThread.turns, 99.0);

            const auto total = (std::uint64_t) numBlocks * (std::uint64_t) block;
            waitFor ([&] { return reader.frames.load() >= total; }, 2000);
            reader.stop();
            server.stop();

            // Per frame: arrival of its packet minus the start of the push that queued it. The
            // first 250 ms are left out: the connection is new and the caches are cold.
            std::vector<double> latencies;
            latencies.reserve ((size_t) total);
            const auto skipFrames = (std::uint64_t) (0.25 * kRate);
            std::uint64_t expected = 0, lost = 0;

            for (const auto& p : packets)
            {
                if (p.first != expected)
                    lost += p.first > expected ? p.first - expected : 0;

                for (int i = 0; i < p.frames; ++i)
                {
                    const auto index = (std::uint64_t) p.first + (std::uint64_t) i;

                    if (index >= skipFrames && index < total)
                        latencies.push_back (std::chrono::duration<double, std::milli> (p.arrival - pushTimes[(size_t) (index / (std::uint64_t) block)]).count());
                }

                expected = (std::uint64_t) p.first + (std::uint64_t) p.frames;
            }

            lost += total > expected ? total - expected : 0;
            std::sort (latencies.begin(), latencies.end());
            auto floor = pacingFloorMs (block, numBlocks);
            std::sort (floor.begin(), floor.end());

            const auto p50 = percentile (latencies, 50.0), p99 = percentile (latencies, 99.0);
            const auto max = latencies.empty() ? NAN : latencies.back();
            const auto floorP99 = percentile (floor, 99.0);
            std::printf ("  %6d %9.3f %9.3f %9.3f %11.3f %12.3f %14.3f %llu%s\n", block, p50, p99, max, floorP99,
                         p99 - floorP99, turnP99, (unsigned long long) lost, overflow || reader.malformed ? " (record overflow or malformed packet)" : "");

            const auto prefix = "latency." + std::to_string (block) + ".";
            results.add (prefix + "p50_ms", p50);
            results.add (prefix + "p99_ms", p99);
            results.add (prefix + "max_ms", max);
            results.add (prefix + "floor_p50_ms", percentile (floor, 50.0));
            results.add (prefix + "floor_p99_ms", floorP99);
            results.add (prefix + "floor_max_ms", floor.empty() ? NAN : floor.back());
            results.add (prefix + "frames", (double) latencies.size());
            results.add (prefix + "lost", (double) lost);
            results.add (prefix + "turn_p99_ms", turnP99);
            ok = ok && latencies.size() > 0 && ! overflow && ! reader.malformed;
        }

        return ok;
    }

    bool measureCpu (const Options& options, Results& results)
    {
        const auto seconds = options.seconds;
        std::printf ("server thread CPU time per wall second (%% of one core), %.0f s each, median of 5 slices\n", seconds);
        constexpr int kStreamBlock = 256;

        // CPU time per wall second over five slices of the measurement, and their median: this
        // kernel charges interrupts to whichever thread they interrupt, so a burst of someone
        // else's work can land on one slice, and the median leaves it out.
        auto measure = [&] (const juce::Thread& thread, const std::function<void (double)>& during, double& percent)
        {
            clockid_t clock {};

            if (! cpuClockOf (thread, clock))
                return false;

            // Steady state only: the state's first moments (a bind, a handshake) are not idling.
            std::this_thread::sleep_for (std::chrono::milliseconds (300));
            constexpr int kSlices = 5;
            std::vector<double> slices;

            for (int i = 0; i < kSlices; ++i)
            {
                const auto cpu0 = threadCpuSeconds (clock);
                const auto wall0 = Clock::now();
                during (seconds / kSlices);
                slices.push_back (100.0 * (threadCpuSeconds (clock) - cpu0) / secondsSince (wall0));
            }

            std::sort (slices.begin(), slices.end());
            percent = percentile (slices, 50.0);
            return true;
        };

        auto sleepFor = [] (double slice) { std::this_thread::sleep_for (std::chrono::duration<double> (slice)); };

        double bare = 0.0, idle = 0.0, connected = 0.0, streaming = 0.0;
        std::vector<double> turns;

        {
            BareTurnThread thread;
            thread.startThread();
            const auto ok = measure (thread, sleepFor, bare);
            thread.stopThread (1000);
            turns = thread.turns;

            if (! ok)
                return false;
        }

        // The idle server's own baseline: a bare thread that only waits 200 ms at a time, as the
        // accept loop does.
        double bareIdle = 0.0;
        {
            BareTurnThread thread (wire::kAcceptWaitMs);
            thread.startThread();
            const auto ok = measure (thread, sleepFor, bareIdle);
            thread.stopThread (1000);

            if (! ok)
                return false;
        }

        BenchServer server;
        const auto port = startOnFreePort (server);

        if (port < 0 || ! measure (server, sleepFor, idle))
            return false;

        StreamReader reader;

        if (! reader.connect (port, [] (const std::uint8_t*, int, Clock::time_point) {})
            || ! waitFor ([&server] { return server.clientConnected.load(); }, 3000))
            return false;

        if (! measure (server, sleepFor, connected))
            return false;

        Producer producer (server, kStreamBlock);
        auto play = [&] (double slice)
        {
            std::thread audio ([&] { producer.runPaced (juce::jmax (1, (int) (slice * kRate / kStreamBlock)), nullptr, false); });
            audio.join();
        };

        if (! measure (server, play, streaming))
            return false;

        reader.stop();
        server.stop();

        std::sort (turns.begin(), turns.end());
        std::printf ("  bare thread, 2 ms waits only    %7.3f %%  (one turn: p50 %.3f ms, p99 %.3f ms)\n", bare,
                     percentile (turns, 50.0), percentile (turns, 99.0));
        std::printf ("  bare thread, 200 ms waits only  %7.3f %%\n", bareIdle);
        std::printf ("  idle, no client                 %7.3f %%\n", idle);
        std::printf ("  client connected, no audio      %7.3f %%\n", connected);
        std::printf ("  streaming 48000 Hz stereo (%d)  %7.3f %%\n", kStreamBlock, streaming);

        results.add ("cpu.bare_turn_percent", bare);
        results.add ("cpu.turn_p50_ms", percentile (turns, 50.0));
        results.add ("cpu.turn_p99_ms", percentile (turns, 99.0));
        results.add ("cpu.bare_idle_percent", bareIdle);
        results.add ("cpu.idle_percent", idle);
        results.add ("cpu.connected_percent", connected);
        results.add ("cpu.streaming_percent", streaming);
        return true;
    }

    //==============================================================================
    // Bare loopback TCP: one thread writes messages of a full packet's size as fast as the socket
    // takes them, the main thread reads them. What the link can at best approach.
    double loopbackFramesPerSecond (double seconds)
    {
        juce::StreamingSocket listener;
        const auto port = velmorine::test::findFreePort();

        if (! listener.createListener (port, wire::kLoopbackAddress))
            return NAN;

        velmorine::test::LoopbackClient client;

        if (! client.connect (port))
            return NAN;

        std::unique_ptr<juce::StreamingSocket> sender (listener.waitForNextConnection());

        if (sender == nullptr)
            return NAN;

        const auto messageBytes = (size_t) wire::kMaxPacketBytes + 4;   // a full packet and its frame header
        std::atomic<bool> done { false };

        std::thread writer ([&]
        {
            std::vector<std::uint8_t> message (messageBytes, 0x55);

            // MSG_NOSIGNAL: the reader closes first, and a write into a closed socket must not
            // end this program with SIGPIPE.
            for (size_t sent = 0; ! done;)
            {
                const auto n = ::send (sender->getRawSocketHandle(), message.data() + sent, message.size() - sent, MSG_NOSIGNAL);

                if (n <= 0)
                    break;

                sent = (sent + (size_t) n) % message.size();
            }
        });

        std::vector<std::uint8_t> buffer (1 << 20);
        std::uint64_t bytes = 0;
        const auto start = Clock::now();

        while (secondsSince (start) < seconds)
        {
            if (! client.waitReadable (100))
                continue;

            const auto got = ::recv (client.fd, buffer.data(), buffer.size(), 0);

            if (got <= 0)
                break;

            bytes += (std::uint64_t) got;
        }

        const auto elapsed = secondsSince (start);
        done = true;
        client.close();
        sender->close();
        writer.join();
        return (double) (bytes / messageBytes) * wire::kMaxFramesPerPacket / elapsed;
    }

    bool measureThroughput (const Options& options, Results& results)
    {
        const auto seconds = options.seconds;
        constexpr int kBlock = 1024;
        std::printf ("throughput: unpaced producer (blocks of %d), a client that reads as fast as it can, %.0f s\n", kBlock, seconds);

        BenchServer server;
        const auto port = startOnFreePort (server);
        std::uint32_t expected = 0;
        std::uint64_t lost = 0, changed = 0;

        StreamReader reader;

        // Checks every frame: its number follows the last one, and its right sample is the complement.
        auto check = [&] (const std::uint8_t* frames, int n, Clock::time_point)
        {
            for (int i = 0; i < n; ++i)
            {
                const auto index = bitsOf (frames + 8 * i);

                if (index != expected)
                    lost += index > expected ? index - expected : 1;

                if (bitsOf (frames + 8 * i + 4) != ~index)
                    ++changed;

                expected = index + 1;
            }
        };

        if (port < 0 || ! reader.connect (port, check) || ! waitFor ([&server] { return server.clientConnected.load(); }, 3000))
            return false;

        Producer producer (server, kBlock);
        const auto start = Clock::now();
        std::uint64_t pushed = 0;
        std::thread audio ([&] { pushed = producer.runUnpaced (seconds); });
        audio.join();
        waitFor ([&] { return reader.frames.load() >= pushed; }, 5000);
        const auto elapsed = secondsSince (start);
        const auto received = reader.frames.load();
        reader.stop();
        server.stop();

        const auto linkRate = (double) received / elapsed;
        const auto bareRate = loopbackFramesPerSecond (juce::jmin (seconds, 3.0));

        std::printf ("  link             %12.0f frames/s  %8.1f x real time  (%llu frames, %llu lost, %llu changed)\n",
                     linkRate, linkRate / kRate, (unsigned long long) received, (unsigned long long) lost, (unsigned long long) changed);
        std::printf ("  bare loopback    %12.0f frames/s  %8.1f x real time  (messages of %d bytes)\n",
                     bareRate, bareRate / kRate, wire::kMaxPacketBytes + 4);

        results.add ("throughput.realtime_x", linkRate / kRate);
        results.add ("throughput.frames", (double) received);
        results.add ("throughput.lost", (double) (lost + (pushed > received ? pushed - received : 0)));
        results.add ("throughput.changed", (double) changed);
        results.add ("throughput.loopback_realtime_x", bareRate / kRate);
        return received > 0 && ! reader.malformed;
    }

    //==============================================================================
    bool measureAllocations (const Options& options, Results& results)
    {
        const auto seconds = options.seconds;
        constexpr int kBlock = 256;
        std::printf ("heap allocations while streaming 48000 Hz stereo (blocks of %d), %.0f s\n", kBlock, seconds);

        // The counter itself, proven on this thread: one vector, one allocation.
        allocations::watch (allocations::audioThread, pthread_self());
        const auto before = allocations::count (allocations::audioThread);
        {
            std::vector<int> probe (100);
            static int* volatile sink = nullptr;
            sink = probe.data();
            juce::ignoreUnused (sink);
        }
        const auto control = allocations::count (allocations::audioThread) - before;
        allocations::watch (allocations::audioThread, 0);

        BenchServer server;
        const auto port = startOnFreePort (server);
        StreamReader reader;

        if (port < 0 || ! reader.connect (port, [] (const std::uint8_t*, int, Clock::time_point) {})
            || ! waitFor ([&server] { return server.clientConnected.load(); }, 3000))
            return false;

        // The handshake allocates, once per connection; the window opens after it.
        std::this_thread::sleep_for (std::chrono::milliseconds (50));
        allocations::watch (allocations::serverThread, (pthread_t) server.getThreadId());
        const auto serverBefore = allocations::count (allocations::serverThread);
        const auto audioBefore = allocations::count (allocations::audioThread);
        const auto packetsBefore = reader.packets.load();

        Producer producer (server, kBlock);
        const auto numBlocks = juce::jmax (1, (int) (seconds * kRate / kBlock));
        std::thread audio ([&] { producer.runPaced (numBlocks, nullptr, true); });
        audio.join();
        waitFor ([&] { return reader.frames.load() >= (std::uint64_t) numBlocks * kBlock; }, 2000);

        const auto serverAllocations = allocations::count (allocations::serverThread) - serverBefore;
        const auto audioAllocations = allocations::count (allocations::audioThread) - audioBefore;
        const auto packets = reader.packets.load() - packetsBefore;
        allocations::watch (allocations::serverThread, 0);
        reader.stop();
        server.stop();

        std::printf ("  audio thread (pushAudio)   %llu allocations in %d blocks: %.3f per block\n",
                     (unsigned long long) audioAllocations, numBlocks, (double) audioAllocations / numBlocks);
        std::printf ("  server thread              %llu allocations in %llu packets: %.3f per packet\n",
                     (unsigned long long) serverAllocations, (unsigned long long) packets,
                     packets > 0 ? (double) serverAllocations / (double) packets : NAN);
        std::printf ("  control (one std::vector)  %llu allocation(s) counted\n", (unsigned long long) control);

        results.add ("alloc.audio_per_block", (double) audioAllocations / numBlocks);
        results.add ("alloc.server_per_packet", packets > 0 ? (double) serverAllocations / (double) packets : NAN);
        results.add ("alloc.blocks", numBlocks);
        results.add ("alloc.packets", (double) packets);
        results.add ("alloc.control", (double) control);
        return control == 1 && packets > 0;
    }

    //==============================================================================
    void usage()
    {
        std::printf ("usage: velmorine_bench_stream latency|cpu|throughput|alloc [--seconds S] [--blocks 32,64,...] [--json FILE]\n");
    }

    bool parse (int argc, char** argv, Options& options)
    {
        if (argc < 2)
            return false;

        options.mode = argv[1];

        for (int i = 2; i < argc; ++i)
        {
            const std::string arg = argv[i];

            if (i + 1 >= argc)
                return false;

            const std::string value = argv[++i];

            if (arg == "--seconds")
            {
                options.seconds = std::atof (value.c_str());
            }
            else if (arg == "--json")
            {
                options.jsonPath = value;
            }
            else if (arg == "--blocks")
            {
                options.blocks.clear();
                juce::StringArray parts;
                parts.addTokens (value, ",", {});

                for (const auto& p : parts)
                    if (p.getIntValue() > 0)
                        options.blocks.push_back (p.getIntValue());
            }
            else
            {
                return false;
            }
        }

        return options.seconds > 0.0 && ! options.blocks.empty();
    }
}

int main (int argc, char** argv)
{
    Options options;

    if (! parse (argc, argv, options))
    {
        usage();
        return 2;
    }

    Results results;
    bool ok = false;

    if (options.mode == "latency")          ok = measureLatency (options, results);
    else if (options.mode == "cpu")         ok = measureCpu (options, results);
    else if (options.mode == "throughput")  ok = measureThroughput (options, results);
    else if (options.mode == "alloc")       ok = measureAllocations (options, results);
    else { usage(); return 2; }

    if (! results.write (options.jsonPath))
    {
        std::fprintf (stderr, "cannot write %s\n", options.jsonPath.c_str());
        return 1;
    }

    if (! ok)
        std::fprintf (stderr, "the %s measurement did not complete\n", options.mode.c_str());

    return ok ? 0 : 1;
}
