#include "LinkServer.h"

LinkServer::LinkServer()
    : juce::Thread ("Velmorine Link server")
{
    // All streaming storage is allocated here, once: no block or packet allocates.
    captureBuffer.resize (static_cast<size_t> (velmorine::wire::kRingFrames * velmorine::wire::kChannelsPerFrame), 0.0f);
    packetBuffer.resize (static_cast<size_t> (velmorine::wire::kMaxPacketBytes), 0);
}

LinkServer::~LinkServer()
{
    stop();
}

void LinkServer::start()
{
    port.store (kDefaultPort);
}

void LinkServer::stop()
{
    signalThreadShouldExit();

    {
        const juce::ScopedLock sl (socketLock);

        if (listenSocket != nullptr)
            listenSocket->close();
    }

    stopThread (velmorine::wire::kStopTimeoutMs);
}

void LinkServer::run()
{
}
