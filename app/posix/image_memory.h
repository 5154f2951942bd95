#pragma once
// How the Linux program's heap treats the decoder's memory. The buffers of one tile (libde265's
// picture and block data, libheif's copies of it) are kept when freed and taken again by the next
// tile and the next photo, instead of being mapped, faulted in, zeroed and unmapped each time.
// Blocks of a whole image are still mapped for themselves and go back to the system when freed,
// and before one is taken the heap gives back what it keeps, so that kept tile buffers never add
// to the largest moment of a photo (libheif holds two whole images when it turns one).
#include <cstddef>

// The smallest block taken as a whole image, just above the largest buffer of a 512 x 512 tile
// (as phones store their photos): 260 KiB planes, 292 KiB blocks. Whole images kept in the heap
// would leave holes that the next image does not fit (a batch of 1024 x 768 photos would peak
// 2 MiB higher with 4 MiB here).
inline constexpr std::size_t kImageBlockBytes = std::size_t{512} << 10;

// Sets the C library's allocator up as above. The program calls it first, before any thread.
void SetUpImageMemory();

// malloc as the program's operator new does it: before a whole image's block, the kept free
// memory goes back to the system, and the whole 2 MiB pages inside the block are mapped as huge
// pages where the system allows them, so that libheif's filling it costs a fault per 2 MiB
// instead of one per 4 KiB.
void* AllocateBlock(std::size_t size);
