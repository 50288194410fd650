#pragma once

#include <cstdint>
#include <vector>

// Stores the count low-order bytes of value at offset, least significant first, so that the
// packet's layout does not depend on the machine's byte order.
void writeLittleEndian (std::vector<std::uint8_t>& bytes, int offset, std::uint32_t value, int count);

// A packet is due when 128 frames wait, or at least one has waited more than 10 ms since the last.
bool isPacketDue (int framesReady, double now, double lastPacketTime);
