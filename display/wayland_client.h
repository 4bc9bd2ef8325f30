// What the services that talk to a Wayland compositor share: connecting to
// the compositor the session names, reading what it has sent, and
// handling events by opcode.
#pragma once

#include <poll.h>
#include <wayland-client.h>

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

// An event's opcode is its place in the interface's listener.
#define EVENT_OPCODE(listener, event) \
  (offsetof(listener, event) / sizeof(void (*)()))

// The state a dispatcher was added with.
template <typename T>
T &StateOf(void *proxy) {
  return *static_cast<T *>(
      wl_proxy_get_user_data(static_cast<wl_proxy *>(proxy)));
}

// Protocol errors would otherwise be printed on stderr by libwayland.
inline void SilentLog(const char * /*format*/, va_list /*args*/) {}

struct Global {
  std::uint32_t name = 0;
  std::string interface;
  std::uint32_t version = 0;
  bool removed = false;
};

// The compositor the session names, with its globals as they come and go.
struct Session {
  wl_display *display = nullptr;  // null when there is none
  wl_registry *registry = nullptr;
  std::vector<Global> globals;

  // The first global offering `interface`, else null.
  const Global *Find(const wl_interface &interface) const {
    for (const Global &global : globals) {
      if (!global.removed && global.interface == interface.name) {
        return &global;
      }
    }
    return nullptr;
  }

  bool Present(std::uint32_t name) const {
    for (const Global &global : globals) {
      if (global.name == name) {
        return !global.removed;
      }
    }
    return false;
  }

  // Binds a global at the highest version both sides know.
  void *Bind(const Global &global, const wl_interface &interface) const {
    return wl_registry_bind(
        registry, global.name, &interface,
        std::min<std::uint32_t>(global.version,
                                static_cast<std::uint32_t>(interface.version)));
  }
};

inline void SessionGlobal(void *data, wl_registry * /*registry*/,
                          std::uint32_t name, const char *interface,
                          std::uint32_t version) {
  static_cast<Session *>(data)->globals.push_back(
      Global{name, interface, version, false});
}

inline void SessionGlobalRemove(void *data, wl_registry * /*registry*/,
                                std::uint32_t name) {
  for (Global &global : static_cast<Session *>(data)->globals) {
    if (global.name == name) {
      global.removed = true;
    }
  }
}

inline const wl_registry_listener kSessionRegistryListener = {
    SessionGlobal, SessionGlobalRemove};

// The session's compositor, connected and its globals listed once, with
// one round trip, for every service that asks. A default socket is never
// guessed, so a login over SSH does not answer for somebody's desktop.
inline Session &SessionCompositor() {
  static Session session = [] {
    Session connected;
    if (std::getenv("WAYLAND_SOCKET") == nullptr &&
        std::getenv("WAYLAND_DISPLAY") == nullptr) {
      return connected;
    }
    wl_log_set_handler_client(SilentLog);
    connected.display = wl_display_connect(nullptr);
    return connected;
  }();
  if (session.display != nullptr && session.registry == nullptr) {
    session.registry = wl_display_get_registry(session.display);
    wl_registry_add_listener(session.registry, &kSessionRegistryListener,
                             &session);
    if (wl_display_roundtrip(session.display) < 0) {
      session.display = nullptr;
    }
  }
  return session;
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
