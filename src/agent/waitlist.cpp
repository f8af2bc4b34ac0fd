#include "agent/waitlist.h"

std::queue<task> taskq;    // entries; appended by any thread, drained by the loop thread
std::mutex queue_rw_lock;  // held only for one append, removal or size query

int add_to_send_waitlist(char* buf, int size) {
  std::lock_guard<std::mutex> guard(queue_rw_lock);
  taskq.push(task{buf, size});
  return 0;
}

int pop_data_from_waitlist(char** buf, int* size) {
  std::lock_guard<std::mutex> guard(queue_rw_lock);
  if (taskq.empty()) return -1;
  const task& t = taskq.front();
  *buf = t.buf;
  *size = t.size;
  taskq.pop();
  return 0;
}

size_t get_waitlist_size() {
  std::lock_guard<std::mutex> guard(queue_rw_lock);
  return taskq.size();
}
