// The outgoing wait list: every message that leaves through the queue waits
// here, first in first out, until the loop thread's sender takes it out.
// Any thread may append; only the loop thread removes. queue_rw_lock is a
// leaf: nothing else is locked while it is held (mLock may be held outside it).
#pragma once

#include <stddef.h>

#include <mutex>
#include <queue>

// One outgoing message. Entries are untyped: block messages and control
// commands look alike here.
struct task {
  char* buf;  // malloc block; owned by the list while queued, then by the taker
  int size;   // bytes at buf
};

extern std::queue<task> taskq;     // the wait list; written under queue_rw_lock by any thread
extern std::mutex queue_rw_lock;   // guards taskq only

// Appends {buf, size} at the back and takes over buf (also a null one). Always 0.
int add_to_send_waitlist(char* buf, int size);

// Moves the oldest entry into *buf and *size; 0. On an empty list returns -1
// and leaves both untouched.
int pop_data_from_waitlist(char** buf, int* size);

// Number of queued entries.
size_t get_waitlist_size();
