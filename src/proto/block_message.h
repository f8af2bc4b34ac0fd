// The block data message: "abc" followed by one zstd frame (level 1, content
// size in the frame header, no checksum) holding the MessagePack array
// [device number, disk offset, bin(bytes)].
// Pure encoder, no shared state: any thread, several at once.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Marks a frame's payload as a block data message.
constexpr char kBlockMarker[] = "abc";
constexpr size_t kBlockMarkerSize = 3;
// Longest MessagePack part ahead of the bytes: fixarray, two uint64, bin32 header.
constexpr size_t kBlockPackHeaderMax = 1 + 9 + 9 + 5;

// Result of building one message.
struct encoded_block_t {
  char* msg;          // malloc block: marker + zstd frame; null on failure. Caller frees.
  int msg_size;       // bytes at msg: csize + 3
  size_t csize;       // compressed size
  size_t bound;       // ZSTD_compressBound of the packed size
  const char* error;  // static text when the build failed, else null
};

enum block_message_status {
  BLOCK_MSG_OK = 0,
  BLOCK_MSG_NOMEM_COMPRESS = -2,  // compression buffer could not be allocated
  BLOCK_MSG_ZSTD_ERROR = -3,      // zstd refused; `error` holds its text
  BLOCK_MSG_BAD_ARGS = -4,        // null bytes or size < 1
};

// Writes the MessagePack bytes that precede the block's bytes: array of 3,
// `devno` widened with its sign and packed unsigned, `offset`, and the bin
// header for `size` bytes. `out` holds kBlockPackHeaderMax bytes. Returns
// the number written.
size_t block_message_pack_header(char* out, int devno, uint64_t offset, int size);

// Packs and compresses one block into a new message. The packed array is
// never materialised: header and bytes are fed to one fresh zstd context
// that knows the total size, which yields the frame ZSTD_compress would
// write for the packed bytes without copying the block first.
// On success returns BLOCK_MSG_OK and fills `out`; otherwise returns a status
// with out->msg null (out->bound set when known). Never aborts.
int block_message_build(int devno, uint64_t offset, const char* buf, int size,
                        encoded_block_t* out);

// Compression ratio as logged: 100 * csize / bound in single precision,
// truncated toward zero. Taken against the bound, so incompressible data
// gives a value just below 100.
int block_message_ratio(size_t csize, size_t bound);

// The receiving side's bound on a message (block_message_max_size) is in
// block_message_decode.h.
