#pragma once

#include "processor/LinkProcessor.h"

namespace velmorine::test
{
    // A processor whose server thread has been stopped at once, so that a test owns the server's
    // flags and ring without the network writing to them underneath it.
    struct QuietProcessor : LinkProcessor
    {
        QuietProcessor() { server.stop(); }
    };
}
