// Shared fixture of the transfer tests: a fresh ledger in a temporary
// directory, this run's server address, an empty wait list and an empty
// unacknowledged-block manager; everything is put back afterwards.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "agent/agent_state.h"
#include "agent/blockman.h"
#include "agent/ledger.h"
#include "agent/outgoing_queue.h"
#include "agent/run_failures.h"
#include "agent/sqlaccess.h"
#include "agent/waitlist.h"

class TransferFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    // A death-test child re-runs SetUp: it reuses its parent's directory
    // (passed down in the environment), which only the parent removes.
    const char* inherited = getenv("BF_TRANSFER_TEST_DIR");
    if (inherited != nullptr && !GTEST_FLAG_GET(internal_run_death_test).empty()) {
      dir_ = inherited;
      owns_dir_ = false;
    } else {
      char tmpl[] = "/tmp/bf_transfer_XXXXXX";
      ASSERT_NE(nullptr, mkdtemp(tmpl));
      dir_ = std::string(tmpl) + "/";
      setenv("BF_TRANSFER_TEST_DIR", dir_.c_str(), 1);
    }
    ASSERT_EQ(0, ensure_database(dir_.c_str()));
    create_database_if_not_exist();
    remote_ip = "10.9.8.7";
    remote_server_ip = remote_ip;
    clear_failed_ranges();
  }

  void TearDown() override {
    // Block threads may still be appending: wait for them to finish.
    for (int i = 0; i < 2000 && block_threads_in_flight() > 0; i++)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(0, block_threads_in_flight());
    drain_waitlist();
    for (auto& entry : unacker->blockchain) free_block(entry.second);
    unacker->blockchain.clear();
    unacker->last_send_time.clear();
    clear_failed_ranges();
    close_database();
    if (!owns_dir_) return;
    unsetenv("BF_TRANSFER_TEST_DIR");
    std::string cmd = "rm -rf '" + dir_ + "'";
    if (system(cmd.c_str()) != 0) ADD_FAILURE() << "could not remove " << dir_;
  }

  // Waits up to `ms` until the wait list holds `n` entries; returns its size.
  static size_t wait_for_waitlist_size(size_t n, int ms = 5000) {
    for (int waited = 0; waited < ms; waited += 5) {
      if (get_waitlist_size() == n) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return get_waitlist_size();
  }

  static size_t drain_waitlist() {
    size_t n = 0;
    char* buf = nullptr;
    int size = 0;
    while (pop_data_from_waitlist(&buf, &size) == 0) {
      free(buf);
      n++;
    }
    return n;
  }

  int insert_row(int devno, int64_t offset, int size, const char* hash = "1") {
    int id = -1;
    EXPECT_EQ(0, insert_block_row(devno, offset, size, hash, &id));
    return id;
  }

  std::string dir_;
  bool owns_dir_ = true;
};
