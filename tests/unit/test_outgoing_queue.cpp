#include "agent/outgoing_queue.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "agent/connection_pool.h"
#include "agent/waitlist.h"
#include "proto/block_message_decode.h"

namespace {

size_t wait_for_waitlist_size(size_t n) {
  for (int i = 0; i < 1000 && get_waitlist_size() != n; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return get_waitlist_size();
}

}  // namespace

TEST(OutgoingQueue, HandOverCopiesBeforeReturning) {
  std::string bytes(300000, '\0');
  for (size_t i = 0; i < bytes.size(); i++) bytes[i] = static_cast<char>(i * 7);
  std::string original = bytes;
  std::vector<char> buf(bytes.begin(), bytes.end());
  EXPECT_EQ(0, send_block_to_queue_with_copy_in_new_thread(nullptr, 4, 8388608, buf.data(),
                                                           static_cast<int>(buf.size())));
  std::fill(buf.begin(), buf.end(), 'Z');  // the caller may reuse its buffer at once
  ASSERT_EQ(1u, wait_for_waitlist_size(1));

  char* msg = nullptr;
  int size = 0;
  ASSERT_EQ(0, pop_data_from_waitlist(&msg, &size));
  ZSTD_DCtx* dctx = ZSTD_createDCtx();
  std::vector<unsigned char> content(kMaxBlockContent);
  block_message_t m;
  std::string error;
  ASSERT_EQ(0, decode_block_message(dctx, msg, static_cast<size_t>(size), content.data(),
                                    content.size(), &m, &error))
      << error;
  EXPECT_EQ(4, m.devno);
  EXPECT_EQ(8388608, m.offset);
  EXPECT_TRUE(std::string(reinterpret_cast<const char*>(m.data), static_cast<size_t>(m.length)) ==
              original);
  ZSTD_freeDCtx(dctx);
  free(msg);
}

// With no stream up the sender used to drop the oldest message.
TEST(OutgoingQueue, EmptyPoolKeepsEveryMessageInOrder) {
  ASSERT_TRUE(sockets.empty());
  const char* names[] = {"one", "two", "three"};
  for (const char* n : names) add_to_send_waitlist(strdup(n), static_cast<int>(strlen(n) + 1));
  send_data_to_network_from_queue(nullptr);
  send_data_to_network_from_queue(nullptr);
  ASSERT_EQ(3u, get_waitlist_size());
  for (const char* n : names) {
    char* buf = nullptr;
    int size = 0;
    ASSERT_EQ(0, pop_data_from_waitlist(&buf, &size));
    EXPECT_STREQ(n, buf);
    free(buf);
  }
}

TEST(OutgoingQueue, EmptyQueueWakeUpDoesNothing) {
  send_data_to_network_from_queue(nullptr);
  EXPECT_EQ(0u, get_waitlist_size());
}
