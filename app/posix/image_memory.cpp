#include "app/posix/image_memory.h"

#include <malloc.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

namespace {

// Far above what the tiles in flight keep (a few MiB); the heap is trimmed before every image's
// block anyway.
constexpr int kKeptFreeBytes = 64 << 20;

constexpr std::uintptr_t kHugePageBytes = std::uintptr_t{2} << 20;

// Asks for huge pages in the whole huge pages inside the block; a system without them ignores it.
void AdviseHugePages(void* block, std::size_t size) {
    const auto start = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t first = (start + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
    const std::uintptr_t end = (start + size) & ~(kHugePageBytes - 1);
    if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
}

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

void* AllocateBlock(std::size_t size) {
    const bool image = size >= kImageBlockBytes;
    if (image) malloc_trim(0);
    void* block = std::malloc(size != 0 ? size : 1);
    if (image && block != nullptr) AdviseHugePages(block, size);
    return block;
}
