#include "editor/LinkEditor.h"
#include "processor/LinkProcessor.h"
#include "support/LoopbackClient.h"
#include "support/TestServer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <functional>

using namespace velmorine::test;

namespace
{
    int listeningCount (const std::vector<std::unique_ptr<LinkProcessor>>& processors)
    {
        int n = 0;
        for (const auto& p : processors)
            n += p != nullptr && p->server.listening.load() ? 1 : 0;
        return n;
    }

    // What each instance's window shows must follow its own server.
    void expectWindowsMatch (const std::vector<std::unique_ptr<LinkProcessor>>& processors)
    {
        for (const auto& p : processors)
        {
            if (p == nullptr)
                continue;
            const auto expected = p->server.listening.load() ? DisplayState::waiting : DisplayState::portBusy;
            EXPECT_EQ (chooseDisplayState (p->server.clientConnected.load(), p->server.listening.load()), expected);
        }
    }

    // A process bound in the kernel's table of listening sockets to exactly 127.0.0.1:47800.
    bool kernelListensOnLoopbackOnly (int port)
    {
        std::ifstream table ("/proc/net/tcp");
        std::string line;
        char portHex[8];
        std::snprintf (portHex, sizeof (portHex), ":%04X", port);
        bool loopback = false, other = false;

        while (std::getline (table, line))
        {
            // Columns: sl local_address rem_address st ...; state 0A is LISTEN.
            std::istringstream in (line);
            std::string slot, local, remote, state;
            in >> slot >> local >> remote >> state;
            if (state != "0A" || local.size() < 5 || local.substr (local.size() - 5) != portHex)
                continue;
            (local.rfind ("0100007F:", 0) == 0 ? loopback : other) = true;
        }

        std::ifstream table6 ("/proc/net/tcp6");
        while (std::getline (table6, line))
            if (line.find (std::string (portHex) + " ") != std::string::npos && line.find (" 0A ") != std::string::npos)
                other = true;

        return loopback && ! other;
    }
}

// A client connection that ended on this computer in the last minute can still hold 47800 as its
// local port (TIME_WAIT), and no listener may bind it until that ends: wait for that, as a user
// would, rather than fail on what another program did.
static void waitForThePortToBeFree()
{
    waitUntil ([]
    {
        juce::StreamingSocket probe;
        return probe.createListener (47800, "127.0.0.1");
    }, 90000);
}

TEST (Instances, ExactlyOneListensAndThePortPassesOnWhenItGoes)
{
    waitForThePortToBeFree();

    std::vector<std::unique_ptr<LinkProcessor>> processors;
    for (int i = 0; i < 3; ++i)
        processors.push_back (std::make_unique<LinkProcessor>());

    ASSERT_TRUE (waitUntil ([&] { return listeningCount (processors) == 1; }, 3000));
    std::this_thread::sleep_for (std::chrono::milliseconds (1500));   // retries must not steal it
    EXPECT_EQ (listeningCount (processors), 1);
    expectWindowsMatch (processors);

    EXPECT_TRUE (kernelListensOnLoopbackOnly (47800));
    LoopbackClient elsewhere;
    EXPECT_FALSE (elsewhere.connect (47800, 200, "127.0.0.2")) << "the port answers on another loopback address";

    for (int round = 0; round < 2; ++round)
    {
        SCOPED_TRACE (round);
        auto holder = std::find_if (processors.begin(), processors.end(), [] (auto& p) { return p != nullptr && p->server.listening.load(); });
        ASSERT_NE (holder, processors.end());

        const auto start = nowMs();
        holder->reset();
        const auto destroyed = nowMs() - start;
        EXPECT_LT (destroyed, 1000.0);

        ASSERT_TRUE (waitUntil ([&] { return listeningCount (processors) == 1; }, 5000));
        const auto handedOver = nowMs() - start;
        std::printf ("instance destroyed in %.1f ms; port taken over after %.0f ms\n", destroyed, handedOver);
        EXPECT_LT (handedOver, 2500.0);   // about 1.1 s: one retry period
        expectWindowsMatch (processors);
    }
}

TEST (Instances, APortHeldByAnotherProgramShowsBusyAndAudioStillPasses)
{
    waitForThePortToBeFree();
    juce::StreamingSocket other;
    ASSERT_TRUE (other.createListener (47800, "127.0.0.1"));

    LinkProcessor processor;
    std::this_thread::sleep_for (std::chrono::milliseconds (1500));
    EXPECT_FALSE (processor.server.listening.load());
    EXPECT_EQ (chooseDisplayState (processor.server.clientConnected.load(), processor.server.listening.load()), DisplayState::portBusy);

    juce::AudioBuffer<float> buffer (2, 256);
    for (int i = 0; i < 256; ++i)
    {
        buffer.setSample (0, i, (float) i * 0.001f);
        buffer.setSample (1, i, (float) -i * 0.002f);
    }
    const auto input = buffer;
    juce::MidiBuffer midi;
    processor.processBlock (buffer, midi);
    for (int c = 0; c < 2; ++c)
        EXPECT_EQ (std::memcmp (buffer.getReadPointer (c), input.getReadPointer (c), 256 * sizeof (float)), 0);

    const auto released = nowMs();
    other.close();
    ASSERT_TRUE (waitUntil ([&] { return processor.server.listening.load(); }, 5000));
    std::printf ("listening %.0f ms after the other program let go\n", nowMs() - released);
    EXPECT_EQ (chooseDisplayState (processor.server.clientConnected.load(), processor.server.listening.load()), DisplayState::waiting);
}
