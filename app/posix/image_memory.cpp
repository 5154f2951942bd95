#include "app/posix/image_memory.h"

#include <malloc.h>

namespace {

// Far above what the tiles in flight keep (a few MiB); the heap is trimmed before every image's
// block anyway.
constexpr int kKeptFreeBytes = 64 << 20;

}  // namespace

void SetUpImageMemory() {
    // Blocks from the image size up are mapped, and glibc must not raise that threshold to the
    // largest block freed, or whole images would stay in the heap under what comes after them.
    mallopt(M_MMAP_THRESHOLD, static_cast<int>(kImageBlockBytes));
    // What is freed below it stays for the next tile instead of going back to the system.
    mallopt(M_TRIM_THRESHOLD, kKeptFreeBytes);
    // One heap for every thread: libheif decodes each tile on a new thread, and a tile's buffers
    // are taken again by whichever thread decodes the next one, where arenas of their own would
    // each keep a set.
    mallopt(M_ARENA_MAX, 1);
}

void BeforeAllocating(std::size_t size) {
    if (size >= kImageBlockBytes) malloc_trim(0);
}
