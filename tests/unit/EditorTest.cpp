#include "editor/LinkEditor.h"
#include "support/QuietProcessor.h"

#include <gtest/gtest.h>

using velmorine::test::QuietProcessor;

namespace
{
    struct StateCase
    {
        const char* name;
        bool connected, listening;
        DisplayState state;
        juce::uint32 dotArgb;
        const char* statusLine;
        const char* hint;
    };

    void PrintTo (const StateCase& c, std::ostream* os) { *os << c.name; }

    const StateCase kStates[] = {
        { "connected", true, true, DisplayState::connected, 0xff22c55e,
          "Connected to Velmorine", "Pick \"From DAW\" as the microphone in the app." },
        { "waiting", false, true, DisplayState::waiting, 0xfffbbf24,
          "Waiting for Velmorine...", "In the app: Audio settings > Microphone > From DAW." },
        { "port_busy", false, false, DisplayState::portBusy, 0xffef4444,
          "Port 47800 is busy", "Another Velmorine Link is already running." },
    };

    juce::Image render (LinkEditor& editor)
    {
        juce::Image image (juce::Image::ARGB, editor.getWidth(), editor.getHeight(), true);
        juce::Graphics g (image);
        editor.paint (g);
        return image;
    }

    // The window's texts drawn on their own at the positions of the fixed layout, so that the
    // editor's text regions can be compared with the exact strings pixel for pixel.
    juce::Image renderTexts (const juce::String& statusLine, const juce::String& hintLine)
    {
        juce::Image image (juce::Image::ARGB, 340, 130, true);
        juce::Graphics g (image);
        g.fillAll (juce::Colour (0xff111113));
        g.setColour (juce::Colours::white);
        g.setFont (juce::Font (14.0f, juce::Font::plain));
        g.drawText (statusLine, juce::Rectangle<float> (36, 52, 288, 22), juce::Justification::centredLeft, true);
        g.setColour (juce::Colour (0xff808080));
        g.setFont (juce::Font (12.0f, juce::Font::plain));
        g.drawFittedText (hintLine, { 16, 80, 308, 34 }, juce::Justification::topLeft, 2);
        return image;
    }

    int differingPixels (const juce::Image& a, const juce::Image& b, juce::Rectangle<int> area)
    {
        int count = 0;
        for (int y = area.getY(); y < area.getBottom(); ++y)
            for (int x = area.getX(); x < area.getRight(); ++x)
                count += a.getPixelAt (x, y) != b.getPixelAt (x, y) ? 1 : 0;
        return count;
    }

    int pixelsOfColourIn (const juce::Image& image, juce::Rectangle<int> area, juce::Colour colour)
    {
        int count = 0;
        for (int y = area.getY(); y < area.getBottom(); ++y)
            for (int x = area.getX(); x < area.getRight(); ++x)
                count += image.getPixelAt (x, y) == colour ? 1 : 0;
        return count;
    }

    class Editor : public ::testing::TestWithParam<StateCase>
    {
    protected:
        QuietProcessor processor;
    };
}

TEST (EditorState, ChoosesTheFirstStateThatHolds)
{
    EXPECT_EQ (chooseDisplayState (true, true), DisplayState::connected);
    EXPECT_EQ (chooseDisplayState (true, false), DisplayState::connected);
    EXPECT_EQ (chooseDisplayState (false, true), DisplayState::waiting);
    EXPECT_EQ (chooseDisplayState (false, false), DisplayState::portBusy);
}

TEST (EditorState, HasAFixedSizeAndAQuarterSecondTimer)
{
    QuietProcessor processor;
    LinkEditor editor (processor);
    EXPECT_EQ (editor.getWidth(), 340);
    EXPECT_EQ (editor.getHeight(), 130);
    EXPECT_TRUE (editor.isTimerRunning());
    EXPECT_EQ (editor.getTimerInterval(), 250);
    EXPECT_FALSE (editor.isResizable());
    EXPECT_EQ (editor.getNumChildComponents(), 0);
}

TEST_P (Editor, DrawsTheStateColoursGeometryAndTexts)
{
    const auto& c = GetParam();
    processor.server.clientConnected = c.connected;
    processor.server.listening = c.listening;
    LinkEditor editor (processor);

    const auto image = render (editor);
    const juce::Colour background (0xff111113), dot (c.dotArgb);

    // Background in every corner and in the gaps of the layout.
    for (const auto& p : { juce::Point<int> (0, 0), { 339, 0 }, { 0, 129 }, { 339, 129 }, { 8, 63 }, { 200, 46 }, { 200, 77 } })
        EXPECT_EQ (image.getPixelAt (p.x, p.y), background) << p.toString();

    // The dot: a circle of diameter 10 in the box (17, 58, 10, 10).
    EXPECT_EQ (image.getPixelAt (22, 63), dot);
    EXPECT_EQ (image.getPixelAt (19, 63), dot);
    EXPECT_EQ (image.getPixelAt (22, 60), dot);
    EXPECT_EQ (image.getPixelAt (17, 58), background);   // corner of the box is outside the circle
    EXPECT_EQ (image.getPixelAt (15, 63), background);
    EXPECT_EQ (image.getPixelAt (29, 63), background);
    EXPECT_GE (pixelsOfColourIn (image, { 17, 58, 10, 10 }, dot), 56);
    EXPECT_EQ (pixelsOfColourIn (image, { 28, 0, 312, 130 }, dot), 0);

    // Title: white pixels in the title row only.
    EXPECT_GT (pixelsOfColourIn (image, { 16, 16, 308, 24 }, juce::Colours::white), 50);

    // Status line and hint, compared with the exact strings drawn at the same places.
    const auto expected = renderTexts (c.statusLine, juce::String (c.hint) + "  (ws://127.0.0.1:47800)");
    EXPECT_EQ (differingPixels (image, expected, { 36, 52, 288, 22 }), 0);
    EXPECT_EQ (differingPixels (image, expected, { 16, 80, 308, 34 }), 0);

    // A wrong text really would show: the other states' strings do not match.
    for (const auto& other : kStates)
    {
        if (other.state == c.state)
            continue;

        EXPECT_GT (differingPixels (image, renderTexts (other.statusLine, ""), { 36, 52, 288, 22 }), 0);
    }

    const auto dir = juce::File (VELMORINE_IMAGE_DIR);
    dir.createDirectory();
    auto file = dir.getChildFile (juce::String ("window-") + c.name + ".png");
    file.deleteFile();
    juce::FileOutputStream out (file);
    ASSERT_TRUE (out.openedOk());
    EXPECT_TRUE (juce::PNGImageFormat().writeImageToStream (image, out));
}

INSTANTIATE_TEST_SUITE_P (States, Editor, ::testing::ValuesIn (kStates),
                          [] (const auto& testInfo) { return std::string (testInfo.param.name); });

TEST (EditorState, ShowsThePortHeldAtPaintTime)
{
    QuietProcessor processor;
    processor.server.port = 5;
    LinkEditor editor (processor);
    const auto image = render (editor);
    const auto expected = renderTexts ("Port 5 is busy", "Another Velmorine Link is already running.  (ws://127.0.0.1:5)");
    EXPECT_EQ (differingPixels (image, expected, { 36, 52, 288, 22 }), 0);
    EXPECT_EQ (differingPixels (image, expected, { 16, 80, 308, 34 }), 0);
}

TEST (EditorState, FollowsTheFlagsAtEveryPaintWithoutBeingTold)
{
    QuietProcessor processor;
    LinkEditor editor (processor);

    const juce::Colour red (0xffef4444), amber (0xfffbbf24), green (0xff22c55e);
    EXPECT_EQ (render (editor).getPixelAt (22, 63), red);
    processor.server.listening = true;
    EXPECT_EQ (render (editor).getPixelAt (22, 63), amber);
    processor.server.clientConnected = true;
    EXPECT_EQ (render (editor).getPixelAt (22, 63), green);
    processor.server.listening = false;   // connected wins whatever listening holds
    EXPECT_EQ (render (editor).getPixelAt (22, 63), green);
    processor.server.clientConnected = false;
    EXPECT_EQ (render (editor).getPixelAt (22, 63), red);
}

TEST (EditorState, CutsLongTextsToTheirRowsAndAtMostTwoHintLines)
{
    // At a narrow size the title and status line are cut, and the hint keeps to its area.
    QuietProcessor processor;
    LinkEditor editor (processor);
    editor.setSize (120, 130);
    const auto image = render (editor);
    EXPECT_EQ (pixelsOfColourIn (image, { 104, 0, 16, 130 }, juce::Colours::white), 0);
    EXPECT_EQ (image.getPixelAt (22, 63), juce::Colour (0xffef4444));
}
