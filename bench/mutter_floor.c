/* The floor for a run against GNOME's Mutter: connect to the session bus
 * and read the display configuration's state three times (once per walk
 * of a run), and nothing else. */
#include <systemd/sd-bus.h>

int main(void) {
  sd_bus *bus = NULL;
  if (sd_bus_open_user(&bus) < 0) return 1;
  for (int walk = 0; walk < 3; ++walk) {
    sd_bus_message *reply = NULL;
    if (sd_bus_call_method(bus, "org.gnome.Mutter.DisplayConfig",
                           "/org/gnome/Mutter/DisplayConfig",
                           "org.gnome.Mutter.DisplayConfig", "GetCurrentState", NULL,
                           &reply, "") < 0) {
      return 1;
    }
    sd_bus_message_unref(reply);
  }
  sd_bus_flush_close_unref(bus);
  return 0;
}
