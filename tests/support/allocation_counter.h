#pragma once

// Counts heap allocations made by the calling thread while counting is on:
// the test executable that links this replaces the global allocation
// functions (and, outside sanitizer builds, malloc, calloc and realloc, so
// that allocations in C libraries count too).
void countAllocations(bool on);
long countedAllocations();
