// The default display of GNOME's compositor (Mutter) on Wayland, through
// its display configuration (org.gnome.Mutter.DisplayConfig) on the
// session bus.
//
// The default monitor is the first monitor of the primary logical monitor,
// else of the first logical monitor. A test is ApplyMonitorsConfig with the
// method `verify`, which only checks: the current logical monitors with the
// default monitor in the candidate mode, its neighbours moved so the layout
// stays adjacent, and a scale the candidate mode supports.
#include <dlfcn.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "services.h"

namespace {

constexpr std::uint32_t kBitsPerPel = 32;
constexpr const char *kService = "org.gnome.Mutter.DisplayConfig";
constexpr const char *kPath = "/org/gnome/Mutter/DisplayConfig";
constexpr std::uint32_t kVerify = 0;
constexpr std::uint32_t kLogicalLayout = 1;

// libsystemd is loaded only when this service is tried: linked in, it would
// bring seven more shared libraries to every run, on X11 and consoles too.
struct SdBus {
  decltype(&sd_bus_open_user) openUser;
  decltype(&sd_bus_message_new_method_call) newMethodCall;
  decltype(&sd_bus_message_set_auto_start) setAutoStart;
  decltype(&sd_bus_message_append) append;
  decltype(&sd_bus_message_open_container) openContainer;
  decltype(&sd_bus_message_close_container) closeContainer;
  decltype(&sd_bus_call) call;
  decltype(&sd_bus_message_enter_container) enter;
  decltype(&sd_bus_message_exit_container) exit;
  decltype(&sd_bus_message_read) read;
  decltype(&sd_bus_message_skip) skip;
  decltype(&sd_bus_message_unref) unref;
  decltype(&sd_bus_error_free) errorFree;
};

template <typename T>
bool Load(void *library, const char *name, T &function) {
  function = reinterpret_cast<T>(dlsym(library, name));
  return function != nullptr;
}

bool LoadSdBus(SdBus &bus) {
  void *library = dlopen("libsystemd.so.0", RTLD_LAZY | RTLD_LOCAL);
  return library != nullptr &&
         Load(library, "sd_bus_open_user", bus.openUser) &&
         Load(library, "sd_bus_message_new_method_call", bus.newMethodCall) &&
         Load(library, "sd_bus_message_set_auto_start", bus.setAutoStart) &&
         Load(library, "sd_bus_message_append", bus.append) &&
         Load(library, "sd_bus_message_open_container", bus.openContainer) &&
         Load(library, "sd_bus_message_close_container", bus.closeContainer) &&
         Load(library, "sd_bus_call", bus.call) &&
         Load(library, "sd_bus_message_enter_container", bus.enter) &&
         Load(library, "sd_bus_message_exit_container", bus.exit) &&
         Load(library, "sd_bus_message_read", bus.read) &&
         Load(library, "sd_bus_message_skip", bus.skip) &&
         Load(library, "sd_bus_message_unref", bus.unref) &&
         Load(library, "sd_bus_error_free", bus.errorFree);
}

struct Mode {
  std::string id;
  std::int32_t width = 0;
  std::int32_t height = 0;
  double refresh = 0;
  std::vector<double> scales;  // the scales Mutter supports for the mode
  bool current = false;
};

struct Monitor {
  std::string connector;
  std::vector<Mode> modes;  // in Mutter's order
};

struct LogicalMonitor {
  std::int32_t x = 0;
  std::int32_t y = 0;
  double scale = 1;
  std::uint32_t transform = 0;
  bool primary = false;
  std::vector<std::string> connectors;
};

struct State {
  std::uint32_t serial = 0;
  std::vector<Monitor> monitors;
  std::vector<LogicalMonitor> logicalMonitors;
  std::uint32_t layoutMode = kLogicalLayout;
  bool layoutModeChangeable = false;
  const LogicalMonitor *defaultLogical = nullptr;  // the default's home
  const Monitor *defaultMonitor = nullptr;
};

SdBus sd;
sd_bus *bus = nullptr;
State state;
bool stateJustRead = false;  // read by MutterOpen, not yet used by a walk
std::size_t lastRead = 0;

// A reply's message, unreferenced when it goes out of scope.
class Message {
 public:
  Message() = default;
  Message(const Message &) = delete;
  Message &operator=(const Message &) = delete;
  ~Message() {
    if (message_ != nullptr) {
      sd.unref(message_);
    }
  }
  sd_bus_message **Out() { return &message_; }
  sd_bus_message *Get() const { return message_; }

 private:
  sd_bus_message *message_ = nullptr;
};

// Calls `message` and answers whether the call succeeded; `reply` holds
// the answer.
bool Call(sd_bus_message *message, Message &reply) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  const int result = sd.call(bus, message, 0, &error, reply.Out());
  sd.errorFree(&error);
  return result >= 0;
}

bool NewCall(const char *method, Message &message) {
  if (sd.newMethodCall(bus, message.Out(), kService, kPath, kService, method) <
      0) {
    return false;
  }
  // Never start a display configuration service that is not running.
  sd.setAutoStart(message.Get(), 0);
  return true;
}

// Reads a{sv}, handing each key to `onEntry`, which reads or skips the
// variant.
template <typename OnEntry>
bool ReadProperties(sd_bus_message *m, OnEntry onEntry) {
  if (sd.enter(m, 'a', "{sv}") < 0) {
    return false;
  }
  while (sd.enter(m, 'e', "sv") > 0) {
    const char *key = nullptr;
    if (sd.read(m, "s", &key) < 0 || !onEntry(key) || sd.exit(m) < 0) {
      return false;
    }
  }
  return sd.exit(m) >= 0;
}

bool ReadBoolVariant(sd_bus_message *m, bool &value) {
  int b = 0;
  if (sd.read(m, "v", "b", &b) < 0) {
    return false;
  }
  value = b != 0;
  return true;
}

bool ReadMode(sd_bus_message *m, Mode &mode) {
  const char *id = nullptr;
  double preferredScale = 0;
  if (sd.read(m, "siidd", &id, &mode.width, &mode.height, &mode.refresh,
              &preferredScale) < 0 ||
      sd.enter(m, 'a', "d") < 0) {
    return false;
  }
  mode.id = id;
  double scale = 0;
  while (sd.read(m, "d", &scale) > 0) {
    mode.scales.push_back(scale);
  }
  return sd.exit(m) >= 0 && ReadProperties(m, [&](const char *key) {
           if (std::strcmp(key, "is-current") == 0) {
             return ReadBoolVariant(m, mode.current);
           }
           return sd.skip(m, "v") >= 0;
         });
}

bool ReadMonitor(sd_bus_message *m, Monitor &monitor) {
  const char *connector = nullptr;
  if (sd.read(m, "(ssss)", &connector, nullptr, nullptr, nullptr) < 0 ||
      sd.enter(m, 'a', "(siiddada{sv})") < 0) {
    return false;
  }
  monitor.connector = connector;
  while (sd.enter(m, 'r', "siiddada{sv}") > 0) {
    Mode &mode = monitor.modes.emplace_back();
    if (!ReadMode(m, mode) || sd.exit(m) < 0) {
      return false;
    }
  }
  return sd.exit(m) >= 0 && sd.skip(m, "a{sv}") >= 0;
}

bool ReadLogicalMonitor(sd_bus_message *m, LogicalMonitor &logical) {
  int primary = 0;
  if (sd.read(m, "iidub", &logical.x, &logical.y, &logical.scale,
              &logical.transform, &primary) < 0 ||
      sd.enter(m, 'a', "(ssss)") < 0) {
    return false;
  }
  logical.primary = primary != 0;
  const char *connector = nullptr;
  while (sd.read(m, "(ssss)", &connector, nullptr, nullptr, nullptr) > 0) {
    logical.connectors.emplace_back(connector);
  }
  return sd.exit(m) >= 0 && sd.skip(m, "a{sv}") >= 0;
}

// Reads GetCurrentState's reply: serial, monitors, logical monitors and
// properties.
bool ReadState(sd_bus_message *m, State &read) {
  if (sd.read(m, "u", &read.serial) < 0 ||
      sd.enter(m, 'a', "((ssss)a(siiddada{sv})a{sv})") < 0) {
    return false;
  }
  while (sd.enter(m, 'r', "(ssss)a(siiddada{sv})a{sv}") > 0) {
    if (!ReadMonitor(m, read.monitors.emplace_back()) || sd.exit(m) < 0) {
      return false;
    }
  }
  if (sd.exit(m) < 0 || sd.enter(m, 'a', "(iiduba(ssss)a{sv})") < 0) {
    return false;
  }
  while (sd.enter(m, 'r', "iiduba(ssss)a{sv}") > 0) {
    if (!ReadLogicalMonitor(m, read.logicalMonitors.emplace_back()) ||
        sd.exit(m) < 0) {
      return false;
    }
  }
  return sd.exit(m) >= 0 && ReadProperties(m, [&](const char *key) {
           if (std::strcmp(key, "layout-mode") == 0) {
             return sd.read(m, "v", "u", &read.layoutMode) >= 0;
           }
           if (std::strcmp(key, "supports-changing-layout-mode") == 0) {
             return ReadBoolVariant(m, read.layoutModeChangeable);
           }
           return sd.skip(m, "v") >= 0;
         });
}

const Monitor *MonitorNamed(const State &s, const std::string &connector) {
  for (const Monitor &monitor : s.monitors) {
    if (monitor.connector == connector) {
      return &monitor;
    }
  }
  return nullptr;
}

// The first monitor of the primary logical monitor, else of the first.
void ChooseDefault(State &s) {
  const auto &logical = s.logicalMonitors;
  auto primary =
      std::find_if(logical.begin(), logical.end(),
                   [](const LogicalMonitor &l) { return l.primary; });
  if (primary == logical.end()) {
    primary = logical.begin();
  }
  if (primary == logical.end() || primary->connectors.empty()) {
    return;
  }
  s.defaultLogical = &*primary;
  s.defaultMonitor = MonitorNamed(s, primary->connectors.front());
}

const Mode *CurrentMode(const Monitor &monitor) {
  for (const Mode &mode : monitor.modes) {
    if (mode.current) {
      return &mode;
    }
  }
  return nullptr;
}

std::uint32_t Hertz(double refresh) {
  const long long milliHz = std::llround(refresh * 1000);
  return milliHz <= 0 ? 0 : static_cast<std::uint32_t>((milliHz + 500) / 1000);
}

// The current scale when the mode supports it, else the supported scale
// nearest to it.
double ScaleFor(const Mode &mode, double current) {
  double best = current;
  double distance = HUGE_VAL;
  for (double scale : mode.scales) {
    if (std::fabs(scale - current) < distance) {
      distance = std::fabs(scale - current);
      best = scale;
    }
  }
  return best;
}

struct Size {
  std::int32_t width = 0;
  std::int32_t height = 0;
};

// A logical monitor's size in the layout: the mode turned by the transform
// (odd ones turn it a quarter) and, in the logical layout, divided by the
// scale.
Size LayoutSize(const State &s, const Mode &mode, std::uint32_t transform,
                double scale) {
  Size size{mode.width, mode.height};
  if (transform % 2 == 1) {
    std::swap(size.width, size.height);
  }
  if (s.layoutMode == kLogicalLayout && scale > 0) {
    size.width = static_cast<std::int32_t>(std::lround(size.width / scale));
    size.height = static_cast<std::int32_t>(std::lround(size.height / scale));
  }
  return size;
}

// Appends one logical monitor's configuration: each of its monitors in its
// current mode, the default monitor in `candidate`.
bool AppendLogicalMonitor(sd_bus_message *m, const LogicalMonitor &logical,
                          std::int32_t x, std::int32_t y, double scale,
                          bool primary, const Mode &candidate) {
  if (sd.openContainer(m, 'r', "iiduba(ssa{sv})") < 0 ||
      sd.append(m, "iidub", x, y, scale, logical.transform, primary ? 1 : 0) <
          0 ||
      sd.openContainer(m, 'a', "(ssa{sv})") < 0) {
    return false;
  }
  for (const std::string &connector : logical.connectors) {
    const Monitor *monitor = MonitorNamed(state, connector);
    const Mode *mode =
        monitor == state.defaultMonitor
            ? &candidate
            : (monitor != nullptr ? CurrentMode(*monitor) : nullptr);
    if (mode == nullptr ||
        sd.append(m, "(ssa{sv})", connector.c_str(), mode->id.c_str(), 0) < 0) {
      return false;
    }
  }
  return sd.closeContainer(m) >= 0 && sd.closeContainer(m) >= 0;
}

// Builds the verify-only configuration for `candidate` and asks Mutter.
bool Verify(const Mode &candidate) {
  Message message;
  if (!NewCall("ApplyMonitorsConfig", message)) {
    return false;
  }
  sd_bus_message *m = message.Get();
  if (sd.append(m, "uu", state.serial, kVerify) < 0 ||
      sd.openContainer(m, 'a', "(iiduba(ssa{sv}))") < 0) {
    return false;
  }
  // The logical monitor of the default monitor takes the candidate's size;
  // the ones right of it or below it move by the change, so the layout
  // stays adjacent and nothing overlaps.
  const LogicalMonitor *home = state.defaultLogical;
  const Mode *current = CurrentMode(*state.defaultMonitor);
  if (home == nullptr || current == nullptr) {
    return false;
  }
  const double scale = ScaleFor(candidate, home->scale);
  const bool anyPrimary = std::any_of(
      state.logicalMonitors.begin(), state.logicalMonitors.end(),
      [](const LogicalMonitor &logical) { return logical.primary; });
  const Size before = LayoutSize(state, *current, home->transform, home->scale);
  const Size after = LayoutSize(state, candidate, home->transform, scale);
  for (const LogicalMonitor &logical : state.logicalMonitors) {
    std::int32_t x = logical.x;
    std::int32_t y = logical.y;
    if (&logical != home && x >= home->x + before.width) {
      x += after.width - before.width;
    }
    if (&logical != home && y >= home->y + before.height) {
      y += after.height - before.height;
    }
    // Mutter takes a layout with exactly one primary.
    const bool primary = logical.primary || (&logical == home && !anyPrimary);
    if (!AppendLogicalMonitor(m, logical, x, y,
                              &logical == home ? scale : logical.scale, primary,
                              candidate)) {
      return false;
    }
  }
  if (sd.closeContainer(m) < 0) {
    return false;
  }
  const bool keepLayoutMode = state.layoutModeChangeable;
  if ((keepLayoutMode
           ? sd.append(m, "a{sv}", 1, "layout-mode", "u", state.layoutMode)
           : sd.append(m, "a{sv}", 0)) < 0) {
    return false;
  }
  Message reply;
  return Call(m, reply);
}

// Reads Mutter's current state; false when Mutter does not answer.
bool ReadCurrentState() {
  state = State{};
  Message message;
  Message reply;
  State read;
  if (bus == nullptr || !NewCall("GetCurrentState", message) ||
      !Call(message.Get(), reply) || !ReadState(reply.Get(), read)) {
    return false;
  }
  state = std::move(read);
  ChooseDefault(state);
  return true;
}

// The mode of the default monitor that the record describes, else null.
const Mode *Find(const DEVMODEA &record) {
  if (state.defaultMonitor == nullptr) {
    return nullptr;
  }
  const std::vector<Mode> &modes = state.defaultMonitor->modes;
  const std::size_t found =
      FindMode(modes.size(), lastRead, [&](std::size_t i) {
        return Describes(record, modes[i].width, modes[i].height,
                         Hertz(modes[i].refresh), kBitsPerPel);
      });
  return found < modes.size() ? &modes[found] : nullptr;
}

}  // namespace

bool MutterOpen() {
  // Mutter is there when it answers for its state; that answer, a moment
  // old, serves the first walk.
  stateJustRead = LoadSdBus(sd) && sd.openUser(&bus) >= 0 && ReadCurrentState();
  return stateJustRead;
}

void MutterRefresh() {
  if (!stateJustRead) {
    ReadCurrentState();
  }
  stateJustRead = false;
}

int MutterReadMode(std::uint32_t index, DEVMODEA &record) {
  if (state.defaultMonitor == nullptr ||
      index >= state.defaultMonitor->modes.size()) {
    return 0;
  }
  const Mode &mode = state.defaultMonitor->modes[index];
  if (mode.width < 0 || mode.height < 0) {
    return 0;
  }
  lastRead = index;
  FillMode(record, static_cast<std::uint32_t>(mode.width),
           static_cast<std::uint32_t>(mode.height), kBitsPerPel,
           Hertz(mode.refresh), false);
  return 1;
}

long MutterTestMode(const DEVMODEA &record) {
  const Mode *candidate = Find(record);
  return candidate != nullptr && Verify(*candidate) ? DISP_CHANGE_SUCCESSFUL
                                                    : DISP_CHANGE_BADMODE;
}
