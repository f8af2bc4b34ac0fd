// send_message: one framed write with a request of its own, which copies or
// takes over the payload and releases everything once the write is done.
#include <stdlib.h>
#include <string.h>

#include "proto/uv_msg_framing.h"

namespace {

void send_message_completed(uv_write_t* w, int status) {
  // The write request is the first member of the send_message_t.
  send_message_t* r = reinterpret_cast<send_message_t*>(w);
  if (r->msg_send_cb != nullptr) r->msg_send_cb(r, status);
  if (r->free_fn != nullptr) r->free_fn(r->msg);
  free(r);
}

}  // namespace

void* memdup(const void* src, int size) {
  if (src == nullptr || size <= 0) return nullptr;
  void* p = malloc(static_cast<size_t>(size));
  if (p != nullptr) memcpy(p, src, static_cast<size_t>(size));
  return p;
}

int send_message(uv_msg_t* socket, char* msg, int size, uv_free_fn free_fn,
                 send_message_cb send_cb, void* user_data) {
  const bool copy = free_fn == SEND_MESSAGE_COPY;
  send_message_t* r = static_cast<send_message_t*>(malloc(sizeof(send_message_t)));
  if (r == nullptr) {
    // A payload handed over with an owning free_fn is ours from the call on.
    if (!copy && free_fn != nullptr && msg != nullptr) free_fn(msg);
    return UV_ENOMEM;
  }
  void* payload = msg;
  if (copy) {
    payload = memdup(msg, size);
    if (payload == nullptr) {
      free(r);
      return UV_ENOMEM;
    }
    free_fn = free;
  }
  r->msg = payload;
  r->free_fn = free_fn;
  r->msg_send_cb = send_cb;
  r->data = user_data;
  int rc = uv_msg_send(&r->req, socket, payload, size, send_message_completed);
  if (rc != 0) {
    // Refused at once: the completion step will never run, so release here
    // what it would have released.
    if (free_fn != nullptr && payload != nullptr) free_fn(payload);
    free(r);
  }
  return rc;
}
