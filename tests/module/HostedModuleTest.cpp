#include "support/HostedPlugin.h"
#include "support/ProcessCounters.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

using velmorine::test::HostedPlugin;

namespace
{
    juce::AudioProcessor::BusesLayout layoutOf (const juce::AudioChannelSet& in, const juce::AudioChannelSet& out)
    {
        juce::AudioProcessor::BusesLayout layout;
        layout.inputBuses.add (in);
        layout.outputBuses.add (out);
        return layout;
    }

    struct HostedModule : ::testing::Test
    {
        std::unique_ptr<juce::AudioPluginInstance> load (double rate = 48000.0, int block = 1024)
        {
            juce::String error;
            auto instance = HostedPlugin::create (rate, block, error);
            EXPECT_NE (instance, nullptr) << error;
            return instance;
        }
    };

    // Feeds distinct random signals through the hosted instance and compares every bit.
    void expectBitExactPassThrough (juce::AudioPluginInstance& instance, int channels, double rate, int blockSize, unsigned seed)
    {
        SCOPED_TRACE (juce::String (rate) + " Hz, block " + juce::String (blockSize) + ", channels " + juce::String (channels));
        std::mt19937 rng (seed);
        std::uniform_real_distribution<float> dist (-1.0f, 1.0f);
        juce::MidiBuffer midi;

        for (int block = 0; block < 8; ++block)
        {
            juce::AudioBuffer<float> input (channels, blockSize);
            for (int c = 0; c < channels; ++c)
                for (int i = 0; i < blockSize; ++i)
                    input.setSample (c, i, dist (rng) * (c == 0 ? 1.0f : 0.5f));

            auto buffer = input;
            instance.processBlock (buffer, midi);

            for (int c = 0; c < channels; ++c)
                ASSERT_EQ (std::memcmp (buffer.getReadPointer (c), input.getReadPointer (c), sizeof (float) * (size_t) blockSize), 0)
                    << "channel " << c << " of block " << block;
        }
    }
}

TEST_F (HostedModule, ScanListsOneEffectWithItsIdentity)
{
    const auto found = HostedPlugin::scan();
    ASSERT_EQ (found.size(), 1);
    const auto& d = *found[0];
    EXPECT_EQ (d.name, "Velmorine Link");
    EXPECT_EQ (d.descriptiveName, "Velmorine Link");
    EXPECT_EQ (d.manufacturerName, "Velmorine");
    EXPECT_EQ (d.version, "0.1.0");
    EXPECT_EQ (d.category, "Fx|Tools");
    EXPECT_EQ (d.pluginFormatName, "VST3");
    EXPECT_FALSE (d.isInstrument);
    EXPECT_EQ (d.numInputChannels, 2);
    EXPECT_EQ (d.numOutputChannels, 2);
}

TEST_F (HostedModule, AcceptsOnlyMatchingMonoOrStereoLayouts)
{
    auto instance = load();
    ASSERT_NE (instance, nullptr);

    // Asked before prepareToPlay: afterwards JUCE's host side answers yes to any layout.
    struct Case { const char* name; juce::AudioChannelSet in, out; bool accepted; };
    const Case cases[] = {
        { "stereo/stereo", juce::AudioChannelSet::stereo(), juce::AudioChannelSet::stereo(), true },
        { "mono/mono", juce::AudioChannelSet::mono(), juce::AudioChannelSet::mono(), true },
        { "stereo/mono", juce::AudioChannelSet::stereo(), juce::AudioChannelSet::mono(), false },
        { "mono/stereo", juce::AudioChannelSet::mono(), juce::AudioChannelSet::stereo(), false },
        { "5.1/5.1", juce::AudioChannelSet::create5point1(), juce::AudioChannelSet::create5point1(), false },
    };

    for (const auto& c : cases)
        EXPECT_EQ (instance->checkBusesLayoutSupported (layoutOf (c.in, c.out)), c.accepted) << c.name;

    EXPECT_EQ (instance->getBusCount (true), 1);
    EXPECT_EQ (instance->getBusCount (false), 1);
    EXPECT_EQ (instance->getBus (true, 0)->getName(), "Input");
    EXPECT_EQ (instance->getBus (false, 0)->getName(), "Output");
    EXPECT_EQ (instance->getTotalNumInputChannels(), 2);
    EXPECT_EQ (instance->getTotalNumOutputChannels(), 2);
    EXPECT_FALSE (instance->acceptsMidi());
    EXPECT_FALSE (instance->producesMidi());
    EXPECT_EQ (instance->getTailLengthSeconds(), 0.0);
}

TEST_F (HostedModule, PassesAudioThroughBitExact)
{
    for (const double rate : { 44100.0, 48000.0 })
    {
        auto instance = load (rate, 1024);
        ASSERT_NE (instance, nullptr);
        instance->prepareToPlay (rate, 1024);

        for (const int blockSize : { 32, 64, 441, 512, 1024 })
            expectBitExactPassThrough (*instance, 2, rate, blockSize, (unsigned) blockSize);

        instance->releaseResources();
    }
}

TEST_F (HostedModule, PassesMonoThroughBitExact)
{
    auto instance = load();
    ASSERT_NE (instance, nullptr);
    ASSERT_TRUE (instance->setBusesLayout (layoutOf (juce::AudioChannelSet::mono(), juce::AudioChannelSet::mono())));
    instance->prepareToPlay (48000.0, 256);
    ASSERT_EQ (instance->getTotalNumInputChannels(), 1);
    expectBitExactPassThrough (*instance, 1, 48000.0, 256, 5);
    instance->releaseResources();
}

TEST_F (HostedModule, OpensItsWindowAtItsFixedSize)
{
    auto instance = load();
    ASSERT_NE (instance, nullptr);
    EXPECT_TRUE (instance->hasEditor());

    std::unique_ptr<juce::AudioProcessorEditor> editor (instance->createEditor());
    ASSERT_NE (editor, nullptr);

    // Attaching the plug-in's view to a real window is what a host does when it shows it.
    editor->addToDesktop (0);
    editor->setVisible (true);
    EXPECT_EQ (editor->getWidth(), 340);
    EXPECT_EQ (editor->getHeight(), 130);

    editor->setVisible (false);
    editor->removeFromDesktop();
    editor.reset();
}

TEST (ModuleChurn, TwoHundredInstancesComeAndGoWithoutLeaks)
{
    using velmorine::test::ProcessCounters;

    // The module stays loaded by a first instance, as in a host's session.
    juce::String error;
    auto first = HostedPlugin::create (48000.0, 512, error);
    ASSERT_NE (first, nullptr) << error;
    juce::Thread::sleep (300);

    auto makeAndDrop = [] (double& worstMs)
    {
        juce::String e;
        auto instance = HostedPlugin::create (48000.0, 512, e);
        if (instance == nullptr)
            return false;
        juce::Thread::sleep (2);
        const auto start = juce::Time::getMillisecondCounterHiRes();
        instance.reset();
        worstMs = juce::jmax (worstMs, juce::Time::getMillisecondCounterHiRes() - start);
        return true;
    };

    double warmUp = 0.0;
    ASSERT_TRUE (makeAndDrop (warmUp));
    const auto before = ProcessCounters::now();
    double worstWhileBusy = 0.0, worstWhileFree = 0.0;

    // While the first instance holds the port, the others fail to bind; then they bind in turn.
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE (makeAndDrop (worstWhileBusy)) << i;

    first.reset();

    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE (makeAndDrop (worstWhileFree)) << i;

    juce::Thread::sleep (200);
    const auto after = ProcessCounters::now();
    std::printf ("200 instances: worst destruction %.1f ms (port busy), %.1f ms (port free); "
                 "fds %d -> %d; threads %d -> %d; RSS %ld -> %ld KiB\n",
                 worstWhileBusy, worstWhileFree, before.fds, after.fds, before.threads, after.threads, before.rssKiB, after.rssKiB);

    EXPECT_LT (juce::jmax (worstWhileBusy, worstWhileFree), 300.0);
    EXPECT_LE (after.fds, before.fds);
    EXPECT_LE (after.threads, before.threads);
    EXPECT_LT (after.rssKiB - before.rssKiB, 8192);
}
