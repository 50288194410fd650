#include "Handshake.h"

#include "LinkServer.h"
#include "Sha1.h"
#include "SocketWait.h"

#include <cstring>
#include <string>

namespace wire = velmorine::wire;

juce::String webSocketAcceptValue (const juce::String& key)
{
    const auto digest = sha1Digest (key.toStdString() + wire::kWebSocketGuid);
    return juce::Base64::toBase64 (digest.data(), digest.size());
}

namespace
{
    bool isLoopbackIPv4 (const juce::String& host)
    {
        juce::StringArray parts;
        parts.addTokens (host, ".", {});

        if (parts.size() != 4 || parts[0] != "127")
            return false;

        for (const auto& part : parts)
            if (part.isEmpty() || part.length() > 3 || ! part.containsOnly ("0123456789") || part.getIntValue() > 255)
                return false;

        return true;
    }

    bool isLoopbackHost (const juce::String& host)
    {
        return host == "localhost"
            || (host.endsWith (".localhost") && host.length() > 10)
            || host == "[::1]"
            || isLoopbackIPv4 (host);
    }

    // The request as text: up to its first NUL, with every byte that is not part of a well-formed
    // UTF-8 sequence replaced by '?'. JUCE's UTF-8 conversion trusts its input, and malformed
    // sequences from a client would make it write past the end of its buffer.
    std::string wellFormedText (const std::string& bytes)
    {
        std::string out;
        const auto* p = reinterpret_cast<const unsigned char*> (bytes.c_str());
        const auto end = p + std::strlen (bytes.c_str());

        while (p < end)
        {
            const auto c = *p;
            int length = 0;
            std::uint32_t minimum = 0;

            if (c < 0x80)                    { length = 1; }
            else if (c >= 0xc2 && c <= 0xdf) { length = 2; minimum = 0x80; }
            else if (c >= 0xe0 && c <= 0xef) { length = 3; minimum = 0x800; }
            else if (c >= 0xf0 && c <= 0xf4) { length = 4; minimum = 0x10000; }

            bool valid = length > 0 && end - p >= length;
            std::uint32_t code = length == 1 ? c : (std::uint32_t) (c & (0x7f >> length));

            for (int i = 1; valid && i < length; ++i)
            {
                valid = (p[i] & 0xc0) == 0x80;
                code = (code << 6) | (p[i] & 0x3f);
            }

            valid = valid && code >= minimum && code <= 0x10ffff && (code < 0xd800 || code > 0xdfff);

            if (valid)
            {
                out.append (reinterpret_cast<const char*> (p), (size_t) length);
                p += length;
            }
            else
            {
                out += '?';
                ++p;
            }
        }

        return out;
    }

    void sendAndForget (juce::StreamingSocket& client, const char* response, const juce::Thread& owner)
    {
        velmorine::sendAll (client, response, std::strlen (response), owner);
    }
}

bool isOriginAllowed (const juce::String& origin)
{
    const auto value = origin.trim().toLowerCase();

    if (value == "null")
        return false;

    const auto schemeEnd = value.indexOf ("://");

    if (schemeEnd < 0)
        return true;

    const auto scheme = value.substring (0, schemeEnd);

    if (scheme != "http" && scheme != "https" && scheme != "ws" && scheme != "wss")
        return true;

    auto authority = value.substring (schemeEnd + 3).upToFirstOccurrenceOf ("/", false, false)
                                                    .upToFirstOccurrenceOf ("?", false, false)
                                                    .upToFirstOccurrenceOf ("#", false, false);

    // Origins carry no credentials; one that does is not a browser's and is not trusted.
    if (authority.containsChar ('@') || authority.containsChar ('\\'))
        return false;

    juce::String host;

    if (authority.startsWithChar ('['))
    {
        host = authority.upToFirstOccurrenceOf ("]", true, false);
        const auto rest = authority.substring (host.length());

        if (! host.endsWithChar (']') || (rest.isNotEmpty() && ! rest.startsWithChar (':')))
            return false;
    }
    else
    {
        host = authority.upToFirstOccurrenceOf (":", false, false);
    }

    return isLoopbackHost (host);
}

bool LinkServer::performHandshake (juce::StreamingSocket& client)
{
    velmorine::prepareClientSocket (client);

    const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) wire::kHandshakeDeadlineMs;
    std::string request;
    char chunk[wire::kHandshakeReadChunk];

    for (;;)
    {
        if (request.size() >= 4 && request.find ("\r\n\r\n") != std::string::npos)
            break;

        if (juce::Time::getMillisecondCounter() > deadline || threadShouldExit())
            return false;

        if (request.size() > wire::kHandshakeSizeCap)
            return false;

        const auto ready = velmorine::waitForSocket (client, true, wire::kHandshakeWaitStepMs, *this);

        if (ready == velmorine::Readiness::exitRequested)
            return false;

        // A time-out or an error starts the next pass: only the deadline ends the wait.
        if (ready != velmorine::Readiness::ready)
            continue;

        const auto got = velmorine::receiveSome (client, chunk, sizeof (chunk));

        if (got <= 0)
            return false;

        request.append (chunk, (size_t) got);
    }

    // The text ends at the first NUL; bytes after the blank line are part of it.
    const auto text = juce::String::fromUTF8 (wellFormedText (request).c_str());
    juce::StringArray lines;
    lines.addLines (text);

    juce::String key;
    bool originAllowed = true;

    for (const auto& line : lines)
    {
        if (line.startsWithIgnoreCase (wire::kKeyHeader))
            key = line.fromFirstOccurrenceOf (":", false, false).trim();
        else if (line.startsWithIgnoreCase ("Origin:"))
            originAllowed = originAllowed && isOriginAllowed (line.fromFirstOccurrenceOf (":", false, false));
    }

    if (! originAllowed)
    {
        sendAndForget (client, wire::kResponse403, *this);
        return false;
    }

    if (key.isEmpty())
    {
        sendAndForget (client, wire::kResponse400, *this);
        return false;
    }

    const auto response = juce::String (wire::kResponse101Head) + webSocketAcceptValue (key) + "\r\n\r\n";
    return velmorine::sendAll (client, response.toRawUTF8(), response.getNumBytesAsUTF8(), *this);
}
