// Fuzzes the opening handshake with whole requests arriving in arbitrary chunks over a real
// loopback connection, and checks what it answers, not only that it survives.

#include "FuzzSocketPair.h"

#include "server/Handshake.h"
#include "server/LinkServer.h"
#include "server/WireFormat.h"

#include <cstdlib>

namespace
{
    const std::string k400 = velmorine::wire::kResponse400;
    const std::string k403 = velmorine::wire::kResponse403;
    const std::string k101Head = velmorine::wire::kResponse101Head;

    bool isWhite (char c) { return c == ' ' || (c >= 9 && c <= 13); }

    // The key as the rules define it, found without the server's code: the text ends at the first
    // NUL; the last line that starts with the header name (any case) wins; its value is trimmed.
    bool findKey (const std::string& request, std::string& key, bool& asciiOnly)
    {
        const auto text = request.substr (0, request.find ('\0'));
        asciiOnly = true;
        for (unsigned char c : text)
            asciiOnly = asciiOnly && c < 0x80;

        bool found = false;
        size_t start = 0;

        while (start <= text.size())
        {
            auto end = text.find_first_of ("\r\n", start);
            if (end == std::string::npos)
                end = text.size();

            const auto line = text.substr (start, end - start);
            static const std::string name = "sec-websocket-key:";

            if (line.size() >= name.size()
                && std::equal (name.begin(), name.end(), line.begin(), [] (char a, char b) { return a == std::tolower ((unsigned char) b); }))
            {
                auto value = line.substr (line.find (':') + 1);
                while (! value.empty() && isWhite (value.front())) value.erase (value.begin());
                while (! value.empty() && isWhite (value.back())) value.pop_back();
                key = value;
                found = true;
            }

            if (end >= text.size())
                break;
            start = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
        }

        return found;
    }
}

extern "C" int LLVMFuzzerTestOneInput (const std::uint8_t* data, size_t size)
{
    if (size < 1 || size > 20000)
        return 0;

    static LinkServer server;
    const auto chunk = (size_t) (data[0] % 64) + 1;
    const std::string request (reinterpret_cast<const char*> (data + 1), size - 1);

    FuzzSocketPair pair;
    if (! pair.ok())
        std::abort();

    pair.sendInChunks (data + 1, size - 1, chunk);
    const bool accepted = server.performHandshake (*pair.server);
    const auto answer = pair.takeServerOutput();

    const bool is101 = answer.rfind (k101Head, 0) == 0 && answer.size() == k101Head.size() + 28 + 4
                       && answer.compare (answer.size() - 4, 4, "\r\n\r\n") == 0;

    // One of the three answers, or none; true exactly when the answer was 101.
    if (! (answer.empty() || answer == k400 || answer == k403 || is101))
        std::abort();

    if (accepted != is101)
        std::abort();

    // All of the input is waiting before the server reads, so it reads whole 1024-byte chunks until
    // one holds the blank line: that, and no more, is the request it parses.
    std::string seen;
    for (size_t offset = 0; offset < request.size() && seen.find ("\r\n\r\n") == std::string::npos; offset += 1024)
        seen += request.substr (offset, 1024);

    if (is101)
    {
        std::string key;
        bool asciiOnly = false;

        if (seen.find ("\r\n\r\n") == std::string::npos || ! findKey (seen, key, asciiOnly) || key.empty())
            std::abort();

        if (asciiOnly && answer.substr (k101Head.size(), 28) != webSocketAcceptValue (juce::String (key)).toStdString())
            std::abort();
    }

    if (answer == k400)
    {
        std::string key;
        bool asciiOnly = false;
        if (findKey (seen, key, asciiOnly) && asciiOnly && ! key.empty())
            std::abort();
    }

    return 0;
}
