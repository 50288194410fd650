#include "SocketWait.h"

#include "WireFormat.h"

#if JUCE_WINDOWS
 #include <winsock2.h>
#else
 #include <cerrno>
 #include <sys/socket.h>
 #include <sys/types.h>
#endif

namespace velmorine
{
    namespace
    {
        enum class Transfer { moved, wouldBlock, closed, failed };

       #if JUCE_WINDOWS
        using Handle = SOCKET;
        bool lastErrorWouldBlock() { return WSAGetLastError() == WSAEWOULDBLOCK; }
        bool lastErrorInterrupted() { return WSAGetLastError() == WSAEINTR; }
        constexpr int kSendFlags = 0;
        constexpr int kReceiveFlags = 0;
       #else
        using Handle = int;
        bool lastErrorWouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK; }
        bool lastErrorInterrupted() { return errno == EINTR; }
        #if JUCE_MAC
         constexpr int kSendFlags = MSG_DONTWAIT;   // SIGPIPE is silenced per socket there
        #else
         constexpr int kSendFlags = MSG_DONTWAIT | MSG_NOSIGNAL;
        #endif
        constexpr int kReceiveFlags = MSG_DONTWAIT;
       #endif

        Handle handleOf (juce::StreamingSocket& socket)
        {
            return (Handle) socket.getRawSocketHandle();
        }

        Transfer classify (long result, int& moved)
        {
            if (result > 0)
            {
                moved = (int) result;
                return Transfer::moved;
            }

            if (result == 0)
                return Transfer::closed;

            return lastErrorWouldBlock() ? Transfer::wouldBlock : Transfer::failed;
        }

        Transfer sendOnce (juce::StreamingSocket& socket, const char* data, size_t size, int& moved)
        {
            for (;;)
            {
                const auto result = (long) ::send (handleOf (socket), data, (int) juce::jmin (size, (size_t) 1 << 30), kSendFlags);

                if (result < 0 && lastErrorInterrupted())
                    continue;

                // A send that takes nothing means the connection cannot carry data any more.
                const auto t = classify (result, moved);
                return t == Transfer::closed ? Transfer::failed : t;
            }
        }

        Transfer receiveOnce (juce::StreamingSocket& socket, char* data, size_t size, int& moved)
        {
            for (;;)
            {
                const auto result = (long) ::recv (handleOf (socket), data, (int) juce::jmin (size, (size_t) 1 << 30), kReceiveFlags);

                if (result < 0 && lastErrorInterrupted())
                    continue;

                return classify (result, moved);
            }
        }

        // Moves all bytes with transfer(), waiting for readiness in between, until done, failed,
        // stalled for kStallLimitMs or asked to exit.
        template <typename Pointer, typename TransferFn>
        bool moveAll (juce::StreamingSocket& socket, bool forReading, Pointer data, size_t size,
                      const juce::Thread& owner, TransferFn transfer)
        {
            if (socket.getRawSocketHandle() < 0)
                return false;

            auto lastProgress = juce::Time::getMillisecondCounterHiRes();

            while (size > 0)
            {
                if (owner.threadShouldExit())
                    return false;

                int moved = 0;

                switch (transfer (socket, data, size, moved))
                {
                    case Transfer::moved:
                        data += moved;
                        size -= (size_t) moved;
                        lastProgress = juce::Time::getMillisecondCounterHiRes();
                        continue;

                    case Transfer::wouldBlock:
                        break;

                    case Transfer::closed:
                    case Transfer::failed:
                        return false;
                }

                const auto left = (double) wire::kStallLimitMs - (juce::Time::getMillisecondCounterHiRes() - lastProgress);

                if (left <= 0.0)
                    return false;

                const auto waited = waitForSocket (socket, forReading, juce::jmax (1, (int) left), owner);

                if (waited == Readiness::failed || waited == Readiness::exitRequested)
                    return false;
            }

            return true;
        }
    }

    Readiness waitForSocket (juce::StreamingSocket& socket, bool forReading, int timeoutMs, const juce::Thread& owner, int stepMs)
    {
        const auto deadline = juce::Time::getMillisecondCounterHiRes() + juce::jmax (0, timeoutMs);

        for (;;)
        {
            if (owner.threadShouldExit())
                return Readiness::exitRequested;

            const auto left = deadline - juce::Time::getMillisecondCounterHiRes();
            const auto step = juce::jlimit (0, juce::jmax (1, stepMs), (int) std::ceil (left));
            const auto result = socket.waitUntilReady (forReading, step);

            if (result > 0)
                return Readiness::ready;

            if (result < 0)
                return Readiness::failed;

            if (left <= (double) step)
                return owner.threadShouldExit() ? Readiness::exitRequested : Readiness::timedOut;
        }
    }

    void prepareClientSocket (juce::StreamingSocket& socket)
    {
       #if JUCE_WINDOWS
        // Windows has no per-call non-blocking flag: put the socket in non-blocking mode once.
        u_long nonBlocking = 1;
        ioctlsocket (handleOf (socket), (long) FIONBIO, &nonBlocking);
       #elif JUCE_MAC
        int on = 1;
        setsockopt (handleOf (socket), SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof (on));
       #else
        juce::ignoreUnused (socket);
       #endif
    }

    bool sendAll (juce::StreamingSocket& socket, const void* data, size_t size, const juce::Thread& owner)
    {
        return moveAll (socket, false, static_cast<const char*> (data), size, owner,
                        [] (juce::StreamingSocket& s, const char* p, size_t n, int& moved) { return sendOnce (s, p, n, moved); });
    }

    bool receiveExactly (juce::StreamingSocket& socket, void* data, size_t size, const juce::Thread& owner)
    {
        return moveAll (socket, true, static_cast<char*> (data), size, owner,
                        [] (juce::StreamingSocket& s, char* p, size_t n, int& moved) { return receiveOnce (s, p, n, moved); });
    }

    int receiveSome (juce::StreamingSocket& socket, void* data, size_t size)
    {
        if (socket.getRawSocketHandle() < 0)
            return -1;

        int moved = 0;

        switch (receiveOnce (socket, static_cast<char*> (data), size, moved))
        {
            case Transfer::moved:      return moved;
            case Transfer::closed:     return 0;
            case Transfer::wouldBlock:
            case Transfer::failed:     break;
        }

        return -1;
    }
}
