// Running totals of the server and the log lines that report them: one
// key=value line every N blocks and a summary at exit. Loop thread only.
#pragma once

#include <stdint.h>

#include "server/server_state.h"

// Counts one applied block; logs the totals line every stats_every_blocks.
void stats_block_applied(server_t* srv, int length, bool zero);

// Logs "summary ..." with the totals since start.
void stats_log_summary(server_t* srv);
