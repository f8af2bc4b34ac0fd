// Cost of building one block data message (pack + compress + marker) per
// 8 MiB block, next to plain ZSTD_compress level 1 of the same bytes, for
// zero, text-like and random blocks. Prints figures; asserts nothing.
#include <msgpack.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zstd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "proto/block_message.h"

namespace {

constexpr int kBlock = 8388608;

std::vector<char> make_block(const std::string& kind) {
  std::vector<char> b(kBlock, 0);
  uint64_t x = 0x9E3779B97F4A7C15ULL;
  auto next = [&x] {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x;
  };
  if (kind == "random") {
    for (char& c : b) c = static_cast<char>(next() >> 56);
  } else if (kind == "text") {
    static const char* words[] = {"the ", "block ", "server ", "disk ", "offset ", "replica ",
                                  "log: ", "2024-03-15 ", "INFO ", "ERROR ", "ok\n", "0x7f3a ",
                                  "snapshot ", "ledger ", "acknowledged ", "\n"};
    size_t pos = 0;
    while (pos < b.size()) {
      const char* w = words[next() % 16];
      size_t n = std::min(strlen(w), b.size() - pos);
      memcpy(&b[pos], w, n);
      pos += n;
    }
  }
  return b;
}

using clock_type = std::chrono::steady_clock;

double ms_since(clock_type::time_point t0) {
  return std::chrono::duration<double, std::milli>(clock_type::now() - t0).count();
}

// The plain one-shot compression the message path is measured against,
// including its output allocation.
double plain_compress(const std::vector<char>& b, size_t* csize) {
  auto t0 = clock_type::now();
  size_t bound = ZSTD_compressBound(b.size());
  char* out = static_cast<char*>(malloc(bound));
  *csize = ZSTD_compress(out, bound, b.data(), b.size(), 1);
  double ms = ms_since(t0);
  free(out);
  return ms;
}

double message_path(const std::vector<char>& b, size_t* msize) {
  auto t0 = clock_type::now();
  encoded_block_t m;
  block_message_build(3, 8388608, b.data(), kBlock, &m);
  double ms = ms_since(t0);
  *msize = static_cast<size_t>(m.msg_size);
  free(m.msg);
  return ms;
}

// The straightforward form: the whole array packed into a growing sbuffer,
// one-shot ZSTD_compress into a separate buffer, then a copy behind the
// marker. Same bytes as the message path; shown for comparison only.
double naive_path(const std::vector<char>& b, size_t* msize) {
  auto t0 = clock_type::now();
  msgpack_sbuffer sbuf;
  msgpack_sbuffer_init(&sbuf);
  msgpack_packer* pk = msgpack_packer_new(&sbuf, msgpack_sbuffer_write);
  msgpack_pack_array(pk, 3);
  msgpack_pack_uint64(pk, 3);
  msgpack_pack_uint64(pk, 8388608);
  msgpack_pack_bin(pk, kBlock);
  msgpack_pack_bin_body(pk, b.data(), kBlock);
  size_t bound = ZSTD_compressBound(sbuf.size);
  char* out = static_cast<char*>(malloc(bound));
  size_t csize = ZSTD_compress(out, bound, sbuf.data, sbuf.size, 1);
  char* msg = static_cast<char*>(malloc(csize + 3));
  memcpy(msg, "abc", 3);
  memcpy(msg + 3, out, csize);
  double ms = ms_since(t0);
  *msize = csize + 3;
  free(msg);
  free(out);
  msgpack_packer_free(pk);
  msgpack_sbuffer_destroy(&sbuf);
  return ms;
}

// The fastest run: on a shared machine other work only ever adds time.
double fastest(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

}  // namespace

int main(int argc, char** argv) {
  const int reps = argc > 1 ? atoi(argv[1]) : 15;
  const double mib = kBlock / 1048576.0;
  printf("block data message, 8 MiB blocks, fastest of %d runs\n", reps);
  printf("%-8s %11s %10s %11s %10s %11s %10s %9s %9s\n", "kind", "plain ms", "plain MB/s",
         "message ms", "msg MB/s", "oneshot ms", "one MB/s", "overhead", "msg bytes");
  for (const char* kind : {"zeros", "text", "random"}) {
    std::vector<char> b = make_block(kind);
    std::vector<double> plain, msg, naive;
    size_t csize = 0, msize = 0, nsize = 0;
    for (int i = 0; i < reps; ++i) {
      plain.push_back(plain_compress(b, &csize));
      msg.push_back(message_path(b, &msize));
      naive.push_back(naive_path(b, &nsize));
    }
    double p = fastest(plain), m = fastest(msg), n = fastest(naive);
    printf("%-8s %11.2f %10.0f %11.2f %10.0f %11.2f %10.0f %8.1f%% %9zu\n", kind, p, mib / p * 1000,
           m, mib / m * 1000, n, mib / n * 1000, (m / p - 1) * 100, msize);
  }
  return 0;
}
