#pragma once

#include <juce_core/juce_core.h>

// The accept value of RFC 6455: Base64 of the SHA-1 of the key followed by the protocol's GUID.
juce::String webSocketAcceptValue (const juce::String& key);

// Only programs on this computer may listen, and that includes web pages: a browser sends an
// Origin, and only pages served from this computer (or with no web origin at all) are let in.
// True for: no web origin (file://, other schemes, an empty value) and http, https, ws or wss
// origins whose host is localhost, a name ending in .localhost, an address in 127.0.0.0/8 or
// [::1]. False for "null" and every other web origin.
bool isOriginAllowed (const juce::String& origin);
