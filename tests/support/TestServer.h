#pragma once

#include "server/LinkServer.h"
#include "support/LoopbackClient.h"

#include <functional>

namespace velmorine::test
{
    // A server on a port of the test's choosing, so that these tests never meet a plug-in that
    // holds the real port.
    struct TestServer : LinkServer
    {
        void startOn (int newPort)
        {
            port = newPort;
            startThread();
        }
    };

    // Polls a condition that another thread makes true, up to a generous bound.
    inline bool waitUntil (const std::function<bool()>& condition, int timeoutMs)
    {
        const auto deadline = nowMs() + timeoutMs;
        while (nowMs() < deadline)
        {
            if (condition())
                return true;
            std::this_thread::sleep_for (std::chrono::milliseconds (2));
        }
        return condition();
    }
}
