#include "LinkServer.h"

void LinkServer::pushAudio (const float* const* channels, int numChannels, int numSamples, bool isPlaying)
{
    // The playing state is stored before anything is tested, so the app sees the transport even
    // for empty blocks and while nobody is connected. This thread is its only writer, so a value
    // that has not changed is left in place: a sequentially consistent store is a locked
    // instruction that costs more than the copy of a short block.
    if (hostPlaying.load() != isPlaying)
        hostPlaying.store (isPlaying);

    if (! clientConnected.load() || numChannels < 1 || numSamples < 1)
        return;

    const float* left = channels[0];
    const float* right = numChannels >= 2 ? channels[1] : channels[0];

    // The fifo grants at most its free space; the rest of the block is dropped.
    const auto scope = captureFifo.write (numSamples);
    int s = 0;

    auto copyRun = [&] (int firstSlot, int count)
    {
        float* dest = captureBuffer.data() + 2 * static_cast<size_t> (firstSlot);

        for (int i = 0; i < count; ++i, ++s)
        {
            dest[2 * i] = left[s];
            dest[2 * i + 1] = right[s];
        }
    };

    copyRun (scope.startIndex1, scope.blockSize1);
    copyRun (scope.startIndex2, scope.blockSize2);
}

void LinkServer::setSampleRate (double newSampleRate)
{
    sampleRate.store (newSampleRate);
}

void LinkServer::discardQueuedAudio()
{
    const auto ready = captureFifo.getNumReady();
    const auto scope = captureFifo.read (ready);
    juce::ignoreUnused (scope);
}
