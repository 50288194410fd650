#pragma once

#include <juce_audio_processors/juce_audio_processors.h>

class LinkProcessor;

// What the status window shows, chosen from the server's flags alone.
enum class DisplayState
{
    connected,
    waiting,
    portBusy
};

// A client being served wins over everything; otherwise listening means waiting for the app.
DisplayState chooseDisplayState (bool clientConnected, bool listening);

juce::Colour colourFor (DisplayState state);

// The plug-in's window: a fixed status panel, redrawn four times a second from the server's flags.
class LinkEditor : public juce::AudioProcessorEditor,
                   public juce::Timer
{
public:
    static constexpr int kWidth = 340;
    static constexpr int kHeight = 130;

    explicit LinkEditor (LinkProcessor& processor);
    ~LinkEditor() override;

    void paint (juce::Graphics& g) override;
    void timerCallback() override;

private:

    LinkProcessor& linkProcessor;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (LinkEditor)
};
