#include "LinkProcessor.h"

#include "editor/LinkEditor.h"

LinkProcessor::LinkProcessor()
    : juce::AudioProcessor (BusesProperties()
                                .withInput ("Input", juce::AudioChannelSet::stereo(), true)
                                .withOutput ("Output", juce::AudioChannelSet::stereo(), true))
{
    // Last, so that the server thread never sees a half-built processor.
    server.start();
}

LinkProcessor::~LinkProcessor()
{
    server.stop();
}

const juce::String LinkProcessor::getName() const
{
    return "Velmorine Link";
}

void LinkProcessor::prepareToPlay (double sampleRate, int)
{
    server.setSampleRate (sampleRate);
}

void LinkProcessor::releaseResources()
{
}

void LinkProcessor::processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer&)
{
    juce::ScopedNoDenormals noDenormals;

    bool isPlaying = false;

    if (auto* head = getPlayHead())
        if (const auto position = head->getPosition())
            isPlaying = position->getIsPlaying();

    const auto totalIns = getTotalNumInputChannels();

    for (auto channel = totalIns; channel < getTotalNumOutputChannels(); ++channel)
        buffer.clear (channel, 0, buffer.getNumSamples());

    // The input channels are never written: they reach the output unchanged.
    server.pushAudio (buffer.getArrayOfReadPointers(), juce::jmin (totalIns, 2), buffer.getNumSamples(), isPlaying);
}

double LinkProcessor::getTailLengthSeconds() const { return 0.0; }
bool LinkProcessor::acceptsMidi() const { return false; }
bool LinkProcessor::producesMidi() const { return false; }

juce::AudioProcessorEditor* LinkProcessor::createEditor()
{
    return new LinkEditor (*this);
}

bool LinkProcessor::hasEditor() const { return true; }
int LinkProcessor::getNumPrograms() { return 1; }
int LinkProcessor::getCurrentProgram() { return 0; }
void LinkProcessor::setCurrentProgram (int) {}
const juce::String LinkProcessor::getProgramName (int) { return {}; }
void LinkProcessor::changeProgramName (int, const juce::String&) {}

// The processor has nothing to save: the host's state holds only what JUCE's wrapper adds.
void LinkProcessor::getStateInformation (juce::MemoryBlock&) {}
void LinkProcessor::setStateInformation (const void*, int) {}

bool LinkProcessor::isBusesLayoutSupported (const BusesLayout& layouts) const
{
    const auto output = layouts.getMainOutputChannelSet();

    if (output != juce::AudioChannelSet::mono() && output != juce::AudioChannelSet::stereo())
        return false;

    return layouts.getMainInputChannelSet() == output;
}

juce::AudioProcessor* JUCE_CALLTYPE createPluginFilter()
{
    return new LinkProcessor();
}
