#include "agent/support/slog.h"

#include <gtest/gtest.h>

TEST(Slog, LevelTags) {
  struct { int level; const char* tag; } cases[] = {
      {1, "[TRACE]"}, {2, "[DEBUG]"}, {3, "[INFO ]"}, {4, "[WARN ]"},
      {5, "[ERROR]"}, {0, "[     ]"}, {6, "[     ]"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.level);
    EXPECT_STREQ(c.tag, _get_level_str(c.level));
  }
}
