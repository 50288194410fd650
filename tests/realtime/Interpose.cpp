#include "Interpose.h"

#include <dlfcn.h>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/socket.h>
#include <time.h>

#include <cstdlib>
#include <new>

extern "C"
{
    void* __libc_malloc (size_t);
    void* __libc_calloc (size_t, size_t);
    void* __libc_realloc (void*, size_t);
    void __libc_free (void*);
}

namespace velmorine::realtime
{
    namespace
    {
        // Static TLS of the executable: reading it never allocates.
        thread_local bool armed = false;
        std::atomic<int> count { 0 };
        std::atomic<const char*> first { nullptr };

        void note (const char* what)
        {
            if (! armed)
                return;

            const char* expected = nullptr;
            first.compare_exchange_strong (expected, what);
            ++count;
        }

        template <typename Fn>
        Fn next (const char* name)
        {
            return reinterpret_cast<Fn> (dlsym (RTLD_NEXT, name));
        }

        // Resolved before any test arms a thread, so that dlsym's own allocation never counts.
        struct Real
        {
            int (*mutexLock) (pthread_mutex_t*) = next<int (*) (pthread_mutex_t*)> ("pthread_mutex_lock");
            int (*condWait) (pthread_cond_t*, pthread_mutex_t*) = next<int (*) (pthread_cond_t*, pthread_mutex_t*)> ("pthread_cond_wait");
            int (*semWait) (sem_t*) = next<int (*) (sem_t*)> ("sem_wait");
            int (*nanoSleep) (const timespec*, timespec*) = next<int (*) (const timespec*, timespec*)> ("nanosleep");
            int (*pollFn) (pollfd*, nfds_t, int) = next<int (*) (pollfd*, nfds_t, int)> ("poll");
            ssize_t (*sendFn) (int, const void*, size_t, int) = next<ssize_t (*) (int, const void*, size_t, int)> ("send");
            ssize_t (*recvFn) (int, void*, size_t, int) = next<ssize_t (*) (int, void*, size_t, int)> ("recv");
        };

        const Real& real()
        {
            static const Real r;
            return r;
        }

        const bool resolvedAtStart = (real(), true);
    }

    void arm() { armed = true; }
    void disarm() { armed = false; }
    int violations() { return count.load(); }
    const char* firstViolation() { return first.load() != nullptr ? first.load() : "none"; }

    void reset()
    {
        count = 0;
        first = nullptr;
    }
}

using velmorine::realtime::note;
using velmorine::realtime::real;

extern "C"
{
    void* malloc (size_t n) { note ("malloc"); return __libc_malloc (n); }
    void* calloc (size_t n, size_t size) { note ("calloc"); return __libc_calloc (n, size); }
    void* realloc (void* p, size_t n) { note ("realloc"); return __libc_realloc (p, n); }
    void free (void* p) { note ("free"); __libc_free (p); }

    int pthread_mutex_lock (pthread_mutex_t* m) { note ("pthread_mutex_lock"); return real().mutexLock (m); }
    int pthread_cond_wait (pthread_cond_t* c, pthread_mutex_t* m) { note ("pthread_cond_wait"); return real().condWait (c, m); }
    int sem_wait (sem_t* s) { note ("sem_wait"); return real().semWait (s); }
    int nanosleep (const timespec* t, timespec* left) { note ("nanosleep"); return real().nanoSleep (t, left); }
    int poll (pollfd* fds, nfds_t n, int timeout) { note ("poll"); return real().pollFn (fds, n, timeout); }
    ssize_t send (int fd, const void* data, size_t n, int flags) { note ("send"); return real().sendFn (fd, data, n, flags); }
    ssize_t recv (int fd, void* data, size_t n, int flags) { note ("recv"); return real().recvFn (fd, data, n, flags); }
}

void* operator new (size_t n) { note ("operator new"); if (auto* p = __libc_malloc (n ? n : 1)) return p; throw std::bad_alloc(); }
void* operator new[] (size_t n) { note ("operator new[]"); if (auto* p = __libc_malloc (n ? n : 1)) return p; throw std::bad_alloc(); }
void operator delete (void* p) noexcept { note ("operator delete"); __libc_free (p); }
void operator delete[] (void* p) noexcept { note ("operator delete[]"); __libc_free (p); }
void operator delete (void* p, size_t) noexcept { note ("operator delete"); __libc_free (p); }
void operator delete[] (void* p, size_t) noexcept { note ("operator delete[]"); __libc_free (p); }
