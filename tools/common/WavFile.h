#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

// Just enough of RIFF WAVE for the tools: reading PCM (16, 24, 32 bit) and 32-bit float files of
// one or two channels, and writing 32-bit float stereo, so that samples keep every bit. Plain C++,
// so that the listener and the host, which link different builds of JUCE, can share it.
namespace velmorine
{
    struct WavData
    {
        double sampleRate = 0.0;
        int channels = 0;
        std::vector<float> interleaved;   // channels samples per frame

        long long numFrames() const { return channels > 0 ? (long long) (interleaved.size() / (size_t) channels) : 0; }
    };

    bool readWav (const std::string& path, WavData& out, std::string& error);

    // Writes float stereo frames as they arrive and fixes the header's sizes when finished.
    class FloatWavWriter
    {
    public:
        ~FloatWavWriter();
        bool open (const std::string& path, int sampleRate);
        bool write (const float* interleavedStereo, int frames);
        bool finish();
        bool isOpen() const { return stream.is_open(); }

    private:
        std::ofstream stream;
        int rate = 0;
        long long frames = 0;
    };
}
