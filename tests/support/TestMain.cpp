#include <gtest/gtest.h>
#include <juce_events/juce_events.h>

#include <X11/Xlib.h>

namespace
{
    // Xlib's default handler ends the process on the first error, and a window-manager-less Xvfb
    // answers some of JUCE's harmless requests with BadAtom or BadWindow. Report and go on.
    int reportXError (Display*, XErrorEvent* event)
    {
        std::fprintf (stderr, "X error %d (request %d) ignored\n", event->error_code, event->request_code);
        return 0;
    }
}

int main (int argc, char** argv)
{
    ::testing::InitGoogleTest (&argc, argv);

    if (::testing::GTEST_FLAG (list_tests))
        return RUN_ALL_TESTS();

    XSetErrorHandler (reportXError);

    // This thread becomes JUCE's message thread, as a host's main thread is.
    juce::ScopedJuceInitialiser_GUI juceRuntime;
    return RUN_ALL_TESTS();
}
