#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

#include <memory>

namespace velmorine::test
{
    // Loads the built bundle through JUCE's VST3 hosting, as a DAW's scan and insert would.
    struct HostedPlugin
    {
        static juce::String bundlePath() { return VELMORINE_BUNDLE; }

        static juce::OwnedArray<juce::PluginDescription> scan()
        {
            juce::VST3PluginFormat format;
            juce::OwnedArray<juce::PluginDescription> found;
            format.findAllTypesForFile (found, bundlePath());
            return found;
        }

        static std::unique_ptr<juce::AudioPluginInstance> create (double sampleRate, int blockSize, juce::String& error)
        {
            auto found = scan();
            if (found.size() != 1)
            {
                error = "scan found " + juce::String (found.size()) + " plug-ins";
                return {};
            }

            juce::VST3PluginFormat format;
            return format.createInstanceFromDescription (*found[0], sampleRate, blockSize, error);
        }
    };
}
