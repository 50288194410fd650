#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Stores the count low-order bytes of value at offset, least significant first, so that the
// packet's layout does not depend on the machine's byte order.
void writeLittleEndian (std::vector<std::uint8_t>& bytes, int offset, std::uint32_t value, int count);

// A packet is due when 128 frames wait, or at least one has waited more than 10 ms since the last.
bool isPacketDue (int framesReady, double now, double lastPacketTime);

// What a reader of the stream learns from one packet's header.
struct PacketHeader
{
    std::uint32_t sampleRate = 0;
    bool playing = false;
    std::uint32_t frames = 0;
};

// Checks one binary message against the packet layout: magic, constant bytes, a frame count of
// 1 to 1024 that matches the message length. Null when it is a valid packet, else what is wrong.
const char* parseAudioPacket (const std::uint8_t* message, std::size_t size, PacketHeader& header);
