#include "Handshake.h"

#include "LinkServer.h"
#include "Sha1.h"
#include "SocketWait.h"

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
    const auto text = juce::String::fromUTF8 (request.c_str());
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
