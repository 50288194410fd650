#pragma once

#include "server/LinkServer.h"

#include <utility>
#include <vector>

namespace velmorine::test
{
    using Frame = std::pair<float, float>;

    // Takes every waiting frame out of the capture ring, as the packet writer does.
    inline std::vector<Frame> drainRing (LinkServer& server)
    {
        std::vector<Frame> frames;
        const auto scope = server.captureFifo.read (server.captureFifo.getNumReady());

        scope.forEach ([&] (int slot)
        {
            frames.emplace_back (server.captureBuffer[(size_t) (2 * slot)], server.captureBuffer[(size_t) (2 * slot + 1)]);
        });

        return frames;
    }

    // A ramp that differs on every sample and between channels, so any shift or swap shows.
    inline std::vector<float> ramp (int length, float start, float step)
    {
        std::vector<float> v ((size_t) length);
        for (int i = 0; i < length; ++i)
            v[(size_t) i] = start + step * (float) i;
        return v;
    }
}
