// The outgoing wait list: first in first out across threads, and a pop on an
// empty list that leaves its out-arguments alone.
#include "agent/waitlist.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <thread>
#include <vector>

namespace {

class Waitlist : public ::testing::Test {
 protected:
  void TearDown() override {
    char* buf;
    int size;
    while (pop_data_from_waitlist(&buf, &size) == 0) free(buf);
  }
};

char* tagged(int producer, int seq) {
  int* p = static_cast<int*>(malloc(2 * sizeof(int)));
  p[0] = producer;
  p[1] = seq;
  return reinterpret_cast<char*>(p);
}

TEST_F(Waitlist, PopOnEmptyLeavesOutputsUntouched) {
  char marker = 0;
  char* buf = &marker;
  int size = 12345;
  EXPECT_EQ(-1, pop_data_from_waitlist(&buf, &size));
  EXPECT_EQ(&marker, buf);
  EXPECT_EQ(12345, size);
  EXPECT_EQ(0u, get_waitlist_size());
}

TEST_F(Waitlist, EntriesLeaveInTheOrderTheyCameFromWhicheverThread) {
  // Producers take turns, so the order of appends is known across threads.
  for (int producer = 0; producer < 3; ++producer) {
    std::thread([producer] {
      for (int i = 0; i < 4; ++i) add_to_send_waitlist(tagged(producer, i), 8);
    }).join();
  }
  EXPECT_EQ(0, add_to_send_waitlist(nullptr, 0));  // a null buffer is still an entry
  EXPECT_EQ(13u, get_waitlist_size());
  for (int producer = 0; producer < 3; ++producer) {
    for (int i = 0; i < 4; ++i) {
      char* buf = nullptr;
      int size = 0;
      ASSERT_EQ(0, pop_data_from_waitlist(&buf, &size));
      const int* p = reinterpret_cast<const int*>(buf);
      EXPECT_EQ(producer, p[0]);
      EXPECT_EQ(i, p[1]);
      EXPECT_EQ(8, size);
      free(buf);
    }
  }
  char* buf = reinterpret_cast<char*>(1);
  int size = -1;
  ASSERT_EQ(0, pop_data_from_waitlist(&buf, &size));
  EXPECT_EQ(nullptr, buf);
  EXPECT_EQ(0, size);
  EXPECT_EQ(0u, get_waitlist_size());
}

// Concurrent producers while the consumer drains: nothing lost, nothing
// doubled, and each producer's entries keep their relative order.
TEST_F(Waitlist, ConcurrentAppendsAndDrainLoseNothing) {
  constexpr int kProducers = 4;
  constexpr int kEach = 2000;
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([p] {
      for (int i = 0; i < kEach; ++i) add_to_send_waitlist(tagged(p, i), 8);
    });
  }
  std::vector<int> next(kProducers, 0);
  int taken = 0;
  while (taken < kProducers * kEach) {
    char* buf;
    int size;
    if (pop_data_from_waitlist(&buf, &size) != 0) {
      std::this_thread::yield();
      continue;
    }
    const int* e = reinterpret_cast<const int*>(buf);
    ASSERT_GE(e[0], 0);
    ASSERT_LT(e[0], kProducers);
    EXPECT_EQ(next[e[0]], e[1]);
    next[e[0]] = e[1] + 1;
    free(buf);
    ++taken;
  }
  for (std::thread& t : producers) t.join();
  EXPECT_EQ(0u, get_waitlist_size());
}

}  // namespace
