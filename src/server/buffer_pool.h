// Reuses the large buffers that whole block messages travel in (receive
// buffers and job copies), so the kernel does not map and zero 8 MiB of
// fresh pages for every message. Loop thread only.
#pragma once

#include <stddef.h>

#include <vector>

struct buffer_pool_t {
  size_t large = 0;              // capacity of every pooled buffer, bytes
  size_t keep = 8;               // free buffers kept at most
  std::vector<char*> free_list;  // buffers of `large` bytes ready for reuse
};

// Buffers above this many bytes come from the pool.
constexpr size_t kPoolThreshold = 1 << 20;

// A buffer of at least `size` bytes; `*capacity` receives its real size.
// Requests above kPoolThreshold and up to pool->large get a pooled buffer of
// pool->large bytes. Null when memory is short.
char* pool_get(buffer_pool_t* pool, size_t size, size_t* capacity);

// Gives back a buffer from pool_get with its capacity.
void pool_put(buffer_pool_t* pool, char* p, size_t capacity);

// Frees every kept buffer.
void pool_clear(buffer_pool_t* pool);
