// A minimal DAW stand-in for the end-to-end stream tests in tests/web: it loads the built bundle,
// feeds it a known signal at real-time pace and writes down every frame it fed, so that a client
// of the plug-in's server can compare what it received with what went in.

#include "support/HostedPlugin.h"

#include <X11/Xlib.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <thread>
#include <vector>

namespace
{
    // As in TestMain.cpp: a window-manager-less Xvfb answers some of JUCE's harmless requests with
    // errors, and Xlib's default handler would end the process.
    int reportXError (Display*, XErrorEvent* event)
    {
        std::fprintf (stderr, "X error %d (request %d) ignored\n", event->error_code, event->request_code);
        return 0;
    }

    // A test that has what it needs ends the run early with SIGTERM; the fed file is still written.
    volatile std::sig_atomic_t stopRequested = 0;

    void requestStop (int) { stopRequested = 1; }

    struct Options
    {
        double rate = 48000.0;
        int block = 256;
        double seconds = 4.0;
        bool mono = false;
        bool playing = true;
        juce::String fedFile;
    };

    bool parseOptions (const juce::StringArray& args, Options& options, juce::String& error)
    {
        for (int i = 0; i < args.size(); ++i)
        {
            const auto& arg = args[i];
            const auto hasValue = i + 1 < args.size();

            if (arg == "--mono")
                options.mono = true;
            else if (arg == "--stopped")
                options.playing = false;
            else if (arg == "--rate" && hasValue)
                options.rate = args[++i].getDoubleValue();
            else if (arg == "--block" && hasValue)
                options.block = args[++i].getIntValue();
            else if (arg == "--seconds" && hasValue)
                options.seconds = args[++i].getDoubleValue();
            else if (arg == "--fed" && hasValue)
                options.fedFile = args[++i];
            else
            {
                error = "unknown or incomplete option: " + arg;
                return false;
            }
        }

        if (options.rate < 8000.0 || options.block < 1 || options.seconds <= 0.0)
        {
            error = "--rate, --block and --seconds must be positive (rate at least 8000)";
            return false;
        }

        return true;
    }

    // Every sample differs from every other within 8e6 frames, and left from right, and each value
    // is exact in float32, so a dropped, repeated, swapped or altered sample shows in a bitwise compare.
    float leftSample (juce::int64 frame)
    {
        return (float) ((frame % 8000000) + 1) * (1.0f / 8388608.0f);
    }

    float rightSample (juce::int64 frame)
    {
        return -0.5f * leftSample (frame);
    }

    struct FeedPlayHead : juce::AudioPlayHead
    {
        explicit FeedPlayHead (bool isPlaying) : playing (isPlaying) {}

        juce::Optional<PositionInfo> getPosition() const override
        {
            PositionInfo info;
            info.setIsPlaying (playing);
            info.setTimeInSamples (samplePosition.load());
            return info;
        }

        const bool playing;
        std::atomic<juce::int64> samplePosition { 0 };
    };

    int run (const Options& options)
    {
        juce::String error;
        auto instance = velmorine::test::HostedPlugin::create (options.rate, options.block, error);

        if (instance == nullptr)
        {
            std::fprintf (stderr, "cannot load the plug-in: %s\n", error.toRawUTF8());
            return 1;
        }

        if (options.mono)
        {
            juce::AudioProcessor::BusesLayout layout;
            layout.inputBuses.add (juce::AudioChannelSet::mono());
            layout.outputBuses.add (juce::AudioChannelSet::mono());

            // Hosts choose the layout before preparing: afterwards JUCE's host side accepts anything.
            if (! instance->setBusesLayout (layout))
            {
                std::fprintf (stderr, "the plug-in refused a mono layout\n");
                return 1;
            }
        }

        FeedPlayHead playHead (options.playing);
        instance->setPlayHead (&playHead);
        instance->prepareToPlay (options.rate, options.block);

        const auto channels = juce::jmax (instance->getTotalNumInputChannels(), instance->getTotalNumOutputChannels());
        const auto totalFrames = (juce::int64) std::ceil (options.seconds * options.rate);

        // Grows as it goes: runs are usually ended early, so --seconds is only a bound.
        std::vector<float> fed;

        juce::AudioBuffer<float> buffer (channels, options.block);
        juce::MidiBuffer midi;

        std::printf ("ready\n");
        std::fflush (stdout);

        using Clock = std::chrono::steady_clock;
        const auto start = Clock::now();
        juce::int64 frame = 0;

        while (frame < totalFrames && stopRequested == 0)
        {
            // Each block is due at its own time measured from the start, so late wake-ups never add up.
            const auto dueNs = (juce::int64) ((double) frame * 1.0e9 / options.rate);
            std::this_thread::sleep_until (start + std::chrono::nanoseconds (dueNs));

            const auto count = (int) juce::jmin ((juce::int64) options.block, totalFrames - frame);
            buffer.setSize (channels, count, false, false, true);

            for (int i = 0; i < count; ++i)
            {
                const auto left = leftSample (frame + i);
                const auto right = options.mono ? left : rightSample (frame + i);
                buffer.setSample (0, i, left);

                if (channels > 1)
                    buffer.setSample (1, i, right);

                fed.push_back (left);
                fed.push_back (right);
            }

            playHead.samplePosition.store (frame);
            instance->processBlock (buffer, midi);
            frame += count;
        }

        instance->releaseResources();
        instance->setPlayHead (nullptr);
        instance.reset();

        if (options.fedFile.isNotEmpty())
        {
            juce::MemoryOutputStream bytes (fed.size() * sizeof (float));

            for (const auto sample : fed)
                bytes.writeFloat (sample);  // little-endian, whatever the machine

            if (! juce::File (options.fedFile).replaceWithData (bytes.getData(), bytes.getDataSize()))
            {
                std::fprintf (stderr, "cannot write %s\n", options.fedFile.toRawUTF8());
                return 1;
            }
        }

        return 0;
    }
}

int main (int argc, char** argv)
{
    juce::StringArray args;
    for (int i = 1; i < argc; ++i)
        args.add (juce::String::fromUTF8 (argv[i]));

    Options options;
    juce::String error;

    if (! parseOptions (args, options, error))
    {
        std::fprintf (stderr, "%s\nusage: velmorine_feed_host [--rate R] [--block B] [--seconds S] [--mono] [--stopped] [--fed FILE]\n",
                      error.toRawUTF8());
        return 2;
    }

    std::signal (SIGTERM, requestStop);
    std::signal (SIGINT, requestStop);
    XSetErrorHandler (reportXError);

    // This thread becomes JUCE's message thread, as a host's main thread is.
    juce::ScopedJuceInitialiser_GUI juceRuntime;
    return run (options);
}
