// blockferry-server: parses the command line and runs the server until
// SIGINT or SIGTERM.
#include <signal.h>
#include <stdio.h>

#include <string>

#include "server/server.h"
#include "server/server_log.h"

int main(int argc, char** argv) {
  server_options_t opts;
  std::string error;
  int rc = parse_server_options(argc, argv, &opts, &error);
  if (rc == 1) return 0;
  if (rc != 0) {
    fprintf(stderr, "blockferry-server: %s\n", error.c_str());
    return 2;
  }
  if (server_log_open(opts.log_file.c_str()) != 0) {
    fprintf(stderr, "blockferry-server: cannot open log file %s\n", opts.log_file.c_str());
    return 2;
  }
  // A peer that vanishes must not kill us through a write.
  signal(SIGPIPE, SIG_IGN);

  uv_loop_t* loop = uv_default_loop();
  server_t* srv = server_new();
  if (server_start(srv, loop, opts, true, &error) != 0) {
    log_error("cannot start: %s", error.c_str());
    fprintf(stderr, "blockferry-server: %s\n", error.c_str());
    uv_run(loop, UV_RUN_DEFAULT);
    server_free(srv);
    return 1;
  }
  uv_run(loop, UV_RUN_DEFAULT);
  int status = server_exit_status(srv);
  log_info("exit status %d", status);
  server_free(srv);
  uv_loop_close(loop);
  server_log_close();
  return status;
}
