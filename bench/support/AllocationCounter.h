#pragma once

#include <pthread.h>

#include <cstdint>

// Counts heap allocations made by chosen threads. AllocationCounter.cpp replaces malloc and its
// relatives (and so operator new, which calls malloc) in the program that links it; every call
// is passed on to glibc's own allocator and counted when it comes from a watched thread.
namespace velmorine::bench::allocations
{
    enum Slot { audioThread = 0, serverThread = 1, numSlots = 2 };

    // Starts counting the calls made by the thread; 0 stops watching the slot.
    void watch (Slot slot, pthread_t thread);
    std::uint64_t count (Slot slot);
}
