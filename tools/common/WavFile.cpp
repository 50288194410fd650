#include "WavFile.h"

#include <cstring>
#include <iterator>

namespace velmorine
{
    namespace
    {
        constexpr int kFormatPcm = 1;
        constexpr int kFormatFloat = 3;
        constexpr int kFormatExtensible = 0xfffe;

        std::uint32_t le (const unsigned char* p, int bytes)
        {
            std::uint32_t v = 0;
            for (int i = bytes - 1; i >= 0; --i)
                v = (v << 8) | p[i];
            return v;
        }

        void put (std::string& out, std::uint32_t value, int bytes)
        {
            for (int i = 0; i < bytes; ++i)
                out += (char) ((value >> (8 * i)) & 0xff);
        }

        std::string floatStereoHeader (int sampleRate, long long frames)
        {
            const auto dataBytes = (std::uint32_t) (frames * 8);
            std::string h = "RIFF";
            put (h, 36 + dataBytes, 4);
            h += "WAVEfmt ";
            put (h, 16, 4);
            put (h, kFormatFloat, 2);
            put (h, 2, 2);
            put (h, (std::uint32_t) sampleRate, 4);
            put (h, (std::uint32_t) sampleRate * 8, 4);
            put (h, 8, 2);
            put (h, 32, 2);
            h += "data";
            put (h, dataBytes, 4);
            return h;
        }
    }

    bool readWav (const std::string& path, WavData& out, std::string& error)
    {
        std::ifstream in (path, std::ios::binary);
        const std::vector<unsigned char> bytes ((std::istreambuf_iterator<char> (in)), std::istreambuf_iterator<char>());

        if (! in.good() && ! in.eof())
        {
            error = "cannot read " + path;
            return false;
        }

        if (bytes.size() < 12 || std::memcmp (bytes.data(), "RIFF", 4) != 0 || std::memcmp (bytes.data() + 8, "WAVE", 4) != 0)
        {
            error = path + " is not a WAV file";
            return false;
        }

        int format = 0, bits = 0;
        bool haveFormat = false;
        size_t pos = 12;

        while (pos + 8 <= bytes.size())
        {
            const auto* chunk = bytes.data() + pos;
            const size_t size = le (chunk + 4, 4);
            const auto* body = chunk + 8;
            const size_t available = std::min (size, bytes.size() - pos - 8);

            if (std::memcmp (chunk, "fmt ", 4) == 0 && available >= 16)
            {
                format = (int) le (body, 2);
                out.channels = (int) le (body + 2, 2);
                out.sampleRate = (double) le (body + 4, 4);
                bits = (int) le (body + 14, 2);

                if (format == kFormatExtensible && available >= 26)
                    format = (int) le (body + 24, 2);   // the sub-format's first two bytes

                haveFormat = true;
            }
            else if (std::memcmp (chunk, "data", 4) == 0 && haveFormat)
            {
                const bool supported = (format == kFormatFloat && bits == 32)
                                    || (format == kFormatPcm && (bits == 16 || bits == 24 || bits == 32));

                if (out.channels < 1 || out.channels > 2 || ! supported)
                {
                    error = "unsupported WAV (use mono or stereo, 16, 24 or 32-bit PCM or 32-bit float)";
                    return false;
                }

                const auto bytesPerSample = (size_t) bits / 8;
                const auto samples = available / bytesPerSample;
                out.interleaved.resize (samples - samples % (size_t) out.channels);
                const auto* p = body;

                for (size_t i = 0; i < out.interleaved.size(); ++i, p += bytesPerSample)
                {
                    const auto raw = le (p, (int) bytesPerSample);

                    if (format == kFormatFloat)
                        std::memcpy (&out.interleaved[i], &raw, 4);
                    else if (bits == 16)
                        out.interleaved[i] = (float) (std::int16_t) raw / 32768.0f;
                    else if (bits == 24)
                        out.interleaved[i] = (float) ((std::int32_t) (raw << 8) >> 8) / 8388608.0f;
                    else
                        out.interleaved[i] = (float) ((double) (std::int32_t) raw / 2147483648.0);
                }

                return true;
            }

            pos += 8 + size + (size & 1);
        }

        error = path + " has no audio data";
        return false;
    }

    FloatWavWriter::~FloatWavWriter()
    {
        finish();
    }

    bool FloatWavWriter::open (const std::string& path, int sampleRate)
    {
        finish();
        stream.open (path, std::ios::binary | std::ios::trunc);

        if (! stream.is_open())
            return false;

        rate = sampleRate;
        frames = 0;
        const auto header = floatStereoHeader (rate, 0);
        stream.write (header.data(), (std::streamsize) header.size());
        return stream.good();
    }

    bool FloatWavWriter::write (const float* interleavedStereo, int count)
    {
        if (! stream.is_open() || count <= 0)
            return stream.is_open();

        frames += count;
        stream.write (reinterpret_cast<const char*> (interleavedStereo), (std::streamsize) count * 8);
        return stream.good();
    }

    bool FloatWavWriter::finish()
    {
        if (! stream.is_open())
            return true;

        // The sizes are known only now: rewrite the header in place.
        const auto header = floatStereoHeader (rate, frames);
        stream.seekp (0);
        stream.write (header.data(), (std::streamsize) header.size());
        const bool ok = stream.good();
        stream.close();
        return ok;
    }
}
