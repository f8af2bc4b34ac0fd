// Block data message encoder. The message buffer reserves the marker ahead of
// the compressed bytes, and the block's bytes go to zstd straight from the
// caller's buffer: no 8 MiB packing copy and no copy behind the marker.
#include "proto/block_message.h"

#include <msgpack.h>
#include <stdlib.h>
#include <string.h>
#include <zstd.h>
#include <zstd_errors.h>

namespace {

constexpr int kZstdLevel = 1;

// A fixed, pre-reserved sink for the packer: the header is at most 24 bytes.
struct header_sink_t {
  char* out;
  size_t len;
};

int header_sink_write(void* data, const char* buf, size_t len) {
  header_sink_t* s = static_cast<header_sink_t*>(data);
  if (s->len + len > kBlockPackHeaderMax) return -1;
  memcpy(s->out + s->len, buf, len);
  s->len += len;
  return 0;
}

// Compresses header then body as one frame whose header records the total.
// Returns the compressed size or a zstd error code.
size_t compress_two_parts(ZSTD_CCtx* cctx, char* dst, size_t cap, const char* head,
                          size_t head_len, const char* body, size_t body_len) {
  size_t rc = ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, kZstdLevel);
  if (ZSTD_isError(rc)) return rc;
  rc = ZSTD_CCtx_setPledgedSrcSize(cctx, head_len + body_len);
  if (ZSTD_isError(rc)) return rc;
  ZSTD_outBuffer out = {dst, cap, 0};
  ZSTD_inBuffer in = {head, head_len, 0};
  rc = ZSTD_compressStream2(cctx, &out, &in, ZSTD_e_continue);
  if (ZSTD_isError(rc)) return rc;
  in = ZSTD_inBuffer{body, body_len, 0};
  // The output holds the whole bound, so this ends in one call; loop anyway
  // in case zstd hands back early.
  do {
    rc = ZSTD_compressStream2(cctx, &out, &in, ZSTD_e_end);
    if (ZSTD_isError(rc)) return rc;
  } while (rc != 0 && out.pos < out.size);
  if (rc != 0) return static_cast<size_t>(-ZSTD_error_dstSize_tooSmall);
  return out.pos;
}

}  // namespace

size_t block_message_pack_header(char* out, int devno, uint64_t offset, int size) {
  header_sink_t sink = {out, 0};
  msgpack_packer pk;
  msgpack_packer_init(&pk, &sink, header_sink_write);
  // Cannot fail: 24 bytes always hold these four items.
  msgpack_pack_array(&pk, 3);
  msgpack_pack_uint64(&pk, static_cast<uint64_t>(static_cast<int64_t>(devno)));
  msgpack_pack_uint64(&pk, offset);
  msgpack_pack_bin(&pk, static_cast<size_t>(size));
  return sink.len;
}

int block_message_build(int devno, uint64_t offset, const char* buf, int size,
                        encoded_block_t* out) {
  *out = encoded_block_t{nullptr, 0, 0, 0, nullptr};
  if (buf == nullptr || size < 1) {
    out->error = "no block bytes";
    return BLOCK_MSG_BAD_ARGS;
  }
  char head[kBlockPackHeaderMax];
  const size_t head_len = block_message_pack_header(head, devno, offset, size);
  out->bound = ZSTD_compressBound(head_len + static_cast<size_t>(size));
  char* msg = static_cast<char*>(malloc(kBlockMarkerSize + out->bound));
  if (msg == nullptr) {
    out->error = "out of memory";
    return BLOCK_MSG_NOMEM_COMPRESS;
  }
  // A fresh context per message, as the one-shot call would make: block
  // threads share nothing.
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  if (cctx == nullptr) {
    free(msg);
    out->error = "cannot create a zstd context";
    return BLOCK_MSG_ZSTD_ERROR;
  }
  size_t csize = compress_two_parts(cctx, msg + kBlockMarkerSize, out->bound, head, head_len, buf,
                                    static_cast<size_t>(size));
  ZSTD_freeCCtx(cctx);
  if (ZSTD_isError(csize)) {
    free(msg);
    out->error = ZSTD_getErrorName(csize);
    return BLOCK_MSG_ZSTD_ERROR;
  }
  if (csize > static_cast<size_t>(INT32_MAX) - kBlockMarkerSize) {
    free(msg);  // would not fit a frame's length field
    out->error = "message too large for a frame";
    return BLOCK_MSG_ZSTD_ERROR;
  }
  memcpy(msg, kBlockMarker, kBlockMarkerSize);
  // Give back the unused tail of the bound; large blocks shrink without a copy.
  if (void* shrunk = realloc(msg, kBlockMarkerSize + csize)) msg = static_cast<char*>(shrunk);
  out->msg = msg;
  out->csize = csize;
  out->msg_size = static_cast<int>(kBlockMarkerSize + csize);
  return BLOCK_MSG_OK;
}

int block_message_ratio(size_t csize, size_t bound) {
  if (bound == 0) return 0;
  return static_cast<int>(100.0f * static_cast<float>(csize) / static_cast<float>(bound));
}
