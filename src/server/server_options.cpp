#include "server/server_options.h"

#include <arpa/inet.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const char kUsage[] =
    "usage: blockferry-server --dir DIR [options]\n"
    "\n"
    "Receives blocks from blockferry agents and writes them into disk images:\n"
    "DIR/<agent address>/disk<N>.img, one file per device number, plus a\n"
    "journal binlog of every block applied. Runs until SIGINT or SIGTERM, then\n"
    "makes every image durable and exits 0.\n"
    "\n"
    "options:\n"
    "  --dir DIR                where the agents' directories are created (required)\n"
    "  --listen ADDR:PORT       address to listen on; repeatable; IPv6 as [ADDR]:PORT;\n"
    "                           port 0 picks a free port (default: 0.0.0.0:3389 and [::]:3389)\n"
    "  --log-file PATH          append the log here instead of stderr\n"
    "  --binlog-interval-ms MS  how often each agent is told its binlog size (default 30000)\n"
    "  --stats-every N          log totals after every N blocks (default 1000)\n"
    "  --max-connections N      connections beyond N are closed at once (default 1024)\n"
    "  --max-inflight N         messages of one connection in work before it stops\n"
    "                           being read (default 4)\n"
    "  --max-pending-replies N  unsent replies of one connection before it stops\n"
    "                           being read (default 256)\n"
    "  --memory-budget-mb MB    receive buffers and queued messages of all connections\n"
    "                           together (default 1024)\n"
    "  --help                   this text\n"
    "\n"
    "test options (fault injection, all off by default):\n"
    "  --fault-close-after N       close each connection after it delivered N messages\n"
    "  --fault-drop-ack-every N    never acknowledge every Nth block (the data is written)\n"
    "  --fault-ack-delay-ms D      send each acknowledgement D ms late\n"
    "  --fault-binlog-size BYTES   report this binlog size instead of the real one\n";

// Whole decimal number in [lo, hi]; nothing else in the text.
bool parse_int(const char* text, int64_t lo, int64_t hi, int64_t* out) {
  if (text == nullptr || *text == '\0') return false;
  errno = 0;
  char* end = nullptr;
  long long v = strtoll(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

}  // namespace

const char* server_usage() { return kUsage; }

int parse_listen_addr(const std::string& text, listen_addr_t* out) {
  std::string host;
  std::string port;
  if (!text.empty() && text[0] == '[') {
    size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') return -1;
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
    unsigned char probe[16];
    if (inet_pton(AF_INET6, host.c_str(), probe) != 1) return -1;
  } else {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos) return -1;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    unsigned char probe[4];
    if (inet_pton(AF_INET, host.c_str(), probe) != 1) return -1;
  }
  int64_t p;
  if (!parse_int(port.c_str(), 0, 65535, &p)) return -1;
  out->host = host;
  out->port = static_cast<int>(p);
  return 0;
}

int parse_server_options(int argc, char** argv, server_options_t* opts, std::string* error) {
  struct int_option_t {
    const char* name;
    int64_t lo, hi;
    int64_t* wide;
    int* narrow;
  };
  int64_t budget_mb = opts->memory_budget >> 20;
  const int_option_t ints[] = {
      {"--binlog-interval-ms", 1, 86400000, nullptr, &opts->binlog_interval_ms},
      {"--stats-every", 1, 1000000000, nullptr, &opts->stats_every_blocks},
      {"--max-connections", 1, 1000000, nullptr, &opts->max_connections},
      {"--max-inflight", 1, 1024, nullptr, &opts->max_inflight},
      {"--max-pending-replies", 1, 1000000, nullptr, &opts->max_pending_replies},
      {"--memory-budget-mb", 64, 1 << 20, &budget_mb, nullptr},
      {"--fault-close-after", 1, 1000000000, nullptr, &opts->fault.close_after_messages},
      {"--fault-drop-ack-every", 1, 1000000000, nullptr, &opts->fault.drop_ack_every},
      {"--fault-ack-delay-ms", 0, 3600000, nullptr, &opts->fault.ack_delay_ms},
      {"--fault-binlog-size", 0, INT64_MAX, &opts->fault.binlog_size, nullptr},
  };

  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      fputs(kUsage, stdout);
      return 1;
    }
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (arg == "--dir" || arg == "--listen" || arg == "--log-file") {
      if (value == nullptr || *value == '\0') {
        *error = arg + " needs a value";
        return -1;
      }
      i++;
      if (arg == "--dir") {
        opts->dir = value;
      } else if (arg == "--log-file") {
        opts->log_file = value;
      } else {
        listen_addr_t a;
        if (parse_listen_addr(value, &a) != 0) {
          *error = std::string("bad --listen address '") + value + "' (want ADDR:PORT or [ADDR]:PORT)";
          return -1;
        }
        opts->listen.push_back(a);
      }
      continue;
    }
    const int_option_t* match = nullptr;
    for (const auto& o : ints)
      if (arg == o.name) match = &o;
    if (match == nullptr) {
      *error = "unknown option '" + arg + "' (see --help)";
      return -1;
    }
    int64_t v;
    if (!parse_int(value, match->lo, match->hi, &v)) {
      *error = arg + " needs a whole number from " + std::to_string(match->lo) + " to " +
               std::to_string(match->hi);
      return -1;
    }
    i++;
    if (match->wide) *match->wide = v;
    if (match->narrow) *match->narrow = static_cast<int>(v);
  }
  opts->memory_budget = budget_mb << 20;
  if (opts->dir.empty()) {
    *error = "--dir DIR is required (see --help)";
    return -1;
  }
  return 0;
}
