// Ledger queries: every statement the agent runs on T_BLOCK, with values bound
// as parameters (an address holding a quote cannot alter a statement). Worker
// thread and loop thread both call these; each holds sqlite_lock while it runs.
#pragma once

#include <stdint.h>

#include <tuple>
#include <vector>

// Judged by the newest row (highest ID) of `remote_ip` at (devno, offset, size):
// 1: that row is acknowledged and has this hash; 2: acknowledged rows exist
// but the newest differs or is not acknowledged; 0: no acknowledged row;
// -1: a query failed.
int block_is_sent_and_ack(int devno, int64_t offset, int size, const char* hash);

// Inserts an unacknowledged row for `remote_ip`; on success stores its ID in
// *id and returns 0; -1 when the INSERT failed (*id untouched).
int insert_block_row(int devno, int64_t offset, int size, const char* hash, int* id);

// Marks every row of this server at the position acknowledged. 0 or -1.
int ack_block_rows(int devno, int64_t offset, int size);

// (SIZE, OFFSET, ID) of this server's unacknowledged rows on `devno`; empty on failure.
std::vector<std::tuple<int64_t, int64_t, int64_t>> get_unack_block(int devno, const char* remote_ip);

// Over every row of the file, whatever the server. A sum over no rows is 0;
// -1 when the query failed (the error line is logged).
int64_t get_sent_block_size();  // SUM(SIZE) of acknowledged rows, or -1
int64_t count_unack_block();    // SUM(SIZE) of unacknowledged rows, or -1

int delete_other_servers_rows(const char* remote_ip);  // 0 or -1
int delete_all_rows();                                  // 0 or -1
// Deletes every row of this server at positions that hold an unacknowledged row.
int forget_unacked_positions(const char* remote_ip);    // 0 or -1

// 1 when T_BLOCK exists, 0 when it does not (no transfer ran yet), -1 on failure.
int ledger_has_table();
