// What the plug-in costs the host's audio thread, each figure beside a baseline timed in the same
// run: pushAudio against a plain interleaving loop, and the whole processBlock against a bare
// memcpy of the block.
//
// Every benchmark times laps of many blocks with its own clock (manual time), and whatever a lap
// queued is sent to a real client on loopback between laps, outside the timing: a tight loop
// fills the 96000-frame ring in microseconds, and a full ring would make pushAudio drop the block
// and measure the cheap path instead of the copy.

#include "processor/LinkProcessor.h"
#include "support/BenchLink.h"

#include <benchmark/benchmark.h>
#include <juce_events/juce_events.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace
{
    using namespace velmorine::bench;

    bool anyError = false;

    void fail (benchmark::State& state, const char* why)
    {
        anyError = true;
        state.SkipWithError (why);
    }

    constexpr int kRingSlots = wire::kRingFrames - 1;   // JUCE's fifo keeps one slot free

    // The benchmarks' own thread plays the audio thread on CPU 0; whatever reads the ring runs
    // on CPU 1 (see pinToCpu).
    constexpr int kAudioCpu = 0;
    constexpr int kReaderCpu = 1;

    // 64 full packets a lap: a multiple of 128 frames, so the server sends all of it at once
    // instead of waiting 10 ms for a remainder, and ample room in the ring.
    constexpr int kFramesPerLap = 64 * wire::kMaxFramesPerPacket;

    int blocksPerLap (int block)
    {
        return juce::jmax (1, kFramesPerLap / block);
    }

    // The same two channels for every benchmark: a ramp, different on each side.
    struct Source
    {
        explicit Source (int frames)
            : left ((size_t) frames), right ((size_t) frames)
        {
            for (int i = 0; i < frames; ++i)
            {
                left[(size_t) i] = 0.001f * (float) i;
                right[(size_t) i] = -0.001f * (float) i;
            }
        }

        const float* const* channels (int numChannels)
        {
            pointers[0] = left.data();
            pointers[1] = numChannels >= 2 ? right.data() : left.data();
            return pointers;
        }

        std::vector<float> left, right;
        const float* pointers[2] {};
    };

    // A link server on a free port with a client connected that reads everything.
    struct ConnectedLink
    {
        explicit ConnectedLink (LinkServer& s) : server (s)
        {
            port = startOnFreePort (server);
            ok = port > 0
              && reader.connect (port, [] (const std::uint8_t*, int, Clock::time_point) {})
              && waitFor ([this] { return server.clientConnected.load(); }, 3000);

            pinToCpu (server, kReaderCpu);
            reader.pinTo (kReaderCpu);
        }

        ~ConnectedLink()
        {
            reader.stop();
            server.stop();
        }

        // Between laps: wake the client loop from its 2 ms wait (so that the laps need not wait
        // for it), wait until the client has everything queued so far, then let the server thread
        // go back to its wait. The next lap then runs while the server sleeps, as most blocks do
        // at real-time pace, where a turn of the server takes a few hundredths of its 2 ms.
        void drain (std::uint64_t framesQueuedByLastLap)
        {
            queued += framesQueuedByLastLap;
            server.notify();
            waitFor ([this] { return server.captureFifo.getNumReady() == 0 && reader.frames.load() >= queued; }, 5000);
            std::this_thread::sleep_for (std::chrono::microseconds (300));
        }

        LinkServer& server;
        StreamReader reader;
        int port = -1;
        bool ok = false;
        std::uint64_t queued = 0;
    };

    // Runs laps of blocksPerLap (block) calls of body, with betweenLaps run untimed before each.
    // Google Benchmark gets each lap's time; the counter ns_per_block is the median lap divided
    // by its blocks, which a lap cut short by another process on this shared machine hardly moves.
    template <typename Body, typename Between>
    void runLaps (benchmark::State& state, int block, Body&& body, Between&& betweenLaps)
    {
        const auto blocks = blocksPerLap (block);
        std::vector<double> lapSeconds;
        lapSeconds.reserve ((size_t) state.max_iterations);

        for (auto _ : state)
        {
            betweenLaps();
            const auto start = Clock::now();

            for (int k = 0; k < blocks; ++k)
                body (k);

            const auto seconds = secondsSince (start);
            state.SetIterationTime (seconds);
            lapSeconds.push_back (seconds);
        }

        if (lapSeconds.empty())
            return;

        const auto middle = lapSeconds.begin() + (std::ptrdiff_t) (lapSeconds.size() / 2);
        std::nth_element (lapSeconds.begin(), middle, lapSeconds.end());
        state.counters["ns_per_block"] = *middle * 1.0e9 / blocks;
        state.counters["blocks_per_lap"] = blocks;
    }

    //==============================================================================
    // 1. pushAudio with a client connected, against a plain loop that interleaves the same
    //    channels (the left one twice for mono) into a preallocated buffer as large as the ring,
    //    moving through it as the ring's write position does. Each is also timed with its buffer
    //    read by the other core between laps (as the server reads the ring) and without.

    // Reads memory on a thread of its own, 1024 frames at a time into a buffer of its own, as the
    // server thread copies the ring into its packet buffer; the caller waits until it is done.
    class OtherCoreReader
    {
    public:
        OtherCoreReader() : thread ([this] { run(); })
        {
            pinToCpu (thread.native_handle(), kReaderCpu);
        }

        ~OtherCoreReader()
        {
            {
                const std::lock_guard<std::mutex> lock (mutex);
                quit = true;
            }
            wake.notify_all();
            thread.join();
        }

        void read (const float* begin, const float* end)
        {
            std::unique_lock<std::mutex> lock (mutex);
            job = { begin, end };
            pending = true;
            wake.notify_all();
            wake.wait (lock, [this] { return ! pending; });
        }

    private:
        void run()
        {
            std::vector<float> packet ((size_t) wire::kMaxFramesPerPacket * wire::kChannelsPerFrame);
            std::unique_lock<std::mutex> lock (mutex);

            for (;;)
            {
                wake.wait (lock, [this] { return pending || quit; });

                if (quit)
                    return;

                for (auto* p = job.first; p < job.second; p += packet.size())
                    std::memcpy (packet.data(), p, sizeof (float) * juce::jmin (packet.size(), (size_t) (job.second - p)));

                benchmark::DoNotOptimize (packet.data());
                pending = false;
                wake.notify_all();
            }
        }

        std::mutex mutex;
        std::condition_variable wake;
        std::pair<const float*, const float*> job;
        bool pending = false, quit = false;
        std::thread thread;
    };

    void baselineInterleave (benchmark::State& state, bool readByOtherCore)
    {
        const auto block = (int) state.range (0);
        const auto numChannels = (int) state.range (1);
        Source source (block);
        std::vector<float> ring ((size_t) wire::kRingFrames * wire::kChannelsPerFrame);
        std::unique_ptr<OtherCoreReader> reader (readByOtherCore ? new OtherCoreReader() : nullptr);
        int position = 0, lapStart = 0, wrappedAt = -1;

        runLaps (state, block, [&] (int)
        {
            const auto* const* ch = source.channels (numChannels);
            const float* left = ch[0];
            const float* right = ch[1];

            if (position + block > kRingSlots)
            {
                wrappedAt = position;
                position = 0;
            }

            float* dest = ring.data() + 2 * (size_t) position;

            for (int i = 0; i < block; ++i)
            {
                dest[2 * i] = left[i];
                dest[2 * i + 1] = right[i];
            }

            position += block;
            benchmark::ClobberMemory();
        },
        [&]
        {
            // What the last lap wrote, read on the other core.
            if (reader != nullptr && wrappedAt >= 0)
            {
                reader->read (ring.data() + 2 * lapStart, ring.data() + 2 * wrappedAt);
                reader->read (ring.data(), ring.data() + 2 * position);
            }
            else if (reader != nullptr)
            {
                reader->read (ring.data() + 2 * lapStart, ring.data() + 2 * position);
            }

            lapStart = position;
            wrappedAt = -1;
        });
    }

    void baselineInterleaveShared (benchmark::State& state)   { baselineInterleave (state, true); }
    void baselineInterleavePrivate (benchmark::State& state)  { baselineInterleave (state, false); }

    std::unique_ptr<BenchServer> pushServer;
    std::unique_ptr<ConnectedLink> pushLink;

    void pushAudioConnected (benchmark::State& state)
    {
        const auto block = (int) state.range (0);
        const auto numChannels = (int) state.range (1);
        Source source (block);

        if (pushLink == nullptr)
        {
            pushServer = std::make_unique<BenchServer>();
            pushLink = std::make_unique<ConnectedLink> (*pushServer);
        }

        if (! pushLink->ok)
        {
            fail (state, "could not connect a client to the link server");
            return;
        }

        auto& server = *pushServer;
        std::uint64_t lapFrames = 0;   // nothing queued before the first lap

        runLaps (state, block, [&] (int)
        {
            server.pushAudio (source.channels (numChannels), numChannels, block, true);
        },
        [&] { pushLink->drain (lapFrames); lapFrames = (std::uint64_t) blocksPerLap (block) * (std::uint64_t) block; });
    }

    // The same calls with the ring emptied between laps on this thread, without reading it, and
    // no server thread: pushAudio's own instructions, without the cost of writing memory that the
    // server thread last read on the other core. Compared with the private baseline.
    void pushAudioSameCore (benchmark::State& state)
    {
        const auto block = (int) state.range (0);
        const auto numChannels = (int) state.range (1);
        Source source (block);
        LinkServer server;
        server.clientConnected = true;

        runLaps (state, block, [&] (int)
        {
            server.pushAudio (source.channels (numChannels), numChannels, block, true);
        },
        [&] { server.discardQueuedAudio(); });
    }

    // The capture ring's bookkeeping alone: JUCE's AbstractFifo opens and closes a write of the
    // block, and nothing is copied. What pushAudio pays on top of the copy, whatever the block.
    void fifoBookkeeping (benchmark::State& state)
    {
        const auto block = (int) state.range (0);
        LinkServer server;

        runLaps (state, block, [&] (int)
        {
            const auto scope = server.captureFifo.write (block);
            benchmark::DoNotOptimize (scope.blockSize1);
        },
        [&] { server.discardQueuedAudio(); });
    }

    //==============================================================================
    // 2. The whole processBlock, with no client and with a client connected, against a bare
    //    memcpy of the block's two channels.

    struct ProcessorUnderTest
    {
        explicit ProcessorUnderTest (bool withClient)
        {
            // The constructor binds the plug-in's port; ours must not hold it.
            processor.server.stop();

            if (withClient)
                link = std::make_unique<ConnectedLink> (processor.server);
        }

        bool ok() const { return link == nullptr || link->ok; }

        LinkProcessor processor;
        std::unique_ptr<ConnectedLink> link;
    };

    std::unique_ptr<ProcessorUnderTest> quietProcessor, connectedProcessor;

    juce::AudioBuffer<float> makeBlock (int block)
    {
        juce::AudioBuffer<float> buffer (2, block);
        Source source (block);
        buffer.copyFrom (0, 0, source.left.data(), block);
        buffer.copyFrom (1, 0, source.right.data(), block);
        return buffer;
    }

    void baselineMemcpy (benchmark::State& state)
    {
        const auto block = (int) state.range (0);
        auto in = makeBlock (block);
        juce::AudioBuffer<float> out (2, block);

        runLaps (state, block, [&] (int)
        {
            for (int c = 0; c < 2; ++c)
                std::memcpy (out.getWritePointer (c), in.getReadPointer (c), sizeof (float) * (size_t) block);

            benchmark::ClobberMemory();
        },
        [] {});
    }

    void processBlock (benchmark::State& state)
    {
        const auto block = (int) state.range (0);
        const bool withClient = state.range (1) != 0;
        auto& slot = withClient ? connectedProcessor : quietProcessor;

        if (slot == nullptr)
            slot = std::make_unique<ProcessorUnderTest> (withClient);

        if (! slot->ok())
        {
            fail (state, "could not connect a client to the processor's server");
            return;
        }

        auto& processor = slot->processor;
        processor.prepareToPlay (48000.0, block);
        auto buffer = makeBlock (block);
        juce::MidiBuffer midi;
        std::uint64_t lapFrames = 0;

        runLaps (state, block, [&] (int)
        {
            processor.processBlock (buffer, midi);
            benchmark::ClobberMemory();
        },
        [&] { if (slot->link != nullptr) slot->link->drain (lapFrames); lapFrames = (std::uint64_t) blocksPerLap (block) * (std::uint64_t) block; });
    }

    const std::vector<std::int64_t> kBlockSizes { 32, 64, 128, 256, 512, 1024, 4096 };

    void registerAll()
    {
        const std::vector<std::int64_t> channels { 1, 2 };

        for (auto* b : { benchmark::RegisterBenchmark ("interleave_shared", baselineInterleaveShared),
                         benchmark::RegisterBenchmark ("pushAudio_connected", pushAudioConnected),
                         benchmark::RegisterBenchmark ("interleave_private", baselineInterleavePrivate),
                         benchmark::RegisterBenchmark ("pushAudio_same_core", pushAudioSameCore) })
            b->ArgsProduct ({ kBlockSizes, channels })->ArgNames ({ "block", "channels" })->UseManualTime();

        benchmark::RegisterBenchmark ("fifo_bookkeeping", fifoBookkeeping)
            ->ArgsProduct ({ kBlockSizes })->ArgNames ({ "block" })->UseManualTime();

        benchmark::RegisterBenchmark ("memcpy_baseline", baselineMemcpy)
            ->ArgsProduct ({ kBlockSizes })->ArgNames ({ "block" })->UseManualTime();

        benchmark::RegisterBenchmark ("processBlock", processBlock)
            ->ArgsProduct ({ kBlockSizes, { 0, 1 } })->ArgNames ({ "block", "client" })->UseManualTime();
    }
}

int main (int argc, char** argv)
{
    benchmark::Initialize (&argc, argv);

    if (benchmark::ReportUnrecognizedArguments (argc, argv))
        return 1;

    pinToCpu (pthread_self(), kAudioCpu);

    // The processor is a JUCE plug-in: its editor is GUI code, so JUCE's runtime comes first.
    juce::ScopedJuceInitialiser_GUI juceRuntime;
    registerAll();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    // Servers and clients stop before JUCE's runtime goes.
    pushLink.reset();
    pushServer.reset();
    quietProcessor.reset();
    connectedProcessor.reset();
    return anyError ? 1 : 0;
}
