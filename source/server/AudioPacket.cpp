#include "AudioPacket.h"

#include "LinkServer.h"

#include <cstring>

namespace wire = velmorine::wire;

void writeLittleEndian (std::vector<std::uint8_t>& bytes, int offset, std::uint32_t value, int count)
{
    for (int k = 0; k < count; ++k)
        bytes[(size_t) (offset + k)] = (std::uint8_t) ((value >> (8 * k)) & 0xff);
}

bool isPacketDue (int framesReady, double now, double lastPacketTime)
{
    if (framesReady >= wire::kPacketDueFrames)
        return true;

    return framesReady >= 1 && now - lastPacketTime > wire::kPacketDueMs;
}

bool LinkServer::sendAudioPacket (juce::StreamingSocket& client, int framesReady)
{
    const auto frames = juce::jmin (framesReady, wire::kMaxFramesPerPacket);

    // The frames stay counted as waiting until this read closes, after the send attempt: the
    // producer cannot reuse their slots while they are being sent.
    const auto scope = captureFifo.read (frames);
    const auto rate = sampleRate.load();
    const auto playing = hostPlaying.load();
    const auto granted = scope.blockSize1 + scope.blockSize2;

    std::memcpy (packetBuffer.data() + wire::kOffsetMagic, wire::kPacketMagic, 4);
    writeLittleEndian (packetBuffer, wire::kOffsetSampleRate, (std::uint32_t) juce::roundToInt (rate), 4);
    packetBuffer[wire::kOffsetFormat] = wire::kFormatByte;
    packetBuffer[wire::kOffsetFormat + 1] = 0;
    packetBuffer[wire::kOffsetPlaying] = playing ? 1 : 0;
    packetBuffer[wire::kOffsetPlaying + 1] = 0;
    writeLittleEndian (packetBuffer, wire::kOffsetFrameCount, (std::uint32_t) granted, 4);

    auto* dest = packetBuffer.data() + wire::kPacketHeaderBytes;
    const auto* ring = captureBuffer.data();
    std::memcpy (dest, ring + 2 * scope.startIndex1, (size_t) scope.blockSize1 * wire::kBytesPerFrame);
    std::memcpy (dest + (size_t) scope.blockSize1 * wire::kBytesPerFrame, ring + 2 * scope.startIndex2,
                 (size_t) scope.blockSize2 * wire::kBytesPerFrame);

    return sendFrame (client, packetBuffer.data(),
                      (size_t) (wire::kPacketHeaderBytes + granted * wire::kBytesPerFrame), wire::kOpBinary);
}

const char* parseAudioPacket (const std::uint8_t* message, std::size_t size, PacketHeader& header)
{
    auto le32 = [message] (int offset)
    {
        return (std::uint32_t) message[offset] | (std::uint32_t) message[offset + 1] << 8
             | (std::uint32_t) message[offset + 2] << 16 | (std::uint32_t) message[offset + 3] << 24;
    };

    if (size < (std::size_t) wire::kPacketHeaderBytes)
        return "shorter than the 16-byte header";

    if (std::memcmp (message + wire::kOffsetMagic, wire::kPacketMagic, 4) != 0)
        return "bad magic (expected VMLK)";

    if (message[wire::kOffsetFormat] != wire::kFormatByte || message[wire::kOffsetFormat + 1] != 0
        || message[wire::kOffsetPlaying + 1] != 0 || message[wire::kOffsetPlaying] > 1)
        return "bad constant header bytes";

    header.sampleRate = le32 (wire::kOffsetSampleRate);
    header.playing = message[wire::kOffsetPlaying] == 1;
    header.frames = le32 (wire::kOffsetFrameCount);

    if (header.frames < 1 || header.frames > (std::uint32_t) wire::kMaxFramesPerPacket)
        return "frame count outside 1..1024";

    if (size != (std::size_t) wire::kPacketHeaderBytes + (std::size_t) header.frames * wire::kBytesPerFrame)
        return "frame count does not match the message length";

    return nullptr;
}
