// Bodies of the one-shot commands that a controlling tool runs. Each prints
// its result on standard output and returns the process's exit status; the
// dispatcher (entry.h) ends the process with it. Main thread only.
#pragma once

int check_func();                   // build-tool check: 0, or ends the process with 2..5
int env_check_func();               // snapshot module ready: 0, else 1
int begin_session_func();           // nothing to do: 0
int end_session_func();             // clears every ledger row: 0, or 1 when rows remain
int query_func();                   // prints 0
int sentbytes_func();               // prints the acknowledged bytes, or -1
int query_disk_func();              // prints each disk's whole-GiB size, one per line
int query_disk_total_bytes_func();  // prints the sum of the whole-GiB sizes, in bytes
