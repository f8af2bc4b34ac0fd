// Runs system tools as child processes (posix_spawn, pipes, waitpid; no shell).
// A name without "/" is searched along PATH; a name with "/" is relative to the
// current working directory. The child inherits only its standard streams.
// Any thread may run one; the call blocks that thread until the child exits.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

// Result of a run: 0..255 the exit status, 128 + N when signal N ended the
// child, a negative errno when it could not be started (or waited for).

// Captured run: stdin is an empty pipe, stdout is read to its end into a
// malloc'ed NUL-terminated buffer (`output`, caller frees; null and size 0 when
// the child printed nothing); stderr is shared. `args` is NULL-terminated.
int runcmd(const char* const* args, char*& output, size_t& size);

// Pass-through run: the child shares the agent's stdin, stdout and stderr.
int run_passthrough(const char* const* args);

// Text for a negative run result ("No such file or directory").
const char* run_strerror(int result);

// Cuts `s` at every `delimiter` and every "\n"; consecutive separators give
// empty tokens, a trailing separator a final empty token.
std::vector<std::string> split(std::string s, std::string delimiter);
