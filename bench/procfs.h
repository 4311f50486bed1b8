// What the benchmark programs read of a running process from /proc, and the
// JSON quoting they print it with.
#ifndef PROCFS_H
#define PROCFS_H

#include <string>
#include <sys/types.h>

// The kB figures of /proc/PID/status that matter here; -1 where unread.
struct ProcessMemory
{
    long vmHwm = -1, vmRss = -1, rssAnon = -1, rssFile = -1, rssShmem = -1, threads = -1;
};

ProcessMemory readProcessMemory(pid_t pid);

// Resident memory per mapped file (anonymous mappings as "[anon]", the heap
// as "[heap]"), written to path as one JSON object, to tell where the memory
// is.
void writeResidentByMapping(pid_t pid, const char *path);

std::string jsonString(const std::string &text);

#endif // PROCFS_H
