// storage.cpp - block allocation with a live list for tracked blocks, the
// matrix library's MatAllocBlock, MatFreeBlock, TabAllocPlain and
// TabFreePlain, and the allocator settings a program may ask for.
#include "kelhost/storage.h"

#include "kelhost/kelhost.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace kelhost {
namespace {

// Largest single block the host hands out; larger requests fail cleanly
// instead of reaching the allocator.
constexpr std::size_t kMaxBlockBytes = std::size_t(1) << 36;
constexpr std::uint32_t kMagic = 0x4b454c42u;  // "KELB"

struct alignas(16) Header {
    std::uint32_t magic;
    BlockKind kind;
    unsigned long long serial;
    Header *prev;
    Header *next;
    std::size_t bytes;  // the whole allocation, header included
};

Header *g_head = nullptr;  // live list of tracked blocks, newest first
long g_count = 0;
unsigned long long g_serial = 0;
long g_failAfter = -1;     // < 0: no injected failures

Header *headerOf(void **rows) {
    return reinterpret_cast<Header *>(reinterpret_cast<char *>(rows) - sizeof(Header));
}

void unlink(Header *h) {
    if (h->prev) h->prev->next = h->next; else g_head = h->next;
    if (h->next) h->next->prev = h->prev;
    --g_count;
}

// Distance between the starts of consecutive rows.  Series matrices are
// walked a column at a time, one element from each row; with rows a whole
// number of pages apart (or close to it) those elements would all fall
// into a few cache sets and evict one another.  Long rows are therefore
// spaced an odd number of cache lines apart, which spreads consecutive
// rows over every set.  Short rows stay packed.
constexpr std::size_t kCacheLine = 64;
constexpr std::size_t kSpreadFrom = 4096;

std::size_t rowStride(std::size_t rowBytes) {
    if (rowBytes < kSpreadFrom) return rowBytes;
    std::size_t lines = (rowBytes + kCacheLine - 1) / kCacheLine;
    if (lines % 2 == 0) ++lines;
    return lines * kCacheLine;
}


bool blockBytes(int rows, int cols, std::size_t elemSize, std::size_t *total) {
    if (rows < 0 || cols < 0) return false;
    std::size_t ptrs, data;
    if (__builtin_mul_overflow(std::size_t(rows), sizeof(void *), &ptrs)) return false;
    // Rows of doubles must stay aligned after the pointer array.
    ptrs = (ptrs + 15) & ~std::size_t(15);
    // cols * elemSize fits: both are below 2^31 (the element size comes from an int).
    if (__builtin_mul_overflow(rowStride(std::size_t(cols) * elemSize), std::size_t(rows), &data))
        return false;
    if (__builtin_add_overflow(ptrs, data, total)) return false;
    if (__builtin_add_overflow(*total, sizeof(Header), total)) return false;
    return *total <= kMaxBlockBytes;
}

// Large freed blocks kept for reuse.  A Kel program calls the library in
// loops, and each call allocates and frees blocks of the size of its
// series: the filter store, the moments, the covariances.  Above 32 MiB
// glibc maps every such block on its own and unmaps it when freed, whatever
// its settings, so each call would fault in every page again (62 MB of
// covariances at 100000 time points of a 13-state model: some 15000 faults
// per call).  Freed blocks of kKeepFrom bytes or more are therefore kept
// here, up to kKeepBytes in all and kKeepCount blocks, and an allocation
// takes the smallest kept block that holds it with at most a quarter to
// spare; a block that does not fit under the limits goes back to the C
// library.  Kept blocks stay mapped until kelhost_release_kept_blocks().
constexpr std::size_t kKeepFrom = std::size_t(1) << 20;
constexpr std::size_t kKeepBytes = std::size_t(4) << 30;
constexpr int kKeepCount = 32;

Header *g_kept[kKeepCount];
int g_keptCount = 0;
std::size_t g_keptBytes = 0;

char *takeKept(std::size_t total) {
    if (total < kKeepFrom) return nullptr;
    int best = -1;
    for (int i = 0; i < g_keptCount; ++i) {
        const std::size_t b = g_kept[i]->bytes;
        if (b >= total && b - total <= total / 4 && (best < 0 || b < g_kept[best]->bytes))
            best = i;
    }
    if (best < 0) return nullptr;
    Header *h = g_kept[best];
    g_kept[best] = g_kept[--g_keptCount];
    g_keptBytes -= h->bytes;
    return reinterpret_cast<char *>(h);
}

void release(Header *h) {
    h->magic = 0;
    if (h->bytes >= kKeepFrom && g_keptCount < kKeepCount &&
        h->bytes <= kKeepBytes - g_keptBytes) {
        g_kept[g_keptCount++] = h;
        g_keptBytes += h->bytes;
        return;
    }
    std::free(h);
}

}  // namespace

bool injectFailure() {
    if (g_failAfter < 0) return false;
    if (g_failAfter == 0) return true;
    --g_failAfter;
    return false;
}

void **allocBlock(int rows, int cols, std::size_t elemSize, BlockKind kind) {
    std::size_t total;
    if (!blockBytes(rows, cols, elemSize, &total)) return nullptr;
    char *raw = takeKept(total);
    if (raw) {
        total = reinterpret_cast<Header *>(raw)->bytes;
    } else {
        raw = static_cast<char *>(std::malloc(total));
        if (!raw) return nullptr;
    }
    Header *h = reinterpret_cast<Header *>(raw);
    h->bytes = total;
    h->magic = kMagic;
    h->kind = kind;
    h->serial = g_serial++;
    h->prev = nullptr;
    h->next = nullptr;
    void **ptrs = reinterpret_cast<void **>(raw + sizeof(Header));
    std::size_t ptrBytes = (std::size_t(rows) * sizeof(void *) + 15) & ~std::size_t(15);
    char *data = reinterpret_cast<char *>(ptrs) + ptrBytes;
    std::size_t rowBytes = std::size_t(cols) * elemSize;
    std::size_t stride = rowStride(rowBytes);
    for (int i = 0; i < rows; ++i)
        ptrs[i] = cols > 0 ? data + std::size_t(i) * stride : nullptr;
    if (cols > 0) std::memset(data, 0, std::size_t(rows) * stride);
    if (kind == BlockKind::Tracked) {
        h->next = g_head;
        if (g_head) g_head->prev = h;
        g_head = h;
        ++g_count;
    }
    return ptrs;
}

bool freeBlock(void **rows) {
    if (!rows) return true;
    Header *h = headerOf(rows);
    if (h->magic != kMagic) return false;
    if (h->kind == BlockKind::Tracked) unlink(h);
    release(h);
    return true;
}

unsigned long long trackedMark() { return g_serial; }

void freeTrackedSince(unsigned long long mark) {
    Header *h = g_head;
    while (h) {
        Header *next = h->next;
        if (h->serial >= mark) {
            unlink(h);
            release(h);
        }
        h = next;
    }
}

long trackedCount() { return g_count; }

#if defined(__GLIBC__)
// The settings of kelhost_keep_freed_blocks.
constexpr int kMapAbove = 32 << 20;   // glibc's upper limit on 64-bit systems
constexpr int kTrimAbove = 256 << 20;
#endif

}  // namespace kelhost

extern "C" {

double **MatAllocBlock(int rows, int cols) {
    if (kelhost::injectFailure()) return nullptr;
    return reinterpret_cast<double **>(
        kelhost::allocBlock(rows, cols, sizeof(double), kelhost::BlockKind::Tracked));
}

void MatFreeBlock(double **m) { kelhost::freeBlock(reinterpret_cast<void **>(m)); }

void **TabAllocPlain(int rows, int cols, int size) {
    if (size <= 0 || kelhost::injectFailure()) return nullptr;
    return kelhost::allocBlock(rows, cols, std::size_t(size), kelhost::BlockKind::Tracked);
}

void TabFreePlain(void **table, int, int) { kelhost::freeBlock(table); }

// A Kel program calls the library in loops, and each call allocates and
// frees blocks of the size of its series.  Left to its defaults, glibc's
// allocator gives blocks of a megabyte or so back to the system when they
// are freed, by unmapping them or by trimming the heap, depending on what
// it has seen freed before; the next call then takes a page fault on every
// page it touches.  On a virtual machine such a fault costs microseconds,
// and the time of one call could triple from one call to the next.  A
// program that wants freed blocks kept asks for it here: blocks up to the
// largest size for which glibc allows that, and the heap's free top up to
// kTrimAbove.  Loading the host changes nothing by itself.
int kelhost_keep_freed_blocks(void) {
#if defined(__GLIBC__)
    return mallopt(M_MMAP_THRESHOLD, kelhost::kMapAbove) == 1 &&
           mallopt(M_TRIM_THRESHOLD, kelhost::kTrimAbove) == 1;
#else
    return 0;
#endif
}

long kelhost_live_blocks(void) { return kelhost::trackedCount(); }

void kelhost_release_kept_blocks(void) {
    using namespace kelhost;
    while (g_keptCount > 0) std::free(g_kept[--g_keptCount]);
    g_keptBytes = 0;
}

}  // extern "C"

extern "C" void kelhost_fail_allocations_after(long after) { kelhost::g_failAfter = after; }
