#pragma once

#include <dirent.h>

#include <fstream>
#include <string>

namespace velmorine::test
{
    // What a leak would grow: open file descriptors, threads and resident memory of this process.
    struct ProcessCounters
    {
        int fds = 0;
        int threads = 0;
        long rssKiB = 0;

        static int countEntries (const char* path)
        {
            int n = 0;
            if (DIR* dir = opendir (path))
            {
                while (const auto* entry = readdir (dir))
                    n += entry->d_name[0] != '.' ? 1 : 0;
                closedir (dir);
            }
            return n;
        }

        static ProcessCounters now()
        {
            ProcessCounters c;
            c.fds = countEntries ("/proc/self/fd");
            c.threads = countEntries ("/proc/self/task");
            std::ifstream statm ("/proc/self/statm");
            long size = 0, resident = 0;
            statm >> size >> resident;
            c.rssKiB = resident * 4;
            return c;
        }
    };
}
