// velmorine-host: a headless DAW stand-in. It loads the Velmorine Link bundle through JUCE's VST3
// hosting and feeds it a WAV file or a test signal in real time on an audio thread of its own,
// with a play head, so that the link can be seen working without a DAW.

#include "common/WavFile.h"

#include <juce_audio_processors/juce_audio_processors.h>

#if JUCE_LINUX
 #include <X11/Xlib.h>
#endif

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <thread>
#include <unistd.h>

namespace
{
    const char* const kHelp =
        "velmorine-host: play audio into Velmorine Link without a DAW.\n"
        "\n"
        "Usage: velmorine-host [options] [PLUGIN.vst3]\n"
        "  PLUGIN.vst3          the bundle to load (default: the one this build made)\n"
        "  --rate HZ            sample rate (default 48000)\n"
        "  --block N            block size in frames (default 256)\n"
        "  --input FILE.wav     play a mono or stereo WAV file (at --rate, whatever its own rate)\n"
        "                       instead of the built-in test signal (a tone sequence, different\n"
        "                       on left and right)\n"
        "  --signal ramp        instead of the tones, a ramp in which every sample differs (up to\n"
        "                       8 million frames) and right is -0.5 times left: any lost, repeated\n"
        "                       or altered sample shows in a bit-for-bit comparison\n"
        "  --seconds N          stop after N seconds (default: the file's length, or 5 s)\n"
        "  --mono               run the plug-in mono in, mono out (a mono file does this by itself)\n"
        "  --stopped            the play head reports stopped instead of playing\n"
        "  --pause-at S[,S...]  toggle playing / stopped at these times in seconds\n"
        "  --record-input FILE.wav  write what was fed, as 32-bit float stereo (mono doubled)\n"
        "  --show-editor        open the plug-in's window (needs a display)\n"
        "  --help               this text\n"
        "\n"
        "Ctrl-C (or SIGTERM) ends the run early; it still finishes --record-input and exits 0.\n"
        "Exit codes: 0 done, 1 bad options, 2 the plug-in could not be loaded, 3 bad input file.\n";

    std::atomic<bool> interrupted { false };
    void onInterrupt (int) { interrupted = true; }

   #if JUCE_LINUX
    // A console host has no X error handler of its own, and Xlib's default one ends the process on
    // the first harmless error from a window-manager-less display.
    int reportXError (Display*, XErrorEvent*) { return 0; }
   #endif

    struct Options
    {
        juce::String plugin = VELMORINE_DEFAULT_BUNDLE;
        double rate = 48000.0;
        int block = 256;
        juce::File input;
        double seconds = -1.0;
        bool mono = false;
        bool playing = true;
        std::vector<double> toggles;
        juce::File recordInput;
        bool showEditor = false;
        bool ramp = false;
    };

    // The built-in signal: a rising arpeggio on the left, the same a fifth lower on the right,
    // each note faded in and out, with a slow level drift so that no stretch of it repeats.
    struct TestSignal
    {
        double rate;

        void fill (juce::int64 frame, float& left, float& right) const
        {
            static const double notes[] = { 523.25, 659.25, 783.99, 1046.50 };
            const auto t = (double) frame / rate;
            const auto noteIndex = (int) std::fmod (t * 4.0, 4.0);
            const auto inNote = std::fmod (t, 0.25) / 0.25;
            const auto envelope = std::sin (juce::MathConstants<double>::pi * inNote);
            const auto drift = 0.8 + 0.2 * std::sin (2.0 * juce::MathConstants<double>::pi * t / 7.31);
            left = (float) (0.5 * drift * envelope * std::sin (2.0 * juce::MathConstants<double>::pi * notes[noteIndex] * t));
            right = (float) (0.4 * drift * envelope * std::sin (2.0 * juce::MathConstants<double>::pi * notes[noteIndex] * (2.0 / 3.0) * t));
        }
    };

    // Every sample distinct and exact in float32, left different from right.
    void rampSample (juce::int64 frame, float& left, float& right)
    {
        left = (float) ((frame % 8000000) + 1) * (1.0f / 8388608.0f);
        right = -0.5f * left;
    }

    struct ScriptedPlayHead : juce::AudioPlayHead
    {
        std::atomic<bool> playing { true };
        std::atomic<juce::int64> position { 0 };

        juce::Optional<PositionInfo> getPosition() const override
        {
            PositionInfo info;
            info.setIsPlaying (playing.load());
            info.setTimeInSamples (position.load());
            return info;
        }
    };

    bool parse (const juce::StringArray& args, Options& o)
    {
        for (int i = 0; i < args.size(); ++i)
        {
            const auto& arg = args[i];
            const bool hasValue = i + 1 < args.size();
            auto file = [&] { return juce::File::getCurrentWorkingDirectory().getChildFile (args[++i]); };

            if (arg == "--help" || arg == "-h")
            {
                std::fputs (kHelp, stdout);
                std::exit (0);
            }
            else if (arg == "--mono") o.mono = true;
            else if (arg == "--stopped") o.playing = false;
            else if (arg == "--show-editor") o.showEditor = true;
            else if (arg == "--rate" && hasValue) o.rate = args[++i].getDoubleValue();
            else if (arg == "--block" && hasValue) o.block = args[++i].getIntValue();
            else if (arg == "--seconds" && hasValue) o.seconds = args[++i].getDoubleValue();
            else if (arg == "--input" && hasValue) o.input = file();
            else if (arg == "--signal" && hasValue && args[i + 1] == "ramp") { o.ramp = true; ++i; }
            else if (arg == "--signal" && hasValue && args[i + 1] == "tones") { o.ramp = false; ++i; }
            else if (arg == "--record-input" && hasValue) o.recordInput = file();
            else if (arg == "--pause-at" && hasValue)
            {
                juce::StringArray times;
                times.addTokens (args[++i], ",", {});
                for (const auto& t : times)
                    o.toggles.push_back (t.getDoubleValue());
                std::sort (o.toggles.begin(), o.toggles.end());
            }
            else if (! arg.startsWith ("--"))
                o.plugin = juce::File::getCurrentWorkingDirectory().getChildFile (arg).getFullPathName();
            else
            {
                std::fprintf (stderr, "velmorine-host: unknown or incomplete option '%s' (see --help)\n", arg.toRawUTF8());
                return false;
            }
        }

        if (o.rate < 8000.0 || o.rate > 384000.0 || o.block < 1 || o.block > 16384)
        {
            std::fprintf (stderr, "velmorine-host: --rate takes 8000..384000 and --block 1..16384\n");
            return false;
        }

        return true;
    }

    void showProgress (double elapsed, double total, bool final)
    {
        static const bool terminal = isatty (STDOUT_FILENO) != 0;
        const auto fraction = juce::jlimit (0.0, 1.0, elapsed / total);

        if (terminal)
        {
            const auto cells = (int) std::round (fraction * 30.0);
            std::printf ("\r[%s%s] %.1f / %.1f s%s", juce::String::repeatedString ("#", cells).toRawUTF8(),
                         juce::String::repeatedString (".", 30 - cells).toRawUTF8(), elapsed, total, final ? "\n" : "");
        }
        else
        {
            std::printf ("played %.1f / %.1f s\n", elapsed, total);
        }

        std::fflush (stdout);
    }
}

int main (int argc, char** argv)
{
    juce::StringArray args;
    for (int i = 1; i < argc; ++i)
        args.add (juce::String::fromUTF8 (argv[i]));

    Options options;
    if (! parse (args, options))
        return 1;

    velmorine::WavData wav;
    if (options.input != juce::File())
    {
        std::string error;
        if (! velmorine::readWav (options.input.getFullPathName().toStdString(), wav, error))
        {
            std::fprintf (stderr, "velmorine-host: %s\n", error.c_str());
            return 3;
        }
        options.mono = options.mono || wav.channels == 1;
        if (options.seconds < 0.0)
            options.seconds = (double) wav.numFrames() / options.rate;
    }

    if (options.seconds < 0.0)
        options.seconds = 5.0;

    std::signal (SIGINT, onInterrupt);
    std::signal (SIGTERM, onInterrupt);

   #if JUCE_LINUX
    XSetErrorHandler (reportXError);
   #endif

    juce::ScopedJuceInitialiser_GUI juceRuntime;

    juce::VST3PluginFormat format;
    juce::OwnedArray<juce::PluginDescription> found;
    format.findAllTypesForFile (found, options.plugin);

    if (found.isEmpty())
    {
        std::fprintf (stderr, "velmorine-host: no VST3 plug-in found in %s\n", options.plugin.toRawUTF8());
        return 2;
    }

    juce::String error;
    std::unique_ptr<juce::AudioPluginInstance> plugin (format.createInstanceFromDescription (*found[0], options.rate, options.block, error));

    if (plugin == nullptr)
    {
        std::fprintf (stderr, "velmorine-host: cannot load %s: %s\n", options.plugin.toRawUTF8(), error.toRawUTF8());
        return 2;
    }

    const auto channels = options.mono ? 1 : 2;
    const auto set = options.mono ? juce::AudioChannelSet::mono() : juce::AudioChannelSet::stereo();
    juce::AudioProcessor::BusesLayout layout;
    layout.inputBuses.add (set);
    layout.outputBuses.add (set);

    if (! plugin->setBusesLayout (layout))
    {
        std::fprintf (stderr, "velmorine-host: the plug-in refused the %s layout\n", options.mono ? "mono" : "stereo");
        return 2;
    }

    ScriptedPlayHead playHead;
    playHead.playing = options.playing;
    plugin->setPlayHead (&playHead);
    plugin->prepareToPlay (options.rate, options.block);

    std::unique_ptr<juce::DocumentWindow> window;
    if (options.showEditor)
    {
        window = std::make_unique<juce::DocumentWindow> (found[0]->name, juce::Colours::black, juce::DocumentWindow::closeButton);
        window->setUsingNativeTitleBar (true);
        window->setContentOwned (plugin->createEditorIfNeeded(), true);
        window->setVisible (true);
    }

    velmorine::FloatWavWriter fedWriter;
    if (options.recordInput != juce::File() && ! fedWriter.open (options.recordInput.getFullPathName().toStdString(), juce::roundToInt (options.rate)))
    {
        std::fprintf (stderr, "velmorine-host: cannot write %s\n", options.recordInput.getFullPathName().toRawUTF8());
        return 3;
    }

    std::printf ("Playing %s into %s at %.0f Hz, %d-frame blocks, %s, %s, for %.1f s\n",
                 options.input != juce::File() ? options.input.getFileName().toRawUTF8() : (options.ramp ? "the ramp" : "the test signal"),
                 found[0]->name.toRawUTF8(), options.rate, options.block, options.mono ? "mono" : "stereo",
                 options.playing ? "playing" : "stopped", options.seconds);
    std::fflush (stdout);

    // The audio thread, as in a DAW: blocks at their real-time due times; the main thread stays
    // JUCE's message thread for the plug-in's window.
    std::thread audio ([&]
    {
        const auto totalFrames = (juce::int64) std::llround (options.seconds * options.rate);
        const TestSignal signal { options.rate };
        juce::AudioBuffer<float> buffer (channels, options.block);
        std::vector<float> fed ((size_t) options.block * 2);
        juce::MidiBuffer midi;
        size_t nextToggle = 0;
        auto lastProgress = -1.0;
        const auto start = std::chrono::steady_clock::now();

        for (juce::int64 done = 0; done < totalFrames && ! interrupted;)
        {
            const auto n = (int) juce::jmin ((juce::int64) options.block, totalFrames - done);
            buffer.setSize (channels, n, false, false, true);

            for (int i = 0; i < n; ++i)
            {
                float l, r;
                if (options.input != juce::File())
                {
                    const auto frame = (size_t) (done + i);
                    l = frame < (size_t) wav.numFrames() ? wav.interleaved[frame * (size_t) wav.channels] : 0.0f;
                    r = frame < (size_t) wav.numFrames() ? wav.interleaved[frame * (size_t) wav.channels + (size_t) (wav.channels - 1)] : 0.0f;
                }
                else if (options.ramp)
                {
                    rampSample (done + i, l, r);
                }
                else
                {
                    signal.fill (done + i, l, r);
                }

                if (options.mono)
                    r = l;

                buffer.setSample (0, i, l);
                if (channels > 1)
                    buffer.setSample (1, i, r);
                fed[(size_t) (2 * i)] = l;
                fed[(size_t) (2 * i + 1)] = r;
            }

            const auto elapsed = (double) done / options.rate;
            while (nextToggle < options.toggles.size() && options.toggles[nextToggle] <= elapsed)
            {
                playHead.playing = ! playHead.playing.load();
                ++nextToggle;
            }

            std::this_thread::sleep_until (start + std::chrono::duration<double> (elapsed));
            playHead.position = done;
            plugin->processBlock (buffer, midi);
            fedWriter.write (fed.data(), n);
            done += n;

            if (elapsed - lastProgress >= (isatty (STDOUT_FILENO) ? 0.1 : 1.0))
            {
                showProgress (elapsed, options.seconds, false);
                lastProgress = elapsed;
            }
        }

        showProgress (options.seconds, options.seconds, true);
        juce::MessageManager::getInstance()->stopDispatchLoop();
    });

    juce::MessageManager::getInstance()->runDispatchLoop();
    audio.join();

    fedWriter.finish();
    window.reset();
    plugin->releaseResources();
    plugin->setPlayHead (nullptr);
    plugin.reset();
    return 0;
}
