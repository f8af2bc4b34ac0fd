// The log writer: one-line records in a file named after the day the process
// started ("<dir>/YYYYMMDD.log"), flushed line by line so an immediate exit
// loses nothing. Any thread may call write_log once init_logger succeeded.
#pragma once

enum slog_level { S_TRACE = 1, S_DEBUG = 2, S_INFO = 3, S_WARN = 4, S_ERROR = 5 };

// Opens the log file; creates `dir` (one level, mode 0744) when missing.
// Returns 1 when the log is open (also when it already was: a second call
// changes neither file nor threshold), 0 when the directory or file fails.
int init_logger(const char* dir, int level);

// Appends "<tag> <YYYY/MM/DD hh:mm:ss> <func>:<line> -| <message>\n".
// Records below the threshold (compared unsigned) are dropped. Message and
// line are each cut to 4094 characters. Writes nothing before init_logger.
void write_log(int level, int trace, const char* func, int line, const char* fmt, ...)
    __attribute__((format(printf, 5, 6)));

// The tag of a level, seven characters ("[INFO ]"; "[     ]" for unknown levels).
const char* _get_level_str(int level);

// Path of the open log file ("" before init_logger); for tests and tools.
const char* slog_file_path();

// Every log line of the agent goes through these, naming the caller.
#define log_info(...) write_log(S_INFO, 1, __func__, __LINE__, __VA_ARGS__)
#define log_error(...) write_log(S_ERROR, 1, __func__, __LINE__, __VA_ARGS__)
