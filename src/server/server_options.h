// The server's command line: where images go, which addresses to listen on,
// limits, and the fault-injection switches the test suites use. Parsed once
// on the main thread before the loop starts; read-only afterwards.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

constexpr int kServerDefaultPort = 3389;

// One address to listen on.
struct listen_addr_t {
  std::string host;  // literal IPv4 or IPv6 address ("0.0.0.0", "::")
  int port;          // 0 asks the system for a free port
};

// Faults a test can switch on; every one is off (0 / -1) by default.
struct fault_options_t {
  int close_after_messages = 0;   // close a connection after it delivered this many messages
  int drop_ack_every = 0;         // never send the acknowledgement of every Nth block
  int ack_delay_ms = 0;           // hold each acknowledgement this long before sending it
  int64_t binlog_size = -1;       // report this binlog size instead of the real one
};

struct server_options_t {
  std::string dir;                       // root of the per-agent directories
  std::vector<listen_addr_t> listen;     // empty: every IPv4 and IPv6 address, port 3389
  std::string log_file;                  // empty: stderr
  int binlog_interval_ms = 30000;        // period of the binlog size report
  int stats_every_blocks = 1000;         // a totals line after this many blocks
  int max_connections = 1024;            // further connections are closed at once
  int max_inflight = 4;                  // messages a connection may have in work before reading pauses
  int max_pending_replies = 256;         // unsent replies a connection may have before reading pauses
  int64_t memory_budget = 1024LL << 20;  // bytes for receive buffers and queued messages
  fault_options_t fault;
};

// Parses argv. Returns 0 with `opts` filled, 1 when --help was asked (usage
// printed to stdout), -1 with a one-line reason in `error` otherwise.
int parse_server_options(int argc, char** argv, server_options_t* opts, std::string* error);

// Parses "ADDR:PORT", "[V6ADDR]:PORT". Returns 0 or -1.
int parse_listen_addr(const std::string& text, listen_addr_t* out);

// The --help text.
const char* server_usage();
