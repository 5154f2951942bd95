#pragma once
// How the Linux program's heap treats the decoder's memory. The buffers of one tile (libde265's
// picture and block data, libheif's copies of it) are kept when freed and taken again by the next
// tile and the next photo, instead of being mapped, faulted in, zeroed and unmapped each time.
// Blocks of a whole image are still mapped for themselves and go back to the system when freed,
// and before one is taken the heap gives back what it keeps, so that kept tile buffers never add
// to the largest moment of a photo (libheif holds two whole images when it turns one).
#include <cstddef>

// The smallest block taken as a whole image: a plane of 2048 x 2048 8-bit samples. A tile's
// buffers (512 x 512 in phones' photos) are far below it.
inline constexpr std::size_t kImageBlockBytes = std::size_t{4} << 20;

// Sets the C library's allocator up as above. The program calls it first, before any thread.
void SetUpImageMemory();

// malloc as the program's operator new does it: before a whole image's block, the kept free
// memory goes back to the system, and the block is mapped with huge pages where the system allows
// them, so that libheif's filling it costs a fault per 2 MiB instead of one per 4 KiB.
void* AllocateBlock(std::size_t size);
