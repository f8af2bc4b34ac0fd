// Strict decoder of block data messages for the receiving side: "abc", then
// one zstd frame whose content is a MessagePack array [devno, offset, bin].
// Every size is checked before it is trusted, so hostile bytes can neither
// crash it nor make it allocate. Any thread; each caller brings its own
// decompression context and output buffer.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <zstd.h>

#include <string>

#include "proto/wire_constants.h"

constexpr int kMaxDevno = 4096;  // device numbers accepted: 0 .. kMaxDevno - 1
// Largest decompressed content: a full block plus the largest MessagePack
// header (array 1 + uint 9 + uint 9 + bin header 5).
constexpr size_t kMaxBlockContent = static_cast<size_t>(bf_proto::kBlockSize) + 24;

// One decoded block. `data` points into the caller's output buffer.
struct block_message_t {
  int devno;
  int64_t offset;               // byte offset on the disk, >= 0
  int length;                   // 1 .. kBlockSize
  const unsigned char* data;    // `length` bytes
};

// Largest frame payload a valid block message can have: marker plus the zstd
// bound of the largest content. Use it as the per-stream frame limit.
size_t block_message_max_size();

// True when the payload begins with the block marker "abc".
bool is_block_message(const void* msg, size_t size);

// Decodes `msg` (`size` bytes, marker included). `out_buf` must hold at least
// kMaxBlockContent bytes; `dctx` is the caller's zstd context. Returns 0 and
// fills `out` on success; returns -1 with a one-line reason in `error` (and
// `out` untouched) when the message is rejected.
int decode_block_message(ZSTD_DCtx* dctx, const void* msg, size_t size,
                         unsigned char* out_buf, size_t out_cap, block_message_t* out,
                         std::string* error);

// The MessagePack step alone: parses exactly [uint devno, uint offset, bin]
// filling the whole of `content`. Same result convention as above.
int parse_block_content(const unsigned char* content, size_t size, block_message_t* out,
                        std::string* error);
