/* The floor for a run against an X server: connect, then take the three
 * snapshots of the primary output that one run needs, and nothing else. */
#include <stdlib.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>

int main(void) {
  int screen_number = 0;
  xcb_connection_t *c = xcb_connect(NULL, &screen_number);
  if (xcb_connection_has_error(c)) return 1;
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (; screen_number > 0; --screen_number) xcb_screen_next(&it);
  xcb_window_t root = it.data->root;
  for (int walk = 0; walk < 3; ++walk) {
    xcb_randr_get_screen_resources_current_cookie_t rc =
        xcb_randr_get_screen_resources_current(c, root);
    xcb_randr_get_output_primary_cookie_t pc =
        xcb_randr_get_output_primary(c, root);
    xcb_randr_get_screen_resources_current_reply_t *res =
        xcb_randr_get_screen_resources_current_reply(c, rc, NULL);
    xcb_randr_get_output_primary_reply_t *primary =
        xcb_randr_get_output_primary_reply(c, pc, NULL);
    if (res == NULL || primary == NULL) return 1;
    free(xcb_randr_get_output_info_reply(
        c, xcb_randr_get_output_info(c, primary->output, res->config_timestamp),
        NULL));
    free(res);
    free(primary);
  }
  xcb_disconnect(c);
  return 0;
}
