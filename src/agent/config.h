// The agent's three on/off settings. Defaults live in agent_state.cpp;
// readStrJson (confreader.h) may change them once, before any thread starts,
// after which every thread reads them without a lock.
#pragma once

extern bool tail_send_enabled;     // also send the part of a disk after its last volume
extern bool skip_offline_enabled;  // leave out disks marked offline
extern bool allow_skip_snap;       // read volumes directly, never through a snapshot
