// The server's log: one line per event on stderr, or appended to a file the
// operator names. Same line layout as the agent's log so both read alike.
// Any thread may log once server_log_open has run (a mutex orders the lines).
#pragma once

#include <stdio.h>

enum server_log_level { SRV_INFO = 3, SRV_ERROR = 5 };

// Directs the log to `path` (appended) or, when `path` is null or empty, to
// stderr. Returns 0, or -1 when the file cannot be opened (stderr is kept).
int server_log_open(const char* path);

// Closes a log file opened by server_log_open and goes back to stderr.
void server_log_close();

// Writes "<tag> <YYYY/MM/DD hh:mm:ss> <func>:<line> -| <message>\n" and flushes.
void server_write_log(int level, const char* func, int line, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

#define log_info(...) server_write_log(SRV_INFO, __func__, __LINE__, __VA_ARGS__)
#define log_error(...) server_write_log(SRV_ERROR, __func__, __LINE__, __VA_ARGS__)
