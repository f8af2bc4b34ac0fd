// Server ingest rate: prepared block messages replayed over loopback into an
// in-process server (decode, write, acknowledge), next to plain zstd
// decompression of the same messages on one thread. Prints figures only.
//
// usage: bench_server_ingest [blocks] [connections]   (default 48 blocks, 4 connections)
#include <stdio.h>
#include <stdlib.h>
#include <zstd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <xxhash.h>

#include <memory>

#include "../tests/unit/server_test_client.h"
#include "proto/block_message_decode.h"
#include "server/image_writer.h"

using namespace server_test;

namespace {

constexpr int kBlock = 8 << 20;

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// A realistic mix: empty blocks, text-like blocks, incompressible blocks.
std::string make_block(int i) {
  switch (i % 3) {
    case 0: return std::string(kBlock, '\0');
    case 1: {
      std::string s;
      s.reserve(kBlock);
      const char* words[] = {"block ", "ferry ", "disk ", "image ", "server ", "agent ", "\n"};
      uint32_t x = static_cast<uint32_t>(i) + 1;
      while (s.size() < static_cast<size_t>(kBlock)) {
        x = x * 1103515245u + 12345u;
        s += words[(x >> 16) % 7];
      }
      s.resize(kBlock);
      return s;
    }
    default: return pattern_block(kBlock, static_cast<unsigned>(i));
  }
}

}  // namespace

int main(int argc, char** argv) {
  int blocks = argc > 1 ? atoi(argv[1]) : 48;
  int conns = argc > 2 ? atoi(argv[2]) : 4;
  if (blocks < 1 || conns < 1) return 2;

  std::vector<std::string> msgs;
  size_t wire_bytes = 0;
  for (int i = 0; i < blocks; i++) {
    std::string b = make_block(i);
    encoded_block_t e{};
    if (block_message_build(0, static_cast<uint64_t>(i) * kBlock, b.data(), kBlock, &e) != 0) return 1;
    uint32_t be = htonl(static_cast<uint32_t>(e.msg_size));
    std::string frame(reinterpret_cast<char*>(&be), 4);
    frame.append(e.msg, static_cast<size_t>(e.msg_size));
    free(e.msg);
    wire_bytes += frame.size();
    msgs.push_back(std::move(frame));
  }
  const double mib = static_cast<double>(blocks) * kBlock / 1048576.0;

  // Plain decompression of the same messages, one thread.
  std::vector<char> out(kBlock + 64);
  ZSTD_DCtx* dctx = ZSTD_createDCtx();
  auto t0 = std::chrono::steady_clock::now();
  for (const auto& m : msgs)
    ZSTD_decompressDCtx(dctx, out.data(), out.size(), m.data() + 7, m.size() - 7);
  double plain_s = seconds_since(t0);
  ZSTD_freeDCtx(dctx);

  std::string root = make_temp_dir();

  // The server's own work per message (decode, hash, write) on one thread,
  // without the network, into a fresh image.
  double work_s;
  {
    ZSTD_DCtx* d = ZSTD_createDCtx();
    std::unique_ptr<unsigned char[]> buf(new unsigned char[kMaxBlockContent]);
    image_file_t img;
    std::string path = root + "/work.img";
    img.fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
    t0 = std::chrono::steady_clock::now();
    for (const auto& m : msgs) {
      block_message_t b{};
      std::string error;
      bool zero;
      if (decode_block_message(d, m.data() + 4, m.size() - 4, buf.get(), kMaxBlockContent, &b, &error) != 0 ||
          image_apply_block(&img, b.offset, b.data, static_cast<size_t>(b.length), &zero, &error) != 0)
        return 1;
      volatile uint64_t h = XXH64(b.data, static_cast<size_t>(b.length), 0);
      (void)h;
    }
    work_s = seconds_since(t0);
    close(img.fd);
    unlink(path.c_str());
    ZSTD_freeDCtx(d);
  }

  server_log_open((root + "/server.log").c_str());
  server_options_t opts;
  opts.dir = root + "/images";
  opts.stats_every_blocks = 1000000;
  running_server_t server;
  if (server.start(opts) != 0) return 1;

  std::atomic<int> next{0};
  std::atomic<int> failures{0};
  t0 = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < conns; c++) {
    threads.emplace_back([&] {
      client_t cl;
      if (!cl.connect_to(server.port)) {
        failures++;
        return;
      }
      // Keep up to 3 messages unanswered per connection, as the agent keeps
      // a dozen over its pool.
      int outstanding = 0;
      for (;;) {
        int i = next++;
        if (i >= blocks) break;
        if (!cl.send_raw(msgs[i].data(), msgs[i].size())) failures++;
        if (++outstanding < 3) continue;
        reply_record r{};
        if (cl.read_ack(&r, 30000) != 1) failures++;
        outstanding--;
      }
      reply_record r{};
      while (outstanding-- > 0)
        if (cl.read_ack(&r, 30000) != 1) failures++;
    });
  }
  for (auto& t : threads) t.join();
  double ingest_s = seconds_since(t0);
  server.stop();
  server_log_close();
  std::string cmd = "rm -rf '" + root + "'";
  if (system(cmd.c_str()) != 0) fprintf(stderr, "cannot remove %s\n", root.c_str());

  printf("blocks=%d connections=%d block_mib=8 data_mib=%.0f wire_mib=%.1f failures=%d\n", blocks,
         conns, mib, wire_bytes / 1048576.0, failures.load());
  printf("zstd_decompress_mb_per_s=%.1f (one thread)\n", mib / plain_s);
  printf("decode_write_one_thread_mb_per_s=%.1f (decode + hash + write, no network)\n", mib / work_s);
  printf("server_ingest_mb_per_s=%.1f (decode + write + ack over loopback)\n", mib / ingest_s);
  printf("ingest_vs_decompress=%.0f%%\n", 100.0 * (mib / ingest_s) / (mib / plain_s));
  return failures.load() == 0 ? 0 : 1;
}
