// Replies from server to agent: acknowledgements, binlog reports and the
// confirmation that incremental data is durable, each one framed tpl image.
// Fault injection for acknowledgements (drop, delay) lives here. Loop thread.
#pragma once

#include <stdint.h>

#include "server/server_state.h"

// Sends one reply on `c`. Returns 0, or -1 when the connection is closing or
// the write was refused (the connection is then closed).
int conn_send_reply(conn_t* c, int32_t type, int32_t devno, int64_t offset, int32_t size);

// Acknowledges one applied block, subject to the ack faults.
void conn_acknowledge(conn_t* c, int devno, int64_t offset, int length);

// Binlog report to every agent that has a connection open.
void send_binlog_reports(server_t* srv);
