#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

#include "server/LinkServer.h"

// Passes the track's audio through unchanged and hands a stereo copy of the input, the host's
// playing state and its sample rate to the link server that it owns.
class LinkProcessor : public juce::AudioProcessor
{
public:
    LinkProcessor();
    ~LinkProcessor() override;

    const juce::String getName() const override;
    void prepareToPlay (double sampleRate, int maximumExpectedSamplesPerBlock) override;
    void releaseResources() override;
    void processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midiMessages) override;
    using juce::AudioProcessor::processBlock;
    double getTailLengthSeconds() const override;
    bool acceptsMidi() const override;
    bool producesMidi() const override;
    juce::AudioProcessorEditor* createEditor() override;
    bool hasEditor() const override;
    int getNumPrograms() override;
    int getCurrentProgram() override;
    void setCurrentProgram (int index) override;
    const juce::String getProgramName (int index) override;
    void changeProgramName (int index, const juce::String& newName) override;
    void getStateInformation (juce::MemoryBlock& destData) override;
    void setStateInformation (const void* data, int sizeInBytes) override;
    bool isBusesLayoutSupported (const BusesLayout& layouts) const override;

    LinkServer server;

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (LinkProcessor)
};
