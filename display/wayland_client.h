// What the services that talk to a Wayland compositor share: connecting to
// the compositor the session names, reading what it has sent, and
// handling events by opcode.
#pragma once

#include <poll.h>
#include <wayland-client.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

// An event's opcode is its place in the interface's listener.
#define EVENT_OPCODE(listener, event) \
  (offsetof(listener, event) / sizeof(void (*)()))

template <typename... Args>
void IgnoreEvent(void * /*data*/, Args... /*args*/) {}

// The state a dispatcher was added with.
template <typename T>
T &StateOf(void *proxy) {
  return *static_cast<T *>(
      wl_proxy_get_user_data(static_cast<wl_proxy *>(proxy)));
}

// Protocol errors would otherwise be printed on stderr by libwayland.
inline void SilentLog(const char * /*format*/, va_list /*args*/) {}

// The compositor the session names, or null; one connection for every
// service that asks. A default socket is never guessed, so a login over
// SSH does not answer for somebody's desktop.
inline wl_display *SessionCompositor() {
  static wl_display *const display = []() -> wl_display * {
    if (std::getenv("WAYLAND_SOCKET") == nullptr &&
        std::getenv("WAYLAND_DISPLAY") == nullptr) {
      return nullptr;
    }
    wl_log_set_handler_client(SilentLog);
    return wl_display_connect(nullptr);
  }();
  return display;
}

// A compositor sends every change as it happens, so what has arrived is
// the current state: this reads and handles it without waiting. False once
// the connection is lost.
inline bool ReadArrivedEvents(wl_display *display) {
  while (wl_display_prepare_read(display) != 0) {
    if (wl_display_dispatch_pending(display) < 0) {
      return false;
    }
  }
  wl_display_flush(display);
  pollfd socket{wl_display_get_fd(display), POLLIN, 0};
  if (poll(&socket, 1, 0) > 0) {
    if (wl_display_read_events(display) < 0) {
      return false;
    }
  } else {
    wl_display_cancel_read(display);
  }
  return wl_display_dispatch_pending(display) >= 0;
}

// A refresh rate in millihertz, rounded to the nearest hertz (59,940 ->
// 60); 0 when the compositor gives none.
inline std::uint32_t HertzFromMilli(std::int32_t milliHz) {
  return milliHz <= 0 ? 0 : static_cast<std::uint32_t>((milliHz + 500) / 1000);
}
