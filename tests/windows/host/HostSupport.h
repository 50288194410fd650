#pragma once

// What the Windows host program needs around the bare VST3 interfaces: the module loaded as a host
// loads it, a minimal host context, checks that report and count, and one component set up for
// processing. Only the SDK's headers are used: nothing of JUCE's hosting is in between.

#include <windows.h>

#include "pluginterfaces/base/ipluginbase.h"
#include "pluginterfaces/vst/ivstaudioprocessor.h"
#include "pluginterfaces/vst/ivstcomponent.h"
#include "pluginterfaces/vst/ivsthostapplication.h"
#include "pluginterfaces/vst/ivstprocesscontext.h"
#include "pluginterfaces/vst/vstspeaker.h"

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace winhost
{
    using namespace Steinberg;

    inline std::string fromUtf16 (const Vst::TChar* text)
    {
        std::string out;
        for (; *text != 0; ++text)
            out += *text < 128 ? (char) *text : '?';
        return out;
    }

    inline bool sameIid (const TUID a, const TUID b)
    {
        return std::memcmp (a, b, sizeof (TUID)) == 0;
    }

    // Counts checks and prints each failure with the section it belongs to; the last line is the
    // plain "N passed, N failed" summary.
    class Checks
    {
    public:
        void section (const std::string& name)
        {
            current = name;
            std::printf ("-- %s\n", name.c_str());
            std::fflush (stdout);
        }

        bool expect (bool ok, const std::string& what)
        {
            if (ok)
            {
                ++passed;
            }
            else
            {
                ++failed;
                std::printf ("FAILED [%s] %s\n", current.c_str(), what.c_str());
                std::fflush (stdout);
            }

            return ok;
        }

        template <typename A, typename B>
        bool expectEqual (const A& actual, const B& expected, const std::string& what)
        {
            std::ostringstream text;
            text << what << ": got " << actual << ", expected " << expected;
            return expect (actual == expected, text.str());
        }

        int finish()
        {
            std::printf ("%d passed, %d failed\n", passed, failed);
            return failed == 0 && passed > 0 ? 0 : 1;
        }

    private:
        std::string current;
        int passed = 0;
        int failed = 0;
    };

    // The host context handed to initialize(): a host application that names itself and makes
    // nothing, as the plug-in needs nothing else from us.
    class HostContext : public Vst::IHostApplication
    {
    public:
        tresult PLUGIN_API getName (Vst::String128 name) override
        {
            const char* text = "Velmorine test host";
            int i = 0;
            for (; text[i] != 0; ++i)
                name[i] = (Vst::TChar) text[i];
            name[i] = 0;
            return kResultOk;
        }

        tresult PLUGIN_API createInstance (TUID, TUID, void** obj) override
        {
            *obj = nullptr;
            return kResultFalse;
        }

        tresult PLUGIN_API queryInterface (const TUID iid, void** obj) override
        {
            if (sameIid (iid, FUnknown_iid) || sameIid (iid, Vst::IHostApplication_iid))
            {
                *obj = this;
                return kResultOk;
            }

            *obj = nullptr;
            return kNoInterface;
        }

        // Lives for the whole program: counting would only hide a plug-in's unbalanced release.
        uint32 PLUGIN_API addRef() override { return 1; }
        uint32 PLUGIN_API release() override { return 1; }
    };

    // The module, loaded and entered as a Windows host does: LoadLibrary, InitDll, then GetPluginFactory.
    struct LoadedModule
    {
        using EntryFn = bool (*)();
        using FactoryFn = IPluginFactory* (PLUGIN_API*)();

        bool load (const std::wstring& path, std::string& error)
        {
            handle = LoadLibraryW (path.c_str());

            if (handle == nullptr)
            {
                error = "LoadLibrary failed with error " + std::to_string (GetLastError());
                return false;
            }

            initDll = reinterpret_cast<EntryFn> (reinterpret_cast<void*> (GetProcAddress (handle, "InitDll")));
            exitDll = reinterpret_cast<EntryFn> (reinterpret_cast<void*> (GetProcAddress (handle, "ExitDll")));
            getFactory = reinterpret_cast<FactoryFn> (reinterpret_cast<void*> (GetProcAddress (handle, "GetPluginFactory")));

            if (initDll == nullptr || exitDll == nullptr || getFactory == nullptr)
            {
                error = "an entry point is missing";
                return false;
            }

            if (! initDll())
            {
                error = "InitDll returned false";
                return false;
            }

            return true;
        }

        // The factory that the host keeps for the rest of the run.
        bool keepFactory (std::string& error)
        {
            factory = getFactory();

            if (factory == nullptr)
                error = "GetPluginFactory returned null";

            return factory != nullptr;
        }

        // ExitDll, then FreeLibrary; true when both succeed.
        bool unload()
        {
            if (factory != nullptr)
                factory->release();

            factory = nullptr;
            const auto exited = exitDll != nullptr && exitDll();
            const auto freed = handle != nullptr && FreeLibrary (handle) != 0;
            handle = nullptr;
            return exited && freed;
        }

        HMODULE handle = nullptr;
        EntryFn initDll = nullptr;
        EntryFn exitDll = nullptr;
        FactoryFn getFactory = nullptr;
        IPluginFactory* factory = nullptr;
    };

    // The test signal: every sample differs from every other within 8e6 frames and each value is
    // exact in float32, so a dropped, repeated, swapped or altered sample shows in a bitwise
    // compare. The right channel is the left times -0.25 for instance 0 and -0.125 for instance 1,
    // which tells a listener which instance a stream comes from (and tells both from the Linux
    // feed host's -0.5, should one hold the port on a shared machine).
    inline float leftSample (long long frame)
    {
        return (float) ((frame % 8000000) + 1) * (1.0f / 8388608.0f);
    }

    inline float rightSample (long long frame, int instance)
    {
        return (instance == 0 ? -0.25f : -0.125f) * leftSample (frame);
    }

    // One audio component as a host drives it: created, initialised, laid out, activated and
    // processing, with its own input and output buffers.
    struct Instance
    {
        Vst::IComponent* component = nullptr;
        Vst::IAudioProcessor* processor = nullptr;
        int channels = 2;
        int maxBlock = 0;
        double sampleRate = 0.0;
        std::vector<std::vector<float>> input, output;
        Vst::ProcessContext context {};

        bool create (IPluginFactory& factory, const unsigned char (&componentId)[16], FUnknown* host, std::string& error)
        {
            const auto cid = reinterpret_cast<FIDString> (componentId);

            if (factory.createInstance (cid, Vst::IComponent_iid, (void**) &component) != kResultOk || component == nullptr)
                return fail (error, "createInstance of the component failed");

            if (component->initialize (host) != kResultOk)
                return fail (error, "the component's initialize failed");

            if (component->queryInterface (Vst::IAudioProcessor_iid, (void**) &processor) != kResultOk || processor == nullptr)
                return fail (error, "the component has no IAudioProcessor");

            return true;
        }

        tresult setLayout (Vst::SpeakerArrangement in, Vst::SpeakerArrangement out)
        {
            return processor->setBusArrangements (&in, 1, &out, 1);
        }

        bool start (int numChannels, double rate, int blockSize, std::string& error)
        {
            channels = numChannels;
            sampleRate = rate;
            maxBlock = blockSize;
            const auto arrangement = numChannels == 1 ? Vst::SpeakerArr::kMono : Vst::SpeakerArr::kStereo;

            if (setLayout (arrangement, arrangement) != kResultTrue)
                return fail (error, "the layout was refused");

            Vst::ProcessSetup setup { Vst::kRealtime, Vst::kSample32, blockSize, rate };

            if (processor->canProcessSampleSize (Vst::kSample32) != kResultTrue)
                return fail (error, "32-bit samples refused");

            if (processor->setupProcessing (setup) != kResultOk)
                return fail (error, "setupProcessing failed");

            // Hosts switch on the buses they feed and read; the plug-in ignores the others' buffers.
            if (component->activateBus (Vst::kAudio, Vst::kInput, 0, true) != kResultOk
                || component->activateBus (Vst::kAudio, Vst::kOutput, 0, true) != kResultOk)
                return fail (error, "activateBus failed");

            if (component->setActive (true) != kResultOk)
                return fail (error, "setActive (true) failed");

            // JUCE answers kNotImplemented here; what matters is that processing then works.
            processor->setProcessing (true);

            input.assign ((size_t) channels, std::vector<float> ((size_t) blockSize));
            output.assign ((size_t) channels, std::vector<float> ((size_t) blockSize));
            context.sampleRate = rate;
            return true;
        }

        // Processes numSamples of input[] into output[] (or in place) and tells the plug-in whether
        // the transport is playing.
        bool process (int numSamples, bool playing, long long position, bool inPlace = false)
        {
            std::vector<float*> ins, outs;

            for (int c = 0; c < channels; ++c)
            {
                ins.push_back (input[(size_t) c].data());
                outs.push_back (inPlace ? input[(size_t) c].data() : output[(size_t) c].data());
            }

            Vst::AudioBusBuffers inBus {}, outBus {};
            inBus.numChannels = channels;
            inBus.channelBuffers32 = ins.data();
            outBus.numChannels = channels;
            outBus.channelBuffers32 = outs.data();

            context.state = playing ? Vst::ProcessContext::kPlaying : 0;
            context.projectTimeSamples = position;

            Vst::ProcessData data {};
            data.processMode = Vst::kRealtime;
            data.symbolicSampleSize = Vst::kSample32;
            data.numSamples = numSamples;
            data.numInputs = 1;
            data.numOutputs = 1;
            data.inputs = &inBus;
            data.outputs = &outBus;
            data.processContext = &context;
            return processor->process (data) == kResultOk;
        }

        void stop()
        {
            processor->setProcessing (false);
            component->setActive (false);
        }

        // terminate() and the last releases; true when terminate succeeded and nothing else holds
        // the component.
        bool shutDown()
        {
            const auto terminated = component->terminate() == kResultOk;
            processor->release();
            const auto remaining = component->release();
            processor = nullptr;
            component = nullptr;
            return terminated && remaining == 0;
        }

    private:
        static bool fail (std::string& error, const char* what)
        {
            error = what;
            return false;
        }
    };
}
