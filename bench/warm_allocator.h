// What every benchmark here does first: tell the C library allocator to keep
// the memory it is given back, and count the pages touched for the first time.
//
// This machine charges 10 to 15 us for each page touched for the first time.
// Past glibc's mmap threshold every array is a fresh mapping, and the faults
// of both sides of a comparison swamp what is compared. With mmap off and no
// trimming, a freed block stays mapped and the next one of its size reuses its
// pages, as a long-running host's allocator does. A block that is touched
// still counts in the peak resident size once, so a hidden copy still shows.
#ifndef BENCH_WARM_ALLOCATOR_H
#define BENCH_WARM_ALLOCATOR_H

#include <malloc.h>
#include <sys/resource.h>

// The same settings as MALLOC_MMAP_MAX_=0, MALLOC_MMAP_THRESHOLD_,
// MALLOC_TRIM_THRESHOLD_ and MALLOC_TOP_PAD_ in the environment give Octave.
inline void keepFreedMemory() {
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_TOP_PAD, 64 << 20);
}

// Minor page faults of the whole process so far: pages touched for the first
// time, or mapped again after they were given back.
inline long minorFaults() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

#endif
