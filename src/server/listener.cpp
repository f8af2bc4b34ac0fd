#include "server/listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include "server/connection.h"
#include "server/server_log.h"

namespace {

constexpr int kBacklog = 511;

void on_listener_closed(uv_handle_t* handle) { delete reinterpret_cast<uv_tcp_t*>(handle); }

std::string addr_text(const listen_addr_t& a) {
  bool v6 = a.host.find(':') != std::string::npos;
  return (v6 ? "[" + a.host + "]" : a.host) + ":" + std::to_string(a.port);
}

int port_of(const uv_tcp_t* tcp) {
  struct sockaddr_storage ss;
  int len = sizeof ss;
  if (uv_tcp_getsockname(tcp, reinterpret_cast<struct sockaddr*>(&ss), &len) != 0) return -1;
  if (ss.ss_family == AF_INET) return ntohs(reinterpret_cast<struct sockaddr_in*>(&ss)->sin_port);
  return ntohs(reinterpret_cast<struct sockaddr_in6*>(&ss)->sin6_port);
}

int open_one(server_t* srv, const listen_addr_t& a, int* uv_error) {
  bool v6 = a.host.find(':') != std::string::npos;
  struct sockaddr_storage ss;
  int rc = v6 ? uv_ip6_addr(a.host.c_str(), a.port, reinterpret_cast<struct sockaddr_in6*>(&ss))
              : uv_ip4_addr(a.host.c_str(), a.port, reinterpret_cast<struct sockaddr_in*>(&ss));
  if (rc != 0) {
    *uv_error = rc;
    return -1;
  }
  uv_tcp_t* tcp = new uv_tcp_t;
  rc = uv_tcp_init(srv->loop, tcp);
  if (rc != 0) {
    delete tcp;
    *uv_error = rc;
    return -1;
  }
  tcp->data = srv;
  rc = uv_tcp_bind(tcp, reinterpret_cast<struct sockaddr*>(&ss), v6 ? UV_TCP_IPV6ONLY : 0);
  if (rc == 0) rc = uv_listen(reinterpret_cast<uv_stream_t*>(tcp), kBacklog, on_new_connection);
  if (rc != 0) {
    uv_close(reinterpret_cast<uv_handle_t*>(tcp), on_listener_closed);
    *uv_error = rc;
    return -1;
  }
  srv->listeners.push_back(tcp);
  return 0;
}

}  // namespace

int open_listeners(server_t* srv, std::string* error) {
  std::vector<listen_addr_t> addrs = srv->opts.listen;
  bool defaults = addrs.empty();
  if (defaults) addrs = {{"0.0.0.0", kServerDefaultPort}, {"::", kServerDefaultPort}};
  for (const auto& a : addrs) {
    int rc = 0;
    if (open_one(srv, a, &rc) == 0) {
      listen_addr_t bound = a;
      bound.port = port_of(srv->listeners.back());
      log_info("listening on %s", addr_text(bound).c_str());
      continue;
    }
    if (defaults && a.host == "::" && (rc == UV_EAFNOSUPPORT || rc == UV_EADDRNOTAVAIL)) {
      log_info("no IPv6 on this host (%s); listening on IPv4 only", uv_strerror(rc));
      continue;
    }
    *error = "cannot listen on " + addr_text(a) + ": " + uv_strerror(rc);
    close_listeners(srv);
    return -1;
  }
  return 0;
}

void close_listeners(server_t* srv) {
  for (uv_tcp_t* tcp : srv->listeners) uv_close(reinterpret_cast<uv_handle_t*>(tcp), on_listener_closed);
  srv->listeners.clear();
}

int listener_port(const server_t* srv) {
  return srv->listeners.empty() ? -1 : port_of(srv->listeners[0]);
}
