// VornLibMemory: large blocks of memory straight from the system, for the object pools.
// POSIX asks for transparent huge pages (far fewer page faults when millions of lines are read);
// Windows takes committed pages from VirtualAlloc.
#pragma once

#include <cstddef>

// A zero-filled block of at least the given size, aligned to at least 64 bytes; raises
// std::bad_alloc when the system has no memory.
void* AllocateLargeBlock(size_t bytes);
void ReleaseLargeBlock(void* block, size_t bytes);
