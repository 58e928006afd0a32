#include "alloc/allocation_counter.h"

#include <atomic>
#include <cerrno>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define QUORVAN_MALLOC_REPLACED_BY_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUORVAN_MALLOC_REPLACED_BY_SANITIZER 1
#endif

namespace {

std::atomic<bool> counting{false};
std::atomic<uint64_t> allocations{0};
std::atomic<size_t> first_size{0};

void note(size_t size) {
    if (!counting.load(std::memory_order_relaxed))
        return;
    if (allocations.fetch_add(1, std::memory_order_relaxed) == 0)
        first_size.store(size, std::memory_order_relaxed);
}

}  // namespace

#if !defined(QUORVAN_MALLOC_REPLACED_BY_SANITIZER)

// glibc documents replacing malloc, free, calloc and realloc (plus the
// aligned variants) in the program; its own entry points stay reachable
// under their __libc_ names.
extern "C" {
void* __libc_malloc(size_t size);
void __libc_free(void* pointer);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);

void* malloc(size_t size) {
    note(size);
    return __libc_malloc(size);
}

void free(void* pointer) {
    __libc_free(pointer);
}

void* calloc(size_t count, size_t size) {
    note(count * size);
    return __libc_calloc(count, size);
}

void* realloc(void* pointer, size_t size) {
    note(size);
    return __libc_realloc(pointer, size);
}

void* memalign(size_t alignment, size_t size) {
    note(size);
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
    note(size);
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** result, size_t alignment, size_t size) {
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    note(size);
    void* pointer = __libc_memalign(alignment, size);
    if (pointer == nullptr)
        return ENOMEM;
    *result = pointer;
    return 0;
}
}

#endif

namespace Quorvan {
namespace allocation_counter {

bool available() {
#if defined(QUORVAN_MALLOC_REPLACED_BY_SANITIZER)
    return false;
#else
    return true;
#endif
}

void start() {
    allocations.store(0);
    first_size.store(0);
    counting.store(true);
}

uint64_t stop() {
    counting.store(false);
    return allocations.load();
}

size_t firstSize() {
    return first_size.load();
}

}  // namespace allocation_counter
}  // namespace Quorvan
