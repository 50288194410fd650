#include "support/QuietProcessor.h"
#include "support/RingReader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <random>

using velmorine::test::drainRing;
using velmorine::test::QuietProcessor;

namespace
{
    // Signals with distinct left and right sides, including values whose bits a careless copy
    // or any arithmetic would change: denormals, negative zero, NaN payloads, extremes.
    juce::AudioBuffer<float> makeSignal (int channels, int samples, unsigned seed)
    {
        juce::AudioBuffer<float> buffer (channels, samples);
        std::mt19937 rng (seed);
        std::uniform_real_distribution<float> dist (-1.0f, 1.0f);

        for (int c = 0; c < channels; ++c)
            for (int i = 0; i < samples; ++i)
                buffer.setSample (c, i, dist (rng) * (float) (c + 1));

        const uint32_t specials[] = { 0x00000001u, 0x80000000u, 0x7fc12345u, 0x7f7fffffu, 0x00800000u };
        for (int i = 0; i < 5 && i < samples; ++i)
            std::memcpy (buffer.getWritePointer (0, i), &specials[i], sizeof (float));

        return buffer;
    }

    bool sameBits (const juce::AudioBuffer<float>& a, int channelA, const juce::AudioBuffer<float>& b, int channelB)
    {
        return std::memcmp (a.getReadPointer (channelA), b.getReadPointer (channelB),
                            sizeof (float) * (size_t) a.getNumSamples()) == 0;
    }

    struct Processor : ::testing::Test
    {
        QuietProcessor processor;
        juce::MidiBuffer midi;
    };
}

TEST_F (Processor, ReportsItsFixedIdentity)
{
    EXPECT_EQ (processor.getName(), "Velmorine Link");
    EXPECT_EQ (processor.getTailLengthSeconds(), 0.0);
    EXPECT_FALSE (processor.acceptsMidi());
    EXPECT_FALSE (processor.producesMidi());
    EXPECT_FALSE (processor.isMidiEffect());
    EXPECT_FALSE (processor.supportsDoublePrecisionProcessing());
    EXPECT_TRUE (processor.hasEditor());
    EXPECT_EQ (processor.getLatencySamples(), 0);
    EXPECT_EQ (processor.getBypassParameter(), nullptr);

    ASSERT_EQ (processor.getBusCount (true), 1);
    ASSERT_EQ (processor.getBusCount (false), 1);
    EXPECT_EQ (processor.getBus (true, 0)->getName(), "Input");
    EXPECT_EQ (processor.getBus (false, 0)->getName(), "Output");
    EXPECT_EQ (processor.getBus (true, 0)->getDefaultLayout(), juce::AudioChannelSet::stereo());
    EXPECT_EQ (processor.getBus (false, 0)->getDefaultLayout(), juce::AudioChannelSet::stereo());
    EXPECT_TRUE (processor.getBus (true, 0)->isEnabled());
    EXPECT_FALSE (processor.canAddBus (true));
    EXPECT_FALSE (processor.canRemoveBus (false));
}

TEST_F (Processor, PassesStereoThroughBitExactAndQueuesTheSameFrames)
{
    processor.server.clientConnected = true;

    for (const int blockSize : { 1, 32, 256, 1000 })
    {
        SCOPED_TRACE (blockSize);
        const auto input = makeSignal (2, blockSize, (unsigned) blockSize);
        auto buffer = input;
        processor.processBlock (buffer, midi);

        EXPECT_TRUE (sameBits (buffer, 0, input, 0));
        EXPECT_TRUE (sameBits (buffer, 1, input, 1));
        EXPECT_TRUE (midi.isEmpty());

        const auto frames = drainRing (processor.server);
        ASSERT_EQ ((int) frames.size(), blockSize);
        for (int i = 0; i < blockSize; ++i)
        {
            EXPECT_EQ (std::memcmp (&frames[(size_t) i].first, input.getReadPointer (0, i), 4), 0) << i;
            EXPECT_EQ (std::memcmp (&frames[(size_t) i].second, input.getReadPointer (1, i), 4), 0) << i;
        }
    }
}

TEST_F (Processor, QueuesNothingWithoutAClientAndStillPassesAudio)
{
    const auto input = makeSignal (2, 512, 7);
    auto buffer = input;
    processor.processBlock (buffer, midi);
    EXPECT_TRUE (sameBits (buffer, 0, input, 0));
    EXPECT_TRUE (sameBits (buffer, 1, input, 1));
    EXPECT_EQ (processor.server.captureFifo.getNumReady(), 0);
}

TEST_F (Processor, MonoLayoutHandsOneChannelThatArrivesDoubled)
{
    ASSERT_TRUE (processor.setBusesLayout ({ { juce::AudioChannelSet::mono() }, { juce::AudioChannelSet::mono() } }));
    processor.server.clientConnected = true;

    const auto input = makeSignal (1, 128, 3);
    auto buffer = input;
    processor.processBlock (buffer, midi);
    EXPECT_TRUE (sameBits (buffer, 0, input, 0));

    const auto frames = drainRing (processor.server);
    ASSERT_EQ (frames.size(), 128u);
    for (int i = 0; i < 128; ++i)
    {
        EXPECT_EQ (std::memcmp (&frames[(size_t) i].first, input.getReadPointer (0, i), 4), 0);
        EXPECT_EQ (std::memcmp (&frames[(size_t) i].second, input.getReadPointer (0, i), 4), 0);
    }
}

TEST_F (Processor, ClearsOutputsThatHaveNoInput)
{
    // Hosts can hand a buffer with more outputs than inputs; the processor itself never offers
    // such a layout, so a subclass forces one.
    struct MonoToStereo : QuietProcessor
    {
        bool isBusesLayoutSupported (const BusesLayout&) const override { return true; }
    } forced;

    ASSERT_TRUE (forced.setBusesLayout ({ { juce::AudioChannelSet::mono() }, { juce::AudioChannelSet::stereo() } }));
    ASSERT_EQ (forced.getTotalNumInputChannels(), 1);
    ASSERT_EQ (forced.getTotalNumOutputChannels(), 2);
    forced.server.clientConnected = true;

    const auto input = makeSignal (2, 64, 11);
    auto buffer = input;
    forced.processBlock (buffer, midi);

    EXPECT_TRUE (sameBits (buffer, 0, input, 0));
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ (buffer.getSample (1, i), 0.0f) << i;

    // Only the real input reaches the ring, doubled; not the stale second channel.
    for (const auto& [l, r] : drainRing (forced.server))
        EXPECT_EQ (std::memcmp (&l, &r, 4), 0);
}

TEST_F (Processor, EmptyBlockQueuesNothingButUpdatesThePlayingState)
{
    struct Playing : juce::AudioPlayHead
    {
        juce::Optional<PositionInfo> getPosition() const override
        {
            PositionInfo info;
            info.setIsPlaying (true);
            return info;
        }
    } playHead;

    processor.server.clientConnected = true;
    processor.setPlayHead (&playHead);
    juce::AudioBuffer<float> empty (2, 0);
    processor.processBlock (empty, midi);
    EXPECT_TRUE (processor.server.hostPlaying.load());
    EXPECT_EQ (processor.server.captureFifo.getNumReady(), 0);
    processor.setPlayHead (nullptr);
}

TEST_F (Processor, PrepareToPlayOnlySetsTheSampleRate)
{
    processor.server.clientConnected = true;
    auto buffer = makeSignal (2, 100, 1);
    processor.processBlock (buffer, midi);

    processor.prepareToPlay (44100.0, 512);
    EXPECT_EQ (processor.server.sampleRate.load(), 44100.0);
    processor.prepareToPlay (96000.0, 64);
    EXPECT_EQ (processor.server.sampleRate.load(), 96000.0);
    processor.releaseResources();

    EXPECT_EQ (processor.server.captureFifo.getNumReady(), 100);
    EXPECT_TRUE (processor.server.clientConnected.load());
}

TEST_F (Processor, HasOneNamelessProgramAndNoState)
{
    EXPECT_EQ (processor.getNumPrograms(), 1);
    EXPECT_EQ (processor.getCurrentProgram(), 0);
    processor.setCurrentProgram (3);
    EXPECT_EQ (processor.getCurrentProgram(), 0);
    processor.changeProgramName (0, "Renamed");
    for (const int index : { 0, 1, -1, 100 })
        EXPECT_TRUE (processor.getProgramName (index).isEmpty()) << index;

    juce::MemoryBlock state ("host data", 9);
    processor.getStateInformation (state);
    EXPECT_EQ (state, juce::MemoryBlock ("host data", 9));

    const uint8_t garbage[] = { 0xff, 0x00, 0x13, 0x37 };
    processor.setStateInformation (garbage, (int) sizeof (garbage));
    processor.setStateInformation (nullptr, 0);
    EXPECT_EQ (processor.server.sampleRate.load(), 48000.0);
    EXPECT_FALSE (processor.server.clientConnected.load());
    EXPECT_EQ (processor.server.captureFifo.getNumReady(), 0);
}

TEST_F (Processor, CreatesItsStatusWindow)
{
    std::unique_ptr<juce::AudioProcessorEditor> editor (processor.createEditor());
    ASSERT_NE (editor, nullptr);
    EXPECT_EQ (&editor->processor, &processor);
    EXPECT_EQ (editor->getWidth(), 340);
    EXPECT_EQ (editor->getHeight(), 130);
}

TEST_F (Processor, FactoryFunctionMakesAFreshProcessor)
{
    std::unique_ptr<juce::AudioProcessor> made (createPluginFilter());
    ASSERT_NE (dynamic_cast<LinkProcessor*> (made.get()), nullptr);
    EXPECT_EQ (made->getName(), "Velmorine Link");
}

namespace
{
    struct LayoutCase
    {
        const char* name;
        std::optional<juce::AudioChannelSet> input, output;   // nullopt: no bus at all
        bool accepted;
    };

    void PrintTo (const LayoutCase& c, std::ostream* os) { *os << c.name; }

    class ProcessorLayout : public ::testing::TestWithParam<LayoutCase> {};
}

TEST_P (ProcessorLayout, AcceptsOnlyMatchingMonoOrStereo)
{
    const auto& c = GetParam();
    QuietProcessor processor;
    juce::AudioProcessor::BusesLayout layout;
    if (c.input) layout.inputBuses.add (*c.input);
    if (c.output) layout.outputBuses.add (*c.output);

    EXPECT_EQ (processor.isBusesLayoutSupported (layout), c.accepted);
    // JUCE's own path to the same answer.
    EXPECT_EQ (processor.checkBusesLayoutSupported (layout), c.accepted);
}

INSTANTIATE_TEST_SUITE_P (Table, ProcessorLayout, ::testing::Values (
    LayoutCase { "mono_mono", juce::AudioChannelSet::mono(), juce::AudioChannelSet::mono(), true },
    LayoutCase { "stereo_stereo", juce::AudioChannelSet::stereo(), juce::AudioChannelSet::stereo(), true },
    LayoutCase { "stereo_mono", juce::AudioChannelSet::stereo(), juce::AudioChannelSet::mono(), false },
    LayoutCase { "mono_stereo", juce::AudioChannelSet::mono(), juce::AudioChannelSet::stereo(), false },
    LayoutCase { "disabled_in_stereo_out", juce::AudioChannelSet::disabled(), juce::AudioChannelSet::stereo(), false },
    LayoutCase { "stereo_in_disabled_out", juce::AudioChannelSet::stereo(), juce::AudioChannelSet::disabled(), false },
    LayoutCase { "disabled_both", juce::AudioChannelSet::disabled(), juce::AudioChannelSet::disabled(), false },
    LayoutCase { "no_output_bus", juce::AudioChannelSet::stereo(), std::nullopt, false },
    LayoutCase { "surround_5_1", juce::AudioChannelSet::create5point1(), juce::AudioChannelSet::create5point1(), false },
    LayoutCase { "quadraphonic", juce::AudioChannelSet::quadraphonic(), juce::AudioChannelSet::quadraphonic(), false },
    LayoutCase { "lcr", juce::AudioChannelSet::createLCR(), juce::AudioChannelSet::createLCR(), false }),
    [] (const auto& testInfo) { return std::string (testInfo.param.name); });

namespace
{
    struct PlayHeadCase
    {
        const char* name;
        bool hasPlayHead;
        bool hasPosition;
        bool playing;
        bool expected;
    };

    void PrintTo (const PlayHeadCase& c, std::ostream* os) { *os << c.name; }

    struct ScriptedPlayHead : juce::AudioPlayHead
    {
        bool hasPosition = true, playing = false;

        juce::Optional<PositionInfo> getPosition() const override
        {
            if (! hasPosition)
                return {};

            PositionInfo info;
            info.setIsPlaying (playing);
            info.setBpm (120.0);   // other fields must not matter
            return info;
        }
    };

    class ProcessorPlayHead : public ::testing::TestWithParam<PlayHeadCase> {};
}

TEST_P (ProcessorPlayHead, DerivesThePlayingState)
{
    const auto& c = GetParam();
    QuietProcessor processor;
    ScriptedPlayHead playHead;
    playHead.hasPosition = c.hasPosition;
    playHead.playing = c.playing;
    processor.setPlayHead (c.hasPlayHead ? &playHead : nullptr);

    juce::MidiBuffer midi;
    for (int block = 0; block < 3; ++block)
    {
        // Seed the opposite value so that a stale state cannot pass.
        processor.server.hostPlaying = ! c.expected;
        juce::AudioBuffer<float> buffer (2, 64);
        buffer.clear();
        processor.processBlock (buffer, midi);
        EXPECT_EQ (processor.server.hostPlaying.load(), c.expected);
    }

    processor.setPlayHead (nullptr);
}

INSTANTIATE_TEST_SUITE_P (Table, ProcessorPlayHead, ::testing::Values (
    PlayHeadCase { "no_play_head", false, false, false, false },
    PlayHeadCase { "no_position", true, false, true, false },
    PlayHeadCase { "stopped", true, true, false, false },
    PlayHeadCase { "playing", true, true, true, true }),
    [] (const auto& testInfo) { return std::string (testInfo.param.name); });
