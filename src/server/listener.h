// The listening sockets: one per address, IPv6 ones v6-only so that 0.0.0.0
// and :: can share a port. Loop thread only.
#pragma once

#include <string>

#include "server/server_state.h"

// Binds and listens on every configured address (the defaults when none was
// given: 0.0.0.0 and ::, port 3389; a host without IPv6 just skips ::).
// Returns 0, or -1 with `error`; listeners made before the failure are closed.
int open_listeners(server_t* srv, std::string* error);

// Closes every listener.
void close_listeners(server_t* srv);

// Port of the first listener, or -1.
int listener_port(const server_t* srv);
