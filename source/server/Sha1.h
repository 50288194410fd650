#pragma once

#include <array>
#include <cstdint>
#include <string>

// SHA-1 (FIPS 180-4) of any bytes, in the standard digest order: H0 to H4, each most significant
// byte first. It exists for the WebSocket accept value only.
std::array<std::uint8_t, 20> sha1Digest (const std::string& message);
