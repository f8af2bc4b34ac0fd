// Constants both ends of the wire agree on.
#pragma once

#include <stdint.h>

namespace bf_proto {
constexpr int kBlockSize = 8388608;                    // largest block a message carries (8 MiB)
constexpr int64_t kBinlogLimit = 10737418240LL;        // agent stops above this binlog size
constexpr int kAgentMaxFrame = 65536;                  // agent receives only 36-byte replies
}  // namespace bf_proto
