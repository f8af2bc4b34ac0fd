// Transfer mode after the command line: ledger set-up, ten connections, the
// planner on the worker pool, the supervisor timer and the loop. Main thread.
#pragma once

// Runs start-up steps after parse_args; returns the loop's result.
int start_transfer();
