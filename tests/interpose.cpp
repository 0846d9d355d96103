// The test executable defines these C library entry points and exports them,
// so a dynamically loaded module binds to them ahead of libc. Each forwards
// to the next definition in lookup order, altering or recording only calls
// whose return address lies in the watched module. The next definition is
// libc's, or a sanitizer runtime's when one is linked: its allocator must see
// every block, or it would be handed blocks it never made.
#include "interpose.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>

extern "C" long __sysconf(int name);

namespace {

constexpr int kMaxTracked = 4096;

std::atomic<const standin::Module *> watched{nullptr};
std::atomic<long> processors{0};
std::atomic<int> allocationCountdown{0};
std::atomic<int> threadStartCountdown{0};
std::atomic<interpose::ThreadStartHook> hook{nullptr};

std::atomic<int> processorQueries{0};
std::atomic<int> allocations{0};
std::atomic<int> threadStarts{0};
std::atomic<int> joinsOfUnstarted{0};
std::atomic<int> injectedFaults{0};

// Live module allocations and running module threads. Frees and thread exits
// happen on any thread, so the tables sit behind a spin lock; nothing inside
// it allocates.
std::atomic_flag tableLock = ATOMIC_FLAG_INIT;
void *liveBlocks[kMaxTracked];
pthread_t runningThreads[kMaxTracked];
int liveBlockCount = 0;
int runningThreadCount = 0;

struct TableGuard {
    TableGuard() {
        while (tableLock.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~TableGuard() {
        tableLock.clear(std::memory_order_release);
    }
};

bool fromModule(const void *returnAddress) {
    const standin::Module *m = watched.load();
    return m != nullptr && m->contains(returnAddress);
}

// True when the countdown was armed and has just reached the call to fail.
bool countdownFires(std::atomic<int> &countdown) {
    int left = countdown.load();
    while (left > 0 && !countdown.compare_exchange_weak(left, left - 1)) {
    }
    return left == 1;
}

template <typename T> bool removeFrom(T *table, int &count, const T &value) {
    for (int i = 0; i < count; ++i) {
        if (table[i] == value) {
            table[i] = table[--count];
            return true;
        }
    }
    return false;
}

using MallocFn = void *(*)(size_t);
using FreeFn = void (*)(void *);
using CreateFn = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
using JoinFn = int (*)(pthread_t, void **);

// dlsym may itself allocate while it looks malloc up. Those few blocks come
// from this arena, and are never given back.
alignas(std::max_align_t) char bootstrapArena[16384];
std::atomic<size_t> bootstrapUsed{0};
thread_local bool resolving = false;
std::atomic<MallocFn> nextMalloc{nullptr};
std::atomic<FreeFn> nextFree{nullptr};

void *bootstrapAllocate(size_t size) {
    size_t rounded = (size + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);
    size_t offset = bootstrapUsed.fetch_add(rounded);
    if (offset + rounded > sizeof bootstrapArena) {
        return nullptr;
    }
    return bootstrapArena + offset;
}

bool inBootstrapArena(const void *p) {
    const char *c = static_cast<const char *>(p);
    return c >= bootstrapArena && c < bootstrapArena + sizeof bootstrapArena;
}

// False while this thread is inside the lookup, whose own allocations must
// not recurse into it.
bool resolveAllocator() {
    if (nextMalloc.load(std::memory_order_acquire) != nullptr) {
        return true;
    }
    if (resolving) {
        return false;
    }
    resolving = true;
    nextFree.store(reinterpret_cast<FreeFn>(dlsym(RTLD_NEXT, "free")));
    nextMalloc.store(reinterpret_cast<MallocFn>(dlsym(RTLD_NEXT, "malloc")),
                     std::memory_order_release);
    resolving = false;
    return true;
}

void *realMalloc(size_t size) {
    if (!resolveAllocator()) {
        return bootstrapAllocate(size);
    }
    return nextMalloc.load(std::memory_order_acquire)(size);
}

// Arena blocks are never given back. A free made inside the lookup itself
// is of a block the lookup took, and so from the arena too.
void realFree(void *p) {
    if (inBootstrapArena(p) || !resolveAllocator()) {
        return;
    }
    nextFree.load()(p);
}

CreateFn realCreate() {
    static CreateFn fn = reinterpret_cast<CreateFn>(dlsym(RTLD_NEXT, "pthread_create"));
    return fn;
}

JoinFn realJoin() {
    static JoinFn fn = reinterpret_cast<JoinFn>(dlsym(RTLD_NEXT, "pthread_join"));
    return fn;
}

} // namespace

extern "C" {

void *malloc(size_t size) noexcept {
    if (!fromModule(__builtin_return_address(0))) {
        return realMalloc(size);
    }
    if (countdownFires(allocationCountdown)) {
        ++injectedFaults;
        return nullptr;
    }
    void *p = realMalloc(size);
    if (p != nullptr) {
        ++allocations;
        TableGuard guard;
        if (liveBlockCount < kMaxTracked) {
            liveBlocks[liveBlockCount++] = p;
        }
    }
    return p;
}

// Not filtered by caller: a free in tail position returns straight to the
// module's caller, so the block itself tells whether it was the module's.
void free(void *p) noexcept {
    if (p != nullptr) {
        TableGuard guard;
        removeFrom(liveBlocks, liveBlockCount, p);
    }
    realFree(p);
}

long sysconf(int name) noexcept {
    if (name == _SC_NPROCESSORS_ONLN && fromModule(__builtin_return_address(0))) {
        ++processorQueries;
        long fake = processors.load();
        if (fake != 0) {
            return fake;
        }
    }
    return __sysconf(name);
}

int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *),
                   void *arg) noexcept {
    if (!fromModule(__builtin_return_address(0))) {
        return realCreate()(thread, attr, start, arg);
    }
    if (countdownFires(threadStartCountdown)) {
        ++injectedFaults;
        return EAGAIN;
    }
    if (interpose::ThreadStartHook h = hook.load()) {
        h(arg);
    }
    int result = realCreate()(thread, attr, start, arg);
    if (result == 0) {
        ++threadStarts;
        TableGuard guard;
        if (runningThreadCount < kMaxTracked) {
            runningThreads[runningThreadCount++] = *thread;
        }
    }
    return result;
}

int pthread_join(pthread_t thread, void **result) {
    if (fromModule(__builtin_return_address(0))) {
        TableGuard guard;
        if (!removeFrom(runningThreads, runningThreadCount, thread)) {
            ++joinsOfUnstarted;
        }
    }
    return realJoin()(thread, result);
}

} // extern "C"

namespace interpose {

void watch(const standin::Module *module) {
    watched.store(module);
}

void reset() {
    processors = 0;
    allocationCountdown = 0;
    threadStartCountdown = 0;
    hook = nullptr;
    processorQueries = 0;
    allocations = 0;
    threadStarts = 0;
    joinsOfUnstarted = 0;
    injectedFaults = 0;
    TableGuard guard;
    liveBlockCount = 0;
    runningThreadCount = 0;
}

void setProcessors(long count) {
    processors = count;
}

void failAllocation(int k) {
    allocationCountdown = k;
}

void failThreadStart(int k) {
    threadStartCountdown = k;
}

void onThreadStart(ThreadStartHook h) {
    hook = h;
}

Counts counts() {
    TableGuard guard;
    return Counts{processorQueries,   allocations,      liveBlockCount, threadStarts,
                  runningThreadCount, joinsOfUnstarted, injectedFaults};
}

} // namespace interpose
