#include "LinkEditor.h"

#include "processor/LinkProcessor.h"

namespace
{
    const juce::Colour kBackground { 0xff111113 };
    const juce::Colour kHintGrey { 0xff808080 };

    juce::Font makeFont (float height, int style)
    {
       #if JUCE_MAJOR_VERSION >= 8
        return juce::Font (juce::FontOptions ({}, height, style));
       #else
        return juce::Font (height, style);
       #endif
    }
}

DisplayState chooseDisplayState (bool clientConnected, bool listening)
{
    if (clientConnected)
        return DisplayState::connected;

    return listening ? DisplayState::waiting : DisplayState::portBusy;
}

juce::Colour colourFor (DisplayState state)
{
    switch (state)
    {
        case DisplayState::connected: return juce::Colour (0xff22c55e);
        case DisplayState::waiting:   return juce::Colour (0xfffbbf24);
        case DisplayState::portBusy:  break;
    }

    return juce::Colour (0xffef4444);
}

LinkEditor::LinkEditor (LinkProcessor& processorToShow)
    : juce::AudioProcessorEditor (processorToShow),
      linkProcessor (processorToShow)
{
    setSize (kWidth, kHeight);
    startTimer (250);
}

LinkEditor::~LinkEditor()
{
    stopTimer();
}

void LinkEditor::timerCallback()
{
    repaint();
}

void LinkEditor::paint (juce::Graphics& g)
{
    auto& server = linkProcessor.server;

    g.fillAll (kBackground);

    auto content = getLocalBounds().reduced (16);

    g.setColour (juce::Colours::white);
    g.setFont (makeFont (16.0f, juce::Font::bold));
    g.drawText ("VELMORINE LINK", content.removeFromTop (24).toFloat(), juce::Justification::centredLeft, true);

    // Each flag is loaded where it is needed: listening only when no client is served.
    const bool connected = server.clientConnected.load();
    const auto state = chooseDisplayState (connected, ! connected && server.listening.load());

    juce::String statusLine, hint;

    switch (state)
    {
        case DisplayState::connected:
            statusLine = "Connected to Velmorine";
            hint = "Pick \"From DAW\" as the microphone in the app.";
            break;
        case DisplayState::waiting:
            statusLine = "Waiting for Velmorine...";
            hint = "In the app: Audio settings > Microphone > From DAW.";
            break;
        case DisplayState::portBusy:
            statusLine = "Port " + juce::String (server.port.load()) + " is busy";
            hint = "Another Velmorine Link is already running.";
            break;
    }

    content.removeFromTop (12);
    auto statusRow = content.removeFromTop (22);

    g.setColour (colourFor (state));
    auto dotColumn = statusRow.removeFromLeft (12);
    g.fillEllipse (dotColumn.withSizeKeepingCentre (10, 10).toFloat());

    statusRow.removeFromLeft (8);

    g.setColour (juce::Colours::white);
    g.setFont (makeFont (14.0f, juce::Font::plain));
    g.drawText (statusLine, statusRow.toFloat(), juce::Justification::centredLeft, true);

    content.removeFromTop (6);

    g.setColour (kHintGrey);
    g.setFont (makeFont (12.0f, juce::Font::plain));
    g.drawFittedText (hint + "  (ws://127.0.0.1:" + juce::String (server.port.load()) + ")",
                      content, juce::Justification::topLeft, 2);
}
