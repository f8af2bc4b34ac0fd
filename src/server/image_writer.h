// Puts one block's bytes into a disk image file. All-zero blocks become holes
// so images of mostly empty disks stay sparse. Called from worker threads;
// several may write the same image at once.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <shared_mutex>
#include <string>

// One open image. Data writes take `size_lock` shared; changing the file's
// size by ftruncate takes it exclusive, so a truncate can never cut off
// bytes that a concurrent write put beyond the old end.
struct image_file_t {
  int fd = -1;
  std::shared_mutex size_lock;
};

// True when all `n` bytes are zero.
bool is_all_zero(const unsigned char* p, size_t n);

// Writes `len` bytes at `offset`. When every byte is zero the range becomes a
// hole (punched inside the file, a plain size extension past its end; zeros
// are written where the file system cannot punch). Returns 0; -1 with the
// system's error text in `error` when a call fails (the range may then hold
// part of the block). `*zero` tells whether the block was all zero.
int image_apply_block(image_file_t* img, int64_t offset, const unsigned char* data, size_t len,
                      bool* zero, std::string* error);
