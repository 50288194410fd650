#include "LinkServer.h"

#include "AudioPacket.h"
#include "SocketWait.h"

namespace wire = velmorine::wire;

LinkServer::LinkServer()
    : juce::Thread ("Velmorine Link server")
{
    // All streaming storage is allocated here, once: no block or packet allocates.
    captureBuffer.resize ((size_t) (wire::kRingFrames * wire::kChannelsPerFrame), 0.0f);
    packetBuffer.resize ((size_t) wire::kMaxPacketBytes, 0);
}

LinkServer::~LinkServer()
{
    stop();
}

void LinkServer::start()
{
    port.store (kDefaultPort);
    startThread();
}

void LinkServer::stop()
{
    signalThreadShouldExit();

    {
        const juce::ScopedLock sl (socketLock);

        if (listenSocket != nullptr)
            listenSocket->close();
    }

    // Every wait of the thread ends within a few milliseconds of the exit flag, so this returns
    // long before its time-out and the thread is never killed with our members in use.
    stopThread (wire::kStopTimeoutMs);
}

void LinkServer::run()
{
    while (! threadShouldExit())
    {
        {
            const juce::ScopedLock sl (socketLock);
            listenSocket = std::make_unique<juce::StreamingSocket>();
        }

        if (! listenSocket->createListener (port.load(), wire::kLoopbackAddress))
        {
            listening.store (false);
            wait (wire::kBindRetryMs);
            continue;
        }

        listening.store (true);

        while (! threadShouldExit() && listenSocket->isConnected())
        {
            // One step of 200 ms, so that an idle plug-in wakes only five times a second. stop()
            // closes the listening socket, which wakes the wait at once; at worst it lasts 200 ms.
            if (velmorine::waitForSocket (*listenSocket, true, wire::kAcceptWaitMs, *this, wire::kAcceptWaitMs) != velmorine::Readiness::ready)
                continue;

            std::unique_ptr<juce::StreamingSocket> client (listenSocket->waitForNextConnection());

            if (client != nullptr && ! threadShouldExit())
                serveClient (*client);
        }

        listening.store (false);

        std::unique_ptr<juce::StreamingSocket> old;
        {
            const juce::ScopedLock sl (socketLock);
            old = std::move (listenSocket);
        }
    }
}

void LinkServer::serveClient (juce::StreamingSocket& client)
{
    if (! performHandshake (client))
        return;

    discardQueuedAudio();
    clientConnected.store (true);

    auto lastPacketTime = juce::Time::getMillisecondCounterHiRes();

    while (! threadShouldExit())
    {
        if (! pollIncomingFrame (client))
            break;

        const auto framesReady = captureFifo.getNumReady();
        const auto now = juce::Time::getMillisecondCounterHiRes();

        if (isPacketDue (framesReady, now, lastPacketTime))
        {
            if (! sendAudioPacket (client, framesReady))
                break;

            lastPacketTime = now;
        }
        else
        {
            wait (wire::kClientLoopWaitMs);
        }
    }

    clientConnected.store (false);
    client.close();
}
