// Test helpers for the server: runs a server on its own loop and thread on
// 127.0.0.1 with a free port, and a blocking test client that speaks frames.
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>
#include <uv.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "proto/block_message.h"
#include "proto/tpl_reader.h"
#include "server/server.h"
#include "server/server_log.h"
#include "server/server_state.h"

namespace server_test {

inline std::string make_temp_dir() {
  char tmpl[] = "/tmp/bf_server_test.XXXXXX";
  const char* d = mkdtemp(tmpl);
  return d ? d : "";
}

inline std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// Polls `cond` every 5 ms until it holds or `ms` pass.
template <typename F>
bool wait_for(F cond, int ms = 5000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return cond();
}

// A server on a private loop in a thread of its own.
struct running_server_t {
  uv_loop_t loop;
  server_t* srv = nullptr;
  std::thread thread;
  int port = -1;
  int loop_close_rc = -1;
  int exit_status = -1;
  std::string log_path;

  int start(server_options_t opts) {
    uv_loop_init(&loop);
    srv = server_new();
    if (opts.listen.empty()) opts.listen.push_back({"127.0.0.1", 0});
    std::string error;
    if (server_start(srv, &loop, opts, false, &error) != 0) {
      fprintf(stderr, "server_start: %s\n", error.c_str());
      uv_run(&loop, UV_RUN_DEFAULT);
      uv_loop_close(&loop);
      server_free(srv);
      srv = nullptr;
      return -1;
    }
    port = server_port(srv);
    thread = std::thread([this] {
      uv_run(&loop, UV_RUN_DEFAULT);
      exit_status = server_exit_status(srv);
      loop_close_rc = uv_loop_close(&loop);
    });
    return 0;
  }

  void stop() {
    if (srv == nullptr) return;
    server_request_stop(srv);
    thread.join();
    server_free(srv);
    srv = nullptr;
  }

  ~running_server_t() { stop(); }
};

// A blocking client with deadlines on every read.
struct client_t {
  int fd = -1;

  // Connects to 127.0.0.1:port, from `source` when given (another agent).
  bool connect_to(int port, const char* source = nullptr, int rcvbuf = 0) {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    if (source != nullptr) {
      sockaddr_in src{};
      src.sin_family = AF_INET;
      inet_pton(AF_INET, source, &src.sin_addr);
      if (bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0) return false;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
    return connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  }

  bool send_raw(const void* p, size_t n) {
    const char* c = static_cast<const char*>(p);
    while (n > 0) {
      ssize_t w = send(fd, c, n, MSG_NOSIGNAL);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      c += w;
      n -= static_cast<size_t>(w);
    }
    return true;
  }

  bool send_frame(const void* p, size_t n) {
    uint32_t len = htonl(static_cast<uint32_t>(n));
    std::string f(reinterpret_cast<char*>(&len), 4);
    f.append(static_cast<const char*>(p), n);
    return send_raw(f.data(), f.size());
  }

  bool send_block(int devno, uint64_t offset, const std::string& bytes) {
    encoded_block_t e{};
    if (block_message_build(devno, offset, bytes.data(), static_cast<int>(bytes.size()), &e) != 0)
      return false;
    bool ok = send_frame(e.msg, static_cast<size_t>(e.msg_size));
    free(e.msg);
    return ok;
  }

  bool send_command(const char* text) { return send_frame(text, strlen(text) + 1); }

  // Reads exactly n bytes. 1 ok, 0 end of stream/reset, -1 timeout.
  int read_exact(void* p, size_t n, int timeout_ms) {
    char* c = static_cast<char*>(p);
    while (n > 0) {
      pollfd pfd{fd, POLLIN, 0};
      int r = poll(&pfd, 1, timeout_ms);
      if (r == 0) return -1;
      ssize_t got = recv(fd, c, n, 0);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return 0;
      c += got;
      n -= static_cast<size_t>(got);
    }
    return 1;
  }

  // Reads one reply frame. 1 ok, 0 closed, -1 timeout, -2 malformed.
  int read_reply(reply_record* out, int timeout_ms = 5000) {
    unsigned char prefix[4];
    int r = read_exact(prefix, 4, timeout_ms);
    if (r != 1) return r;
    uint32_t len = (uint32_t(prefix[0]) << 24) | (prefix[1] << 16) | (prefix[2] << 8) | prefix[3];
    if (len != 36) return -2;
    char image[36];
    r = read_exact(image, 36, timeout_ms);
    if (r != 1) return r;
    return load_reply(out, image, 36) == 0 ? 1 : -2;
  }

  // Reads until an acknowledgement (type not 1 or 2) arrives.
  int read_ack(reply_record* out, int timeout_ms = 5000) {
    for (;;) {
      int r = read_reply(out, timeout_ms);
      if (r != 1 || (out->type != 1 && out->type != 2)) return r;
    }
  }

  // True once the server has closed its end (EOF or reset) within the deadline.
  bool closed_by_peer(int timeout_ms = 5000) {
    char b[4096];
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
      pollfd pfd{fd, POLLIN, 0};
      if (poll(&pfd, 1, 50) <= 0) continue;
      ssize_t got = recv(fd, b, sizeof b, 0);
      if (got <= 0) return true;
    }
    return false;
  }

  void close_now() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  ~client_t() { close_now(); }
};

inline std::string pattern_block(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; i++) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>(x >> 24);
  }
  return s;
}

}  // namespace server_test
