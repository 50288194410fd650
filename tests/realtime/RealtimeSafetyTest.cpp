#include "Interpose.h"
#include "support/LoopbackClient.h"
#include "support/QuietProcessor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace velmorine::test;
namespace rt = velmorine::realtime;

namespace
{
    struct Playing : juce::AudioPlayHead
    {
        juce::Optional<PositionInfo> getPosition() const override
        {
            PositionInfo info;
            info.setIsPlaying (true);
            return info;
        }
    };

    // Clients that keep arriving, reading a little and leaving, some politely, some by reset.
    struct ChurningClients
    {
        explicit ChurningClients (int port)
            : thread ([this, port]
              {
                  for (int round = 0; ! stop; ++round)
                  {
                      LoopbackClient client;
                      if (! client.connect (port, 1000) || ! client.send (upgradeRequest()) || client.readResponseHead (3000).empty())
                          continue;
                      ++sessions;
                      const auto until = nowMs() + 30.0 + (round % 5) * 20.0;
                      while (! stop && nowMs() < until)
                          readServerFrame (client, 50);
                      if (round % 2 == 0)
                          client.reset();
                  }
              })
        {
        }

        ~ChurningClients()
        {
            stop = true;
            thread.join();
        }

        std::atomic<bool> stop { false };
        std::atomic<int> sessions { 0 };
        std::thread thread;
    };

    int blocksProcessed = 0;

    void processBlocks (LinkProcessor& processor, int channels, int blocks)
    {
        juce::MidiBuffer midi;

        for (const int size : { 32, 64, 128, 256, 512, 1024, 4096 })
        {
            juce::AudioBuffer<float> buffer (channels, size);

            for (int b = 0; b < blocks; ++b)
            {
                for (int c = 0; c < channels; ++c)
                    for (int i = 0; i < size; ++i)
                        buffer.setSample (c, i, (float) ((b + i) % 100) * 0.01f);

                {
                    const rt::ScopedArm armed;
                    processor.processBlock (buffer, midi);
                }

                ++blocksProcessed;

                ASSERT_EQ (rt::violations(), 0) << "processBlock called " << rt::firstViolation()
                                                << " (block of " << size << ", " << channels << " channels)";
            }
        }
    }
}

TEST (RealtimeSafety, TheWatchCatchesCallsOnTheArmedThreadOnly)
{
    rt::reset();
    // Explicit calls: a new-expression whose result is unused may be optimised away.
    std::thread other ([] { ::operator delete (::operator new (16)); });
    {
        const rt::ScopedArm armed;
        other.join();
    }
    EXPECT_EQ (rt::violations(), 0) << rt::firstViolation();

    {
        const rt::ScopedArm armed;
        ::operator delete (::operator new (16));
    }
    EXPECT_GE (rt::violations(), 1);
    EXPECT_STREQ (rt::firstViolation(), "operator new");
    rt::reset();
}

TEST (RealtimeSafety, ProcessBlockNeverAllocatesLocksWaitsOrCallsTheSystem)
{
    for (const int channels : { 2, 1 })
    {
        SCOPED_TRACE (channels == 2 ? "stereo" : "mono");
        QuietProcessor processor;
        const auto set = channels == 2 ? juce::AudioChannelSet::stereo() : juce::AudioChannelSet::mono();
        ASSERT_TRUE (processor.setBusesLayout ({ { set }, { set } }));
        Playing playHead;
        processor.setPlayHead (&playHead);
        processor.prepareToPlay (48000.0, 4096);

        // Restart the stopped server on a port of our own, so that clients can come and go.
        const auto port = findFreePort();
        processor.server.port = port;
        processor.server.startThread();
        rt::reset();

        // No client: nothing is queued, but the playing state is still stored every block.
        processBlocks (processor, channels, 200);

        {
            ChurningClients clients (port);
            const auto deadline = nowMs() + 10000.0;
            while (clients.sessions < 5 && nowMs() < deadline)
                processBlocks (processor, channels, 100);
            EXPECT_GE (clients.sessions.load(), 5);
            std::printf ("%s: %d blocks watched so far, %d client sessions came and went meanwhile\n",
                         channels == 2 ? "stereo" : "mono", blocksProcessed, clients.sessions.load());
        }

        processor.setPlayHead (nullptr);
        processor.server.stop();
    }
}
