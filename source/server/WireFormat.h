#pragma once

#include <cstddef>
#include <cstdint>

// Every number that the link puts on the wire, in one place: the server, the listener tool, the
// C++ tests and the fuzz harnesses all read them from here.
namespace velmorine::wire
{
    constexpr int kDefaultPort = 47800;
    constexpr const char* kLoopbackAddress = "127.0.0.1";

    // Capture ring: frames of two floats; JUCE's fifo keeps one slot free.
    constexpr int kRingFrames = 96000;
    constexpr int kChannelsPerFrame = 2;

    // Audio packet: 16-byte little-endian header, then up to 1024 interleaved stereo frames.
    constexpr std::uint8_t kPacketMagic[4] = { 'V', 'M', 'L', 'K' };
    constexpr int kPacketHeaderBytes = 16;
    constexpr int kBytesPerFrame = 8;
    constexpr int kMaxFramesPerPacket = 1024;
    constexpr int kMaxPacketBytes = kPacketHeaderBytes + kBytesPerFrame * kMaxFramesPerPacket;

    constexpr int kOffsetMagic = 0;
    constexpr int kOffsetSampleRate = 4;
    constexpr int kOffsetFormat = 8;       // the constant 2, then 0
    constexpr int kOffsetPlaying = 10;     // 1 or 0, then 0
    constexpr int kOffsetFrameCount = 12;
    constexpr std::uint8_t kFormatByte = 2;

    // Pacing of the packet writer.
    constexpr int kPacketDueFrames = 128;
    constexpr double kPacketDueMs = 10.0;
    constexpr int kClientLoopWaitMs = 2;

    // WebSocket framing.
    constexpr std::uint8_t kOpContinuation = 0x0;
    constexpr std::uint8_t kOpText = 0x1;
    constexpr std::uint8_t kOpBinary = 0x2;
    constexpr std::uint8_t kOpClose = 0x8;
    constexpr std::uint8_t kOpPing = 0x9;
    constexpr std::uint8_t kOpPong = 0xA;
    constexpr std::uint64_t kMaxIncomingPayload = 65536;

    // Opening handshake.
    constexpr const char* kWebSocketGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    constexpr const char* kKeyHeader = "Sec-WebSocket-Key:";
    constexpr int kHandshakeDeadlineMs = 3000;
    constexpr int kHandshakeWaitStepMs = 100;
    constexpr int kHandshakeReadChunk = 1024;
    constexpr std::size_t kHandshakeSizeCap = 16384;
    constexpr const char* kResponse101Head = "HTTP/1.1 101 Switching Protocols\r\n"
                                             "Upgrade: websocket\r\n"
                                             "Connection: Upgrade\r\n"
                                             "Sec-WebSocket-Accept: ";
    constexpr const char* kResponse400 = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
    constexpr const char* kResponse403 = "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n";

    // Server thread timing.
    constexpr int kBindRetryMs = 1000;
    constexpr int kAcceptWaitMs = 200;
    constexpr int kStopTimeoutMs = 3000;
    constexpr int kStallLimitMs = 3000;
}
