#include "LinkServer.h"
#include "SocketWait.h"

namespace wire = velmorine::wire;

bool LinkServer::sendFrame (juce::StreamingSocket& client, const std::uint8_t* payload, size_t length, std::uint8_t opcode)
{
    std::uint8_t header[10];
    size_t headerLength = 2;
    header[0] = (std::uint8_t) (0x80 | (opcode & 0x0f));

    if (length < 126)
    {
        header[1] = (std::uint8_t) length;
    }
    else if (length <= 65535)
    {
        header[1] = 126;
        header[2] = (std::uint8_t) (length >> 8);
        header[3] = (std::uint8_t) length;
        headerLength = 4;
    }
    else
    {
        header[1] = 127;
        for (int i = 0; i < 8; ++i)
            header[2 + i] = (std::uint8_t) ((std::uint64_t) length >> (56 - 8 * i));
        headerLength = 10;
    }

    // Header and payload go out separately: the payload is sent straight from the caller's buffer.
    if (! velmorine::sendAll (client, header, headerLength, *this))
        return false;

    return length == 0 || velmorine::sendAll (client, payload, length, *this);
}

bool LinkServer::pollIncomingFrame (juce::StreamingSocket& client)
{
    const auto ready = velmorine::waitForSocket (client, true, 0, *this);

    if (ready == velmorine::Readiness::timedOut)
        return true;

    if (ready != velmorine::Readiness::ready)
        return false;

    std::uint8_t header[2];

    if (! velmorine::receiveExactly (client, header, 2, *this))
        return false;

    const auto opcode = (std::uint8_t) (header[0] & 0x0f);
    const bool masked = (header[1] & 0x80) != 0;
    std::uint64_t length = header[1] & 0x7f;

    if (length >= 126)
    {
        std::uint8_t extended[8];
        const size_t extendedLength = length == 126 ? 2 : 8;

        if (! velmorine::receiveExactly (client, extended, extendedLength, *this))
            return false;

        length = 0;
        for (size_t i = 0; i < extendedLength; ++i)
            length = (length << 8) | extended[i];
    }

    // Nothing of a frame that is too long is read: the connection ends here.
    if (length > wire::kMaxIncomingPayload)
        return false;

    std::uint8_t key[4] = { 0, 0, 0, 0 };

    if (masked && ! velmorine::receiveExactly (client, key, 4, *this))
        return false;

    std::vector<std::uint8_t> payload ((size_t) length, 0);

    if (length > 0 && ! velmorine::receiveExactly (client, payload.data(), payload.size(), *this))
        return false;

    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] ^= key[i % 4];

    if (opcode == wire::kOpClose)
    {
        sendFrame (client, payload.data(), payload.size(), wire::kOpClose);
        return false;
    }

    if (opcode == wire::kOpPing)
        return sendFrame (client, payload.data(), payload.size(), wire::kOpPong);

    return true;
}
