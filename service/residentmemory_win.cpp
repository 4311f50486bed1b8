#include "residentmemory.h"

#include <windows.h>
#include <psapi.h>

namespace Service {

qint64 residentMemoryBytes()
{
    PROCESS_MEMORY_COUNTERS counters{};
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        return -1;
    return qint64(counters.WorkingSetSize);
}

} // namespace Service
