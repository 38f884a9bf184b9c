#pragma once

#include <pthread.h>

// Counts heap allocations made by the calling thread while counting is on:
// the test executable that links this replaces the global allocation
// functions (and, outside sanitizer builds, malloc, calloc and realloc, so
// that allocations in C libraries count too).
void countAllocations(bool on);
long countedAllocations();

// The same for another thread (JACK's process thread): counts what `thread`
// allocates from now until stopWatchingAllocations, which returns the count.
void watchAllocations(pthread_t thread);
long stopWatchingAllocations();
