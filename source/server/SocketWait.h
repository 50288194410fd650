#pragma once

#include <juce_core/juce_core.h>

#include <cstddef>

// The one way the server thread waits on a socket: in short steps, up to a deadline, and never a
// moment longer once its thread has been asked to exit. Every read and write of a client
// connection goes through here, so nothing can hold the thread without a bound.
namespace velmorine
{
    enum class Readiness
    {
        ready,
        timedOut,
        failed,          // socket error, not connected, or closed under us
        exitRequested
    };

    // Steps of stepMs: short for a connection's reads and writes; longer for the idle accept loop,
    // where each step is a wake-up of an otherwise sleeping thread.
    Readiness waitForSocket (juce::StreamingSocket& socket, bool forReading, int timeoutMs, const juce::Thread& owner, int stepMs = 10);

    // Writes and reads on an accepted client socket behave the same whatever blocking mode the
    // socket is in, and a peer that has gone never raises SIGPIPE in the host's process.
    void prepareClientSocket (juce::StreamingSocket& socket);

    // Sends every byte. False when the peer is gone, on an error, when no byte has moved for
    // kStallLimitMs, or when the owner is asked to exit.
    bool sendAll (juce::StreamingSocket& socket, const void* data, size_t size, const juce::Thread& owner);

    // Receives exactly size bytes under the same rule.
    bool receiveExactly (juce::StreamingSocket& socket, void* data, size_t size, const juce::Thread& owner);

    // One receive that never blocks: the byte count, 0 when the peer closed, -1 on an error or
    // when nothing was there.
    int receiveSome (juce::StreamingSocket& socket, void* data, size_t size);
}
