// Arbitrary bytes, cut into arbitrary reads (some empty, some failing their
// allocation), through the framing layer's read steps. Checks the layer's
// invariants, that no allocation exceeds the stream's limit, that frames
// before any corruption come out exactly as a plain parser finds them, and
// that every buffer is handed back.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "proto/uv_msg_framing.h"
#include "proto/uv_msg_framing_internal.h"

namespace {

struct state_t {
  std::vector<std::string> messages;
  int errors = 0;
  long first_error_at = -1;  // messages delivered before the first error
  int live = 0;
  size_t largest_ask = 0;
  uint64_t rng = 0;
  bool fail_next_alloc = false;
};

#define CHECK(cond) \
  do {              \
    if (!(cond)) abort(); \
  } while (0)

void fuzz_alloc(uv_handle_t* h, size_t size, uv_buf_t* b) {
  state_t* st = static_cast<state_t*>(h->data);
  if (size > st->largest_ask) st->largest_ask = size;
  if (st->fail_next_alloc) {
    st->fail_next_alloc = false;
    *b = uv_buf_init(nullptr, 0);
    return;
  }
  ++st->live;
  *b = uv_buf_init(static_cast<char*>(malloc(size)), static_cast<unsigned>(size));
}

void fuzz_free(uv_handle_t* h, void* p) {
  state_t* st = static_cast<state_t*>(h->data);
  if (p != nullptr) --st->live;
  free(p);
}

void fuzz_msg(uv_msg_t* s, void* msg, int size) {
  state_t* st = static_cast<state_t*>(s->data);
  if (msg == nullptr) {
    CHECK(size < 0);
    if (st->errors++ == 0) st->first_error_at = static_cast<long>(st->messages.size());
    return;
  }
  CHECK(size > 0 && size <= s->max_frame);
  st->messages.emplace_back(static_cast<char*>(msg), static_cast<size_t>(size));
}

uint32_t next(state_t* st) {
  st->rng = st->rng * 6364136223846793005ULL + 1442695040888963407ULL;
  return static_cast<uint32_t>(st->rng >> 33);
}

void check_invariants(const uv_msg_t& s) {
  CHECK(s.filled >= 0 && s.filled <= s.alloc_size);
  if (s.buf == nullptr) CHECK(s.alloc_size == 0 && s.filled == 0);
}

// Frames a plain parser finds before the first bad length or the end.
std::vector<std::string> reference_frames(const uint8_t* p, size_t n, int max_frame) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (n - pos >= 4) {
    int32_t len = static_cast<int32_t>((uint32_t(p[pos]) << 24) | (uint32_t(p[pos + 1]) << 16) |
                                       (uint32_t(p[pos + 2]) << 8) | p[pos + 3]);
    if (len <= 0 || len > max_frame) break;
    if (n - pos - 4 < static_cast<size_t>(len)) break;
    out.emplace_back(reinterpret_cast<const char*>(p + pos + 4), static_cast<size_t>(len));
    pos += 4 + static_cast<size_t>(len);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  // Byte 0: the stream's limit; bytes 1-2: seed of the read sizes.
  static const int limits[] = {1, 16, 300, 65536, 70000};
  const int max_frame = limits[data[0] % 5];
  state_t st;
  st.rng = (uint64_t(data[1]) << 8) | data[2];
  const uint8_t* stream = data + 3;
  const size_t n = size - 3;

  uv_msg_t s;
  memset(&s, 0, sizeof s);
  s.data = &st;
  s.alloc_cb = fuzz_alloc;
  s.free_cb = fuzz_free;
  s.msg_read_cb = fuzz_msg;
  uv_msg_set_max_frame(&s, max_frame);

  size_t pos = 0;
  int steps = 0;
  while (pos < n && steps++ < 100000) {
    const uint32_t r = next(&st);
    st.fail_next_alloc = (r % 61) == 0;
    uv_buf_t b;
    uv_stream_msg_alloc(reinterpret_cast<uv_handle_t*>(&s), 65536, &b);
    check_invariants(s);
    if (b.base == nullptr || b.len == 0) {
      uv_stream_msg_read(reinterpret_cast<uv_stream_t*>(&s), UV_ENOBUFS, &b);
    } else {
      CHECK(b.base >= s.buf + s.filled && b.base + b.len <= s.buf + s.alloc_size);
      size_t want = (r >> 8) % 5 == 0 ? 0 : 1 + (r >> 12) % 4096;
      size_t take = want < b.len ? want : b.len;
      if (take > n - pos) take = n - pos;
      memcpy(b.base, stream + pos, take);
      pos += take;
      uv_stream_msg_read(reinterpret_cast<uv_stream_t*>(&s), static_cast<ssize_t>(take), &b);
    }
    check_invariants(s);
    CHECK(st.live <= 1);
  }
  uv_buf_t none = uv_buf_init(nullptr, 0);
  uv_stream_msg_read(reinterpret_cast<uv_stream_t*>(&s), UV_EOF, &none);
  CHECK(s.buf == nullptr && st.live == 0);
  // Nothing is ever asked for beyond one whole frame or the first buffer.
  CHECK(st.largest_ask <= 65536 || st.largest_ask <= static_cast<size_t>(max_frame) + 4);

  // Frames before the first error (bad length, failed allocation or the
  // final end of stream) are exactly what a plain parser finds, whatever the
  // read boundaries were.
  if (pos == n) {
    const std::vector<std::string> ref = reference_frames(stream, n, max_frame);
    const size_t k = static_cast<size_t>(st.first_error_at);
    CHECK(k <= ref.size());
    for (size_t i = 0; i < k; ++i) CHECK(st.messages[i] == ref[i]);
    if (st.errors == 1) CHECK(k == ref.size());  // nothing was discarded on the way
  }
  return 0;
}
