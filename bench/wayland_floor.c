/* The floor for a run against a wlroots compositor: connect, bind the
 * output manager, and read its state three times (once per walk of a
 * run), up to the manager's `done`, and nothing else. */
#include <string.h>
#include <wayland-client.h>

#include "wlr-output-management-unstable-v1-client-protocol.h"

static struct zwlr_output_manager_v1 *manager;
static int done;

static void global(void *data, struct wl_registry *registry, uint32_t name,
                   const char *interface, uint32_t version) {
  (void)data;
  (void)version;
  if (strcmp(interface, zwlr_output_manager_v1_interface.name) == 0) {
    manager = wl_registry_bind(registry, name, &zwlr_output_manager_v1_interface, 2);
  }
}

static void global_remove(void *data, struct wl_registry *registry, uint32_t name) {
  (void)data;
  (void)registry;
  (void)name;
}

static void head(void *data, struct zwlr_output_manager_v1 *m,
                 struct zwlr_output_head_v1 *h) {
  (void)data;
  (void)m;
  (void)h;
}

static void manager_done(void *data, struct zwlr_output_manager_v1 *m, uint32_t serial) {
  (void)data;
  (void)m;
  (void)serial;
  done = 1;
}

static void finished(void *data, struct zwlr_output_manager_v1 *m) {
  (void)data;
  (void)m;
}

static const struct wl_registry_listener registry_listener = {global, global_remove};
static const struct zwlr_output_manager_v1_listener manager_listener = {head, manager_done,
                                                                        finished};

int main(void) {
  struct wl_display *display = wl_display_connect(NULL);
  if (display == NULL) return 1;
  struct wl_registry *registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &registry_listener, NULL);
  if (wl_display_roundtrip(display) < 0 || manager == NULL) return 1;
  zwlr_output_manager_v1_add_listener(manager, &manager_listener, NULL);
  for (int walk = 0; walk < 3; ++walk) {
    if (wl_display_roundtrip(display) < 0 || !done) return 1;
  }
  wl_display_disconnect(display);
  return 0;
}
