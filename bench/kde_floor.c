/* The floor for a run against KDE's KWin: connect, bind every output device
 * and the output order, and read their state three times (once per walk of
 * a run), and nothing else. */
#include <string.h>
#include <wayland-client.h>

#include "kde-output-device-v2-client-protocol.h"
#include "kde-output-order-v1-client-protocol.h"

static void global(void *data, struct wl_registry *registry, uint32_t name,
                   const char *interface, uint32_t version) {
  (void)data;
  if (strcmp(interface, kde_output_device_v2_interface.name) == 0) {
    wl_registry_bind(registry, name, &kde_output_device_v2_interface, version < 2 ? version : 2);
  } else if (strcmp(interface, kde_output_order_v1_interface.name) == 0) {
    wl_registry_bind(registry, name, &kde_output_order_v1_interface, 1);
  }
}

static void global_remove(void *data, struct wl_registry *registry, uint32_t name) {
  (void)data;
  (void)registry;
  (void)name;
}

static const struct wl_registry_listener registry_listener = {global, global_remove};

int main(void) {
  struct wl_display *display = wl_display_connect(NULL);
  if (display == NULL) return 1;
  struct wl_registry *registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &registry_listener, NULL);
  for (int read = 0; read < 4; ++read) { /* the globals, then three reads */
    if (wl_display_roundtrip(display) < 0) return 1;
  }
  wl_display_disconnect(display);
  return 0;
}
