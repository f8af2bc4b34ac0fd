#include "server/buffer_pool.h"

#include <stdlib.h>

char* pool_get(buffer_pool_t* pool, size_t size, size_t* capacity) {
  if (size <= kPoolThreshold || size > pool->large) {
    *capacity = size;
    return static_cast<char*>(malloc(size));
  }
  *capacity = pool->large;
  if (!pool->free_list.empty()) {
    char* p = pool->free_list.back();
    pool->free_list.pop_back();
    return p;
  }
  return static_cast<char*>(malloc(pool->large));
}

void pool_put(buffer_pool_t* pool, char* p, size_t capacity) {
  if (p == nullptr) return;
  if (capacity == pool->large && pool->free_list.size() < pool->keep) {
    pool->free_list.push_back(p);
    return;
  }
  free(p);
}

void pool_clear(buffer_pool_t* pool) {
  for (char* p : pool->free_list) free(p);
  pool->free_list.clear();
}
