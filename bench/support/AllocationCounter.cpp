#include "AllocationCounter.h"

#include <atomic>
#include <cerrno>
#include <cstddef>

// glibc's own allocator under its internal names, so that the replacements below can pass every
// call on without looking anything up (a lookup could itself allocate).
extern "C"
{
    void* __libc_malloc (size_t);
    void* __libc_calloc (size_t, size_t);
    void* __libc_realloc (void*, size_t);
    void* __libc_memalign (size_t, size_t);
    void __libc_free (void*);
}

namespace velmorine::bench::allocations
{
    namespace
    {
        // Plain atomics of a trivial type: usable before any constructor has run.
        std::atomic<unsigned long> watched[numSlots];
        std::atomic<std::uint64_t> counted[numSlots];

        inline void note()
        {
            const auto self = (unsigned long) pthread_self();

            for (int i = 0; i < numSlots; ++i)
                if (watched[i].load (std::memory_order_relaxed) == self)
                    counted[i].fetch_add (1, std::memory_order_relaxed);
        }
    }

    void watch (Slot slot, pthread_t thread)
    {
        watched[slot].store ((unsigned long) thread);
    }

    std::uint64_t count (Slot slot)
    {
        return counted[slot].load();
    }
}

using velmorine::bench::allocations::note;

extern "C"
{
    void* malloc (size_t size)
    {
        note();
        return __libc_malloc (size);
    }

    void* calloc (size_t count, size_t size)
    {
        note();
        return __libc_calloc (count, size);
    }

    void* realloc (void* pointer, size_t size)
    {
        note();
        return __libc_realloc (pointer, size);
    }

    void* memalign (size_t alignment, size_t size)
    {
        note();
        return __libc_memalign (alignment, size);
    }

    void* aligned_alloc (size_t alignment, size_t size)
    {
        note();
        return __libc_memalign (alignment, size);
    }

    int posix_memalign (void** result, size_t alignment, size_t size)
    {
        if (alignment < sizeof (void*) || (alignment & (alignment - 1)) != 0)
            return EINVAL;

        note();
        auto* p = __libc_memalign (alignment, size);

        if (p == nullptr && size != 0)
            return ENOMEM;

        *result = p;
        return 0;
    }

    void free (void* pointer)
    {
        __libc_free (pointer);
    }
}
