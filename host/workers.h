/* The worker pattern of the threaded modules: a call's slices each on a thread of its own,
 * every thread joined before the call returns, and the calling thread taking any slice whose
 * record or thread cannot be had, so that the output is complete whatever fails.
 *
 * A dispatcher hands runWorkers its slices in order; the records and the array of handles are
 * heap allocations of the call (one array, one record per thread started), released before it
 * returns. Nothing persists between calls, and no thread outlives one.
 */
#ifndef HOST_WORKERS_H
#define HOST_WORKERS_H

#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

/* The processors online when the call is made; -1 when the query fails. */
static inline long onlineProcessors(void) {
    return sysconf(_SC_NPROCESSORS_ONLN);
}

/* The workers of our own modules: every online processor, no more than PGMEX_NUM_THREADS when
 * that is a positive whole number (read at every call, so that a caller running many host
 * workers at once can cap each call's), and no more than count / minSlice, since a slice
 * shorter than minSlice costs more to start and join than it saves. At least 1. */
static inline int ownWorkerCount(int count, int minSlice) {
    long workers = onlineProcessors();
    const char *cap = getenv("PGMEX_NUM_THREADS");
    if (cap != NULL) {
        char *end;
        long n = strtol(cap, &end, 10);
        if (end != cap && *end == '\0' && n > 0 && n < workers) {
            workers = n;
        }
    }
    long repaid = count / minSlice;
    if (repaid < workers) {
        workers = repaid;
    }
    return workers < 1 ? 1 : (int)workers;
}

/* One slice: its thread's handle and record (null when no thread runs it), and the slice
 * itself, kept for the calling thread. */
template <typename Args> struct WorkerSlot {
    pthread_t thread;
    Args *args;
    Args slice;
};

/* Runs the workers slices of a call, slice i made by nextSlice() for i = 0, 1, ... in turn
 * (once each, so that a dispatcher may carry what it has counted from one slice to the next),
 * each on a thread of its own started on entry. With callerWorks the calling thread takes the
 * last slice itself instead of waiting for the others idle, and one worker starts no thread. A
 * slice whose record or thread cannot be had runs on the calling thread once every other has
 * been started, so that the started ones are not held back; without room for the handles the
 * calling thread runs *all, the whole call as one slice. Each slice depends on its own inputs
 * alone, so where it runs never changes a result. */
template <typename Args, typename NextSlice>
static void runWorkers(Args *all, int workers, NextSlice nextSlice, void *(*entry)(void *),
                       bool callerWorks) {
    if (workers == 1 && callerWorks) {
        entry(all);
        return;
    }
    WorkerSlot<Args> *slots =
        static_cast<WorkerSlot<Args> *>(malloc((size_t)workers * sizeof(WorkerSlot<Args>)));
    if (slots == NULL) {
        entry(all);
        return;
    }
    int threads = callerWorks ? workers - 1 : workers;
    for (int i = 0; i < workers; ++i) {
        slots[i].slice = nextSlice();
        slots[i].args = NULL;
        if (i < threads) {
            Args *args = static_cast<Args *>(malloc(sizeof(Args)));
            if (args != NULL) {
                *args = slots[i].slice;
                if (pthread_create(&slots[i].thread, NULL, entry, args) != 0) {
                    free(args);
                    args = NULL;
                }
            }
            slots[i].args = args;
        }
    }
    for (int i = 0; i < workers; ++i) {
        if (slots[i].args == NULL) {
            entry(&slots[i].slice);
        }
    }
    for (int i = 0; i < workers; ++i) {
        if (slots[i].args != NULL) {
            pthread_join(slots[i].thread, NULL);
        }
    }
    for (int i = 0; i < workers; ++i) {
        free(slots[i].args);
    }
    free(slots);
}

#endif
