#ifndef RESIDENTMEMORY_H
#define RESIDENTMEMORY_H

#include <QtGlobal>

namespace Service {

// Bytes of this process held in physical memory (its resident set on Linux,
// its working set on Windows); -1 where that cannot be read
// (residentmemory_<platform>.cpp).
qint64 residentMemoryBytes();

} // namespace Service

#endif // RESIDENTMEMORY_H
