// The default display of KDE's compositor (KWin) on Wayland, through its
// output devices (kde_output_device_v2) and their order
// (kde_output_order_v1).
//
// The default device is the first in KWin's output order, else the first
// enabled device with modes. KWin's output management has no test-only
// request, so a mode could be set when the device is enabled and the mode
// is one of its modes: nothing is ever configured.
#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "kde-output-device-v2-client-protocol.h"
#include "kde-output-order-v1-client-protocol.h"
#include "services.h"
#include "wayland_client.h"

namespace {

constexpr std::uint32_t kBitsPerPel = 32;

struct Mode {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t refreshMilliHz = 0;
  bool removed = false;
};

struct Device {
  std::uint32_t global = 0;  // the registry's name for it
  std::string name;
  bool enabled = false;
  std::vector<Mode *> modes;  // in the order KWin announced them
  bool changing = true;       // events since its last `done`
};

struct Snapshot {
  std::vector<Mode>
      modes;  // the default device's, as its last `done` left them
  bool enabled = false;
};

// The connection and the live state its events keep up to date; objects
// stay allocated until the process ends.
struct Kwin {
  wl_display *display = nullptr;
  std::deque<Device> devices;  // a deque keeps each one where it is
  std::deque<Mode> modes;
  std::vector<std::string> order;  // output names, as of the last `done`
  std::vector<std::string> pendingOrder;
  bool orderChanging = false;
  bool gone = false;
  Snapshot snapshot;
};

Kwin kwin;

int ModeEvent(const void * /*implementation*/, void *proxy,
              std::uint32_t opcode, const wl_message * /*message*/,
              wl_argument *args) {
  Mode &mode = StateOf<Mode>(proxy);
  switch (opcode) {
    case EVENT_OPCODE(kde_output_device_mode_v2_listener, size):
      mode.width = args[0].i;
      mode.height = args[1].i;
      break;
    case EVENT_OPCODE(kde_output_device_mode_v2_listener, refresh):
      mode.refreshMilliHz = args[0].i;
      break;
    case EVENT_OPCODE(kde_output_device_mode_v2_listener, removed):
      mode.removed = true;
      break;
    default:  // preferred
      break;
  }
  return 0;
}

int DeviceEvent(const void * /*implementation*/, void *proxy,
                std::uint32_t opcode, const wl_message * /*message*/,
                wl_argument *args) {
  Device &device = StateOf<Device>(proxy);
  device.changing = true;
  switch (opcode) {
    case EVENT_OPCODE(kde_output_device_v2_listener, mode): {
      Mode *mode = &kwin.modes.emplace_back();
      wl_proxy_add_dispatcher(reinterpret_cast<wl_proxy *>(args[0].o),
                              ModeEvent, nullptr, mode);
      device.modes.push_back(mode);
      break;
    }
    case EVENT_OPCODE(kde_output_device_v2_listener, enabled):
      device.enabled = args[0].i != 0;
      break;
    case EVENT_OPCODE(kde_output_device_v2_listener, name):
      device.name = args[0].s;
      break;
    case EVENT_OPCODE(kde_output_device_v2_listener, done):
      device.changing = false;
      break;
    default:  // geometry, current mode, scale, EDID, and the rest
      break;
  }
  return 0;
}

void OrderOutput(void * /*data*/, kde_output_order_v1 * /*order*/,
                 const char *name) {
  kwin.orderChanging = true;
  kwin.pendingOrder.emplace_back(name);
}

void OrderDone(void * /*data*/, kde_output_order_v1 * /*order*/) {
  kwin.order.swap(kwin.pendingOrder);
  kwin.pendingOrder.clear();
  kwin.orderChanging = false;
}

const kde_output_order_v1_listener kOrderListener = {OrderOutput, OrderDone};

bool Present(const Device &device) {
  return SessionCompositor().Present(device.global);
}

bool Changing() {
  return kwin.orderChanging ||
         std::any_of(kwin.devices.begin(), kwin.devices.end(),
                     [](const Device &d) { return d.changing && Present(d); });
}

// The first device in KWin's output order, else the first enabled device
// with modes.
const Device *DefaultDevice() {
  if (!kwin.order.empty()) {
    for (const Device &device : kwin.devices) {
      if (Present(device) && device.name == kwin.order.front()) {
        return &device;
      }
    }
  }
  for (const Device &device : kwin.devices) {
    if (Present(device) && device.enabled && !device.modes.empty()) {
      return &device;
    }
  }
  return nullptr;
}

Snapshot TakeSnapshot() {
  Snapshot snapshot;
  const Device *device = DefaultDevice();
  if (device == nullptr) {
    return snapshot;
  }
  snapshot.enabled = device->enabled;
  for (const Mode *mode : device->modes) {
    if (!mode->removed) {
      snapshot.modes.push_back(*mode);
    }
  }
  return snapshot;
}

// Binds every output device the compositor offers that is not bound yet:
// at the start, and any plugged in since.
void BindNewDevices(const Session &session) {
  for (const Global &global : session.globals) {
    const bool known = std::any_of(
        kwin.devices.begin(), kwin.devices.end(),
        [&](const Device &device) { return device.global == global.name; });
    if (global.removed || known ||
        global.interface != kde_output_device_v2_interface.name) {
      continue;
    }
    Device *device = &kwin.devices.emplace_back();
    device->global = global.name;
    wl_proxy_add_dispatcher(static_cast<wl_proxy *>(session.Bind(
                                global, kde_output_device_v2_interface)),
                            DeviceEvent, nullptr, device);
  }
}

}  // namespace

bool KdeOpen() {
  const Session &session = SessionCompositor();
  if (session.display == nullptr ||
      session.Find(kde_output_device_v2_interface) == nullptr) {
    return false;
  }
  kwin.display = session.display;
  BindNewDevices(session);
  if (const Global *order = session.Find(kde_output_order_v1_interface)) {
    kde_output_order_v1_add_listener(
        static_cast<kde_output_order_v1 *>(
            session.Bind(*order, kde_output_order_v1_interface)),
        &kOrderListener, nullptr);
    kwin.orderChanging = true;
  }
  return true;
}

void KdeRefresh() {
  // The state as of each device's latest `done`: every event that has
  // arrived, and the rest of a change still arriving (the first state
  // included) waited for.
  bool alive = !kwin.gone && ReadArrivedEvents(kwin.display);
  if (alive) {
    BindNewDevices(SessionCompositor());
  }
  while (alive && Changing()) {
    alive = wl_display_dispatch(kwin.display) >= 0;
  }
  kwin.gone = !alive;
  kwin.snapshot = alive ? TakeSnapshot() : Snapshot{};
}

int KdeReadMode(std::uint32_t index, DEVMODEA &record) {
  const std::vector<Mode> &modes = kwin.snapshot.modes;
  if (index >= modes.size() || modes[index].width < 0 ||
      modes[index].height < 0) {
    return 0;
  }
  const Mode &mode = modes[index];
  FillMode(record, static_cast<std::uint32_t>(mode.width),
           static_cast<std::uint32_t>(mode.height), kBitsPerPel,
           HertzFromMilli(mode.refreshMilliHz), false);
  return 1;
}

long KdeTestMode(const DEVMODEA &record) {
  const Snapshot &snapshot = kwin.snapshot;
  const bool listed = std::any_of(
      snapshot.modes.begin(), snapshot.modes.end(), [&](const Mode &mode) {
        return Describes(record, mode.width, mode.height,
                         HertzFromMilli(mode.refreshMilliHz), kBitsPerPel);
      });
  return snapshot.enabled && listed ? DISP_CHANGE_SUCCESSFUL
                                    : DISP_CHANGE_BADMODE;
}
