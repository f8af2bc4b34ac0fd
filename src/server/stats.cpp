#include "server/stats.h"

#include <inttypes.h>

#include "server/server_log.h"

namespace {

// Rate since the first block: idle time before a transfer does not count.
double rate_mb_per_s(const server_stats_t& s, uint64_t now_ms, double* seconds) {
  *seconds = s.first_block_ms ? (now_ms - s.first_block_ms) / 1000.0 : 0.0;
  if (*seconds <= 0.0) return 0.0;
  return s.bytes / 1048576.0 / *seconds;
}

}  // namespace

void stats_block_applied(server_t* srv, int length, bool zero) {
  server_stats_t& s = srv->stats;
  uv_update_time(srv->loop);
  uint64_t now = uv_now(srv->loop);
  if (s.first_block_ms == 0) s.first_block_ms = now ? now : 1;
  s.blocks++;
  s.bytes += static_cast<uint64_t>(length);
  if (zero) s.zero_blocks++;
  if (s.blocks % static_cast<uint64_t>(srv->opts.stats_every_blocks) != 0) return;
  double seconds;
  double rate = rate_mb_per_s(s, now, &seconds);
  log_info("stats blocks=%" PRIu64 " bytes=%" PRIu64 " zero_blocks=%" PRIu64
           " seconds=%.1f mb_per_s=%.1f connections=%zu",
           s.blocks, s.bytes, s.zero_blocks, seconds, rate, srv->conns.size());
}

void stats_log_summary(server_t* srv) {
  const server_stats_t& s = srv->stats;
  uv_update_time(srv->loop);
  double seconds;
  double rate = rate_mb_per_s(s, uv_now(srv->loop), &seconds);
  log_info("summary blocks=%" PRIu64 " bytes=%" PRIu64 " zero_blocks=%" PRIu64
           " acks_sent=%" PRIu64 " acks_dropped=%" PRIu64 " connections=%" PRIu64
           " rejected=%" PRIu64 " agents=%zu seconds=%.1f mb_per_s=%.1f",
           s.blocks, s.bytes, s.zero_blocks, s.acks_sent, s.acks_dropped, s.connections,
           s.rejected, srv->agents.size(), seconds, rate);
}
