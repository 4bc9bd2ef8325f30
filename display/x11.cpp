// The default display of the X server named by DISPLAY, through RandR.
//
// The default device is the screen's primary output, else the first
// connected output with modes, read in one snapshot per walk. Only query
// requests are sent: nothing on the server changes.
#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

#include "refresh_rate.h"
#include "services.h"

namespace {

struct FreeReply {
  void operator()(void *reply) const { std::free(reply); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeReply>;

struct Mode {
  std::uint32_t width;
  std::uint32_t height;
  std::uint32_t frequency;
  bool interlaced;
};

struct Snapshot {
  std::vector<Mode> modes;
  bool canSet = false;  // output connected and driven by a CRTC
};

// What stays fixed for the screen while the program runs, and the latest
// snapshot of its default output.
struct Connection {
  xcb_connection_t *xcb = nullptr;
  xcb_window_t root = 0;
  std::uint32_t bitsPerPel = 0;
  std::uint32_t maxWidth = 0;
  std::uint32_t maxHeight = 0;
  Snapshot snapshot;
};

Connection connection;

xcb_screen_t *ScreenNumber(const xcb_setup_t *setup, int number) {
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(setup);
  for (; it.rem > 0; xcb_screen_next(&it), --number) {
    if (number == 0) {
      return it.data;
    }
  }
  return nullptr;
}

// Bits per pixel of the pixmap format for the root window's depth.
std::uint32_t BitsPerPel(const xcb_setup_t *setup, std::uint8_t depth) {
  const xcb_format_t *formats = xcb_setup_pixmap_formats(setup);
  const int count = xcb_setup_pixmap_formats_length(setup);
  for (int i = 0; i < count; ++i) {
    if (formats[i].depth == depth) {
      return formats[i].bits_per_pixel;
    }
  }
  return 0;
}

bool HasRandr12(xcb_connection_t *xcb) {
  const xcb_query_extension_reply_t *extension =
      xcb_get_extension_data(xcb, &xcb_randr_id);
  if (extension == nullptr || extension->present == 0) {
    return false;
  }
  const Reply<xcb_randr_query_version_reply_t> version(
      xcb_randr_query_version_reply(xcb, xcb_randr_query_version(xcb, 1, 2),
                                    nullptr));
  return version != nullptr &&
         (version->major_version > 1 ||
          (version->major_version == 1 && version->minor_version >= 2));
}

Mode ModeOf(const xcb_randr_mode_info_t &info) {
  const bool interlaced =
      (info.mode_flags & XCB_RANDR_MODE_FLAG_INTERLACE) != 0;
  const bool doubleScan =
      (info.mode_flags & XCB_RANDR_MODE_FLAG_DOUBLE_SCAN) != 0;
  return Mode{info.width, info.height,
              RefreshRate(info.dot_clock, info.htotal, info.vtotal, doubleScan,
                          interlaced),
              interlaced};
}

Reply<xcb_randr_get_output_info_reply_t> OutputInfo(xcb_randr_output_t output,
                                                    xcb_timestamp_t config) {
  return Reply<xcb_randr_get_output_info_reply_t>(
      xcb_randr_get_output_info_reply(
          connection.xcb,
          xcb_randr_get_output_info(connection.xcb, output, config), nullptr));
}

bool Usable(const xcb_randr_get_output_info_reply_t *info) {
  return info != nullptr &&
         info->connection == XCB_RANDR_CONNECTION_CONNECTED &&
         info->num_modes > 0;
}

// The primary output when it is usable, else the first usable output in
// the order of the screen resources.
Reply<xcb_randr_get_output_info_reply_t> DefaultOutput(
    const xcb_randr_get_screen_resources_current_reply_t *resources,
    xcb_randr_output_t primary) {
  const xcb_timestamp_t config = resources->config_timestamp;
  if (primary != XCB_NONE) {
    Reply<xcb_randr_get_output_info_reply_t> info = OutputInfo(primary, config);
    if (Usable(info.get())) {
      return info;
    }
  }
  const xcb_randr_output_t *outputs =
      xcb_randr_get_screen_resources_current_outputs(resources);
  const int count =
      xcb_randr_get_screen_resources_current_outputs_length(resources);
  for (int i = 0; i < count; ++i) {
    if (outputs[i] == primary) {
      continue;
    }
    Reply<xcb_randr_get_output_info_reply_t> info =
        OutputInfo(outputs[i], config);
    if (Usable(info.get())) {
      return info;
    }
  }
  return nullptr;
}

// The output's modes in its own order, each looked up by id among the
// screen's modes through one sorted index rather than a scan per mode.
std::vector<Mode> ModesOf(
    const xcb_randr_get_screen_resources_current_reply_t *resources,
    const xcb_randr_get_output_info_reply_t *output) {
  const xcb_randr_mode_info_t *pool =
      xcb_randr_get_screen_resources_current_modes(resources);
  const int poolSize =
      xcb_randr_get_screen_resources_current_modes_length(resources);
  std::vector<std::pair<xcb_randr_mode_t, int>> byId;
  byId.reserve(static_cast<std::size_t>(poolSize));
  for (int i = 0; i < poolSize; ++i) {
    byId.emplace_back(pool[i].id, i);
  }
  std::sort(byId.begin(), byId.end());

  const xcb_randr_mode_t *ids = xcb_randr_get_output_info_modes(output);
  const int count = xcb_randr_get_output_info_modes_length(output);
  std::vector<Mode> modes;
  modes.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    const auto found =
        std::lower_bound(byId.begin(), byId.end(), std::make_pair(ids[i], 0));
    if (found != byId.end() && found->first == ids[i]) {
      modes.push_back(ModeOf(pool[found->second]));
    }
  }
  return modes;
}

// Reads the default output afresh. An empty snapshot when the server has
// gone or offers no usable output.
Snapshot TakeSnapshot() {
  xcb_connection_t *xcb = connection.xcb;
  const auto resourcesCookie =
      xcb_randr_get_screen_resources_current(xcb, connection.root);
  const auto primaryCookie = xcb_randr_get_output_primary(xcb, connection.root);
  const Reply<xcb_randr_get_screen_resources_current_reply_t> resources(
      xcb_randr_get_screen_resources_current_reply(xcb, resourcesCookie,
                                                   nullptr));
  const Reply<xcb_randr_get_output_primary_reply_t> primary(
      xcb_randr_get_output_primary_reply(xcb, primaryCookie, nullptr));
  Snapshot snapshot;
  if (resources == nullptr || primary == nullptr) {
    return snapshot;
  }
  const Reply<xcb_randr_get_output_info_reply_t> output =
      DefaultOutput(resources.get(), primary->output);
  if (output == nullptr) {
    return snapshot;
  }
  snapshot.modes = ModesOf(resources.get(), output.get());
  snapshot.canSet = output->crtc != XCB_NONE;
  return snapshot;
}

}  // namespace

bool X11Open() {
  int screenNumber = 0;
  xcb_connection_t *xcb = xcb_connect(nullptr, &screenNumber);
  if (xcb_connection_has_error(xcb) != 0) {
    xcb_disconnect(xcb);
    return false;
  }
  const xcb_setup_t *setup = xcb_get_setup(xcb);
  const xcb_screen_t *screen = ScreenNumber(setup, screenNumber);
  if (screen == nullptr || !HasRandr12(xcb)) {
    xcb_disconnect(xcb);
    return false;
  }
  // The screen's size limits are fixed for the server's life.
  const Reply<xcb_randr_get_screen_size_range_reply_t> range(
      xcb_randr_get_screen_size_range_reply(
          xcb, xcb_randr_get_screen_size_range(xcb, screen->root), nullptr));
  if (range == nullptr) {
    xcb_disconnect(xcb);
    return false;
  }
  // Kept open for the life of the process.
  connection.xcb = xcb;
  connection.root = screen->root;
  connection.bitsPerPel = BitsPerPel(setup, screen->root_depth);
  connection.maxWidth = range->max_width;
  connection.maxHeight = range->max_height;
  return true;
}

void X11Refresh() { connection.snapshot = TakeSnapshot(); }

int X11ReadMode(std::uint32_t index, DEVMODEA &mode) {
  const std::vector<Mode> &modes = connection.snapshot.modes;
  if (index >= modes.size()) {
    return 0;
  }
  const Mode &found = modes[index];
  FillMode(mode, found.width, found.height, connection.bitsPerPel,
           found.frequency, found.interlaced);
  return 1;
}

long X11TestMode(const DEVMODEA &mode) {
  const Snapshot &snapshot = connection.snapshot;
  const bool fits = mode.dmPelsWidth <= connection.maxWidth &&
                    mode.dmPelsHeight <= connection.maxHeight;
  const bool known = std::any_of(
      snapshot.modes.begin(), snapshot.modes.end(), [&](const Mode &m) {
        return m.width == mode.dmPelsWidth && m.height == mode.dmPelsHeight &&
               m.frequency == mode.dmDisplayFrequency;
      });
  if (snapshot.canSet && fits && known &&
      mode.dmBitsPerPel == connection.bitsPerPel) {
    return DISP_CHANGE_SUCCESSFUL;
  }
  return DISP_CHANGE_BADMODE;
}
