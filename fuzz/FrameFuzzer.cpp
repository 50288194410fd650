// Fuzzes the frame reader with a byte stream of frames over a real loopback connection, and checks
// every answer against the frames as a separate, simple parser reads them.

#include "FuzzSocketPair.h"

#include "server/LinkServer.h"

#include <cstdlib>

namespace
{
    std::string frameHeader (std::uint8_t first, size_t length)
    {
        std::string h (1, (char) first);
        if (length < 126)
            h += (char) length;
        else if (length <= 65535)
            h += { (char) 126, (char) (length >> 8), (char) length };
        else
        {
            h += (char) 127;
            for (int i = 7; i >= 0; --i)
                h += (char) ((std::uint64_t) length >> (8 * i));
        }
        return h;
    }

    // What the server must send for this stream, and how many bytes it may read at most.
    struct Expectation
    {
        std::string output;
        size_t readLimit = 0;   // the server must leave everything after this unread
        bool tooLong = false;
    };

    Expectation expect (const std::uint8_t* data, size_t size)
    {
        Expectation e;
        size_t pos = 0;

        for (;;)
        {
            if (size - pos < 2)
                break;

            const auto opcode = data[pos] & 0x0f;
            const bool masked = (data[pos + 1] & 0x80) != 0;
            std::uint64_t length = data[pos + 1] & 0x7f;
            size_t p = pos + 2;

            if (length >= 126)
            {
                const size_t n = length == 126 ? 2 : 8;
                if (size - p < n)
                    break;
                length = 0;
                for (size_t i = 0; i < n; ++i)
                    length = (length << 8) | data[p + i];
                p += n;
            }

            if (length > 65536)
            {
                e.tooLong = true;
                e.readLimit = p;
                return e;
            }

            std::uint8_t key[4] = { 0, 0, 0, 0 };
            if (masked)
            {
                if (size - p < 4)
                    break;
                std::memcpy (key, data + p, 4);
                p += 4;
            }

            if (size - p < length)
                break;

            std::string payload (reinterpret_cast<const char*> (data + p), (size_t) length);
            for (size_t i = 0; i < payload.size(); ++i)
                payload[i] = (char) (payload[i] ^ key[i % 4]);
            p += (size_t) length;
            pos = p;

            if (opcode == 8)
            {
                e.output += frameHeader (0x88, payload.size()) + payload;
                e.readLimit = pos;
                return e;
            }

            if (opcode == 9)
                e.output += frameHeader (0x8A, payload.size()) + payload;
        }

        e.readLimit = size;
        return e;
    }
}

extern "C" int LLVMFuzzerTestOneInput (const std::uint8_t* data, size_t size)
{
    if (size > 200000)
        return 0;

    static LinkServer server;
    FuzzSocketPair pair;
    if (! pair.ok())
        std::abort();

    pair.sendInChunks (data, size, size + 1);

    // Each call handles one frame; the stream ends with the peer's close, which ends the loop.
    for (int calls = 0; calls < 100000; ++calls)
    {
        // Let the bytes arrive before the first non-waiting readiness test.
        if (calls == 0)
        {
            pollfd p { (int) pair.server->getRawSocketHandle(), POLLIN, 0 };
            ::poll (&p, 1, 1000);
        }

        if (! server.pollIncomingFrame (*pair.server))
            break;
    }

    const auto expected = expect (data, size);

    if (expected.tooLong && (size_t) pair.unreadByServer() != size - expected.readLimit)
        std::abort();   // it read into a frame it had declared too long

    const auto output = pair.takeServerOutput();

    if (output != expected.output)
    {
        std::fprintf (stderr, "answered %zu bytes where %zu were expected\n", output.size(), expected.output.size());
        std::abort();
    }

    return 0;
}
