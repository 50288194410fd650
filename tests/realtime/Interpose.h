#pragma once

#include <atomic>

// Watches the audio thread: while a thread is armed, every call it makes to the allocator or to a
// lock, wait, sleep or socket function is counted, with the first one's name kept for the report.
namespace velmorine::realtime
{
    void arm();
    void disarm();
    int violations();
    const char* firstViolation();
    void reset();

    struct ScopedArm
    {
        ScopedArm() { arm(); }
        ~ScopedArm() { disarm(); }
    };
}
