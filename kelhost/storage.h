// storage.h - block storage of the stand-in host, shared by the runtime and
// the matrix library.  Every matrix and table is one allocation: a header,
// the row-pointer array, then the rows.  Blocks the library obtains through
// MatAllocBlock / TabAllocPlain are kept on a live list so that a host call
// ending in an error can free what the library still held.
#ifndef KELHOST_STORAGE_H
#define KELHOST_STORAGE_H

#include <cstddef>

namespace kelhost {

enum class BlockKind { Tracked, Record };

// New rows x cols block of elements of `elemSize` bytes; cols == 0 gives
// only the row-pointer array.  Null for negative sizes, a size product that
// overflows, a block beyond the host's limit, or a failed allocation.
// Tracked blocks go on the live list; record blocks belong to a KelVALUE.
void **allocBlock(int rows, int cols, std::size_t elemSize, BlockKind kind);

// Frees a block from allocBlock (null is ignored).  Returns false when the
// pointer is not the start of a live block.
bool freeBlock(void **rows);

// Counts allocation attempts for the failure injection of tests; returns
// true when this attempt must fail.
bool injectFailure();

// Serial number of the next tracked block; blocks made at or after a mark
// can be freed with freeTrackedSince.
unsigned long long trackedMark();
void freeTrackedSince(unsigned long long mark);
long trackedCount();

}  // namespace kelhost

#endif
