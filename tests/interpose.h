// Control over what a module gets from the C library: the processor count it
// sees, which of its allocations and thread starts fail, and a record of
// what it allocated, started and joined. Only calls made from the watched
// module's own code are altered or counted.
#ifndef TESTS_INTERPOSE_H
#define TESTS_INTERPOSE_H

#include "harness.h"

namespace interpose {

struct Counts {
    int processorQueries;
    int allocations;      // granted to the module
    int liveAllocations;  // granted and not yet freed
    int threadStarts;     // started successfully
    int unjoinedThreads;  // started and not yet joined
    int joinsOfUnstarted; // joins of handles the module never started
    int injectedFaults;   // allocations and thread starts made to fail
};

void watch(const standin::Module *module);

// Counts to zero, no faults armed, the real processor count, no hook.
void reset();

// What sysconf(_SC_NPROCESSORS_ONLN) answers the module; 0 restores the truth.
void setProcessors(long count);

// Makes the k-th allocation (or thread start) from now fail; 0 disarms.
void failAllocation(int k);
void failThreadStart(int k);

// Called with each worker's argument record just before its thread starts.
using ThreadStartHook = void (*)(const void *record);
void onThreadStart(ThreadStartHook hook);

Counts counts();

} // namespace interpose

#endif
