// The supervisor: one repeating 18 s timer on the loop thread that flushes the
// ledger, tops the pool up to ten streams, resends blocks whose acknowledgement
// is overdue, and ends a finished run. Its decisions are plain functions of
// their inputs (the current time among them) so tests need not wait.
#pragma once

#include <stddef.h>
#include <uv.h>

#include <vector>

constexpr int kTickMs = 18000;            // first tick and period
constexpr long kResendAgeSeconds = 1200;  // resend when more than this since the last send
constexpr size_t kResendWaitlistCeiling = 7;  // resend only while at most this many wait

// Connection attempts to start: enough to bring connected plus connecting
// streams up to ten, never more.
int refill_count(int connected, int connecting);

// True when a block last sent at `last_send` is resent at `now` with
// `waitlist_size` messages waiting.
bool resend_due(long now, long last_send, size_t waitlist_size);

enum completion_t { RUN_CONTINUES, RUN_SUCCEEDED, RUN_FAILED };
// The run ends once the planner is done and no block is held: successfully
// only when every range was replicated.
completion_t completion_decision(bool planner_done, int held_blocks, size_t failed_ranges);

// Device numbers to scan for resends: every disk of the inventory.
std::vector<int> resend_devices();

// Resends, at time `now`, the held blocks on `devnos` that resend_due allows;
// restamps them. Returns how many were handed to the queue. Loop thread.
int resend_pass(long now, const std::vector<int>& devnos);

// The tick callback; the handle is not used.
void timer_cb(uv_timer_t* handle);
