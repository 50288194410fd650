#pragma once

#include <juce_core/juce_core.h>

#include "WireFormat.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

// The link between the host's audio thread and the companion app: a lock-free capture ring fed by
// the audio thread, and a thread that serves one WebSocket client at a time from that ring.
class LinkServer : public juce::Thread
{
public:
    static constexpr int kDefaultPort = velmorine::wire::kDefaultPort;

    LinkServer();
    ~LinkServer() override;

    void start();
    void stop();

    // Audio thread: stores the playing state and, while a client is served, queues the block.
    void pushAudio (const float* const* channels, int numChannels, int numSamples, bool isPlaying);
    void setSampleRate (double newSampleRate);
    // Server thread: drops what an earlier connection left in the ring.
    void discardQueuedAudio();

    // The server thread: bind, accept one client at a time, serve it, and retry a taken port.
    void run() override;
    void serveClient (juce::StreamingSocket& client);

    // Each step of a connection, on the server thread. True: the connection goes on; false: the
    // caller ends it quietly. None of them waits without a bound or past the exit flag.
    bool performHandshake (juce::StreamingSocket& client);
    bool sendFrame (juce::StreamingSocket& client, const std::uint8_t* payload, size_t length, std::uint8_t opcode);
    bool pollIncomingFrame (juce::StreamingSocket& client);
    bool sendAudioPacket (juce::StreamingSocket& client, int framesReady);

    // The capture ring and the state shared with the processor and the status window. Public so
    // that the window and the tests can read them; only the threads named beside each write them.
    juce::AbstractFifo captureFifo { velmorine::wire::kRingFrames };
    std::vector<float> captureBuffer;            // left and right of slot i at 2i and 2i + 1
    std::vector<std::uint8_t> packetBuffer;      // one audio packet is assembled here
    std::atomic<double> sampleRate { 48000.0 };  // prepareToPlay's thread
    std::atomic<bool> hostPlaying { false };     // audio thread
    std::atomic<bool> clientConnected { false }; // server thread
    std::atomic<bool> listening { false };       // server thread
    std::atomic<int> port { kDefaultPort };      // start
    std::unique_ptr<juce::StreamingSocket> listenSocket;
    juce::CriticalSection socketLock;

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (LinkServer)
};
