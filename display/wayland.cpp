// The default display of a Wayland compositor built on wlroots, through its
// output management (zwlr_output_manager_v1).
//
// The compositor announces its heads (outputs) and their modes, then `done`
// with a serial. The default head is the first enabled head with modes,
// else the first head with modes. A test is a configuration on the
// snapshot's serial that keeps every other head as it is and puts the
// default head in the candidate mode, sent with `test`, never `apply`.
#include <wayland-client.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

#include "services.h"
#include "wlr-output-management-unstable-v1-client-protocol.h"

namespace {

// Compositors compose in 32-bit XRGB whatever the monitor's mode.
constexpr std::uint32_t kBitsPerPel = 32;

// A mode's size and refresh are announced once, when the mode is.
struct Mode {
  zwlr_output_mode_v1 *proxy = nullptr;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t refreshMilliHz = 0;
  bool finished = false;
};

struct Head {
  zwlr_output_head_v1 *proxy = nullptr;
  std::vector<Mode *> modes;  // in the order the compositor announced them
  bool enabled = false;
  zwlr_output_mode_v1 *currentMode = nullptr;
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t transform = 0;
  wl_fixed_t scale = wl_fixed_from_int(1);
  bool finished = false;
};

struct Snapshot {
  std::vector<Head> heads;  // every head as the last `done` left it
  std::size_t defaultHead = 0;
  bool hasDefault = false;
  std::uint32_t serial = 0;

  const Head *Default() const {
    return hasDefault ? &heads[defaultHead] : nullptr;
  }
};

// The connection and the live state its events keep up to date. Objects
// the compositor has finished stay allocated until the process ends, so a
// snapshot never points at freed memory.
struct Compositor {
  wl_display *display = nullptr;
  zwlr_output_manager_v1 *manager = nullptr;
  std::vector<std::unique_ptr<Head>> heads;
  std::vector<std::unique_ptr<Mode>> modes;
  std::uint32_t serial = 0;
  bool changing = true;  // events since the last `done`
  bool gone = false;     // connection lost or manager finished
  Snapshot snapshot;
  std::size_t lastRead = 0;
};

Compositor compositor;

template <typename... Args>
void IgnoreEvent(void * /*data*/, Args... /*args*/) {}

// Mode events.
void ModeSize(void *data, zwlr_output_mode_v1 * /*mode*/, std::int32_t width,
              std::int32_t height) {
  auto *mode = static_cast<Mode *>(data);
  mode->width = width;
  mode->height = height;
  compositor.changing = true;
}

void ModeRefresh(void *data, zwlr_output_mode_v1 * /*mode*/,
                 std::int32_t refresh) {
  static_cast<Mode *>(data)->refreshMilliHz = refresh;
  compositor.changing = true;
}

void ModeFinished(void *data, zwlr_output_mode_v1 * /*mode*/) {
  static_cast<Mode *>(data)->finished = true;
  compositor.changing = true;
}

const zwlr_output_mode_v1_listener kModeListener = {
    ModeSize, ModeRefresh, IgnoreEvent<zwlr_output_mode_v1 *>, ModeFinished};

// Head events.
Head &HeadOf(void *data) {
  compositor.changing = true;
  return *static_cast<Head *>(data);
}

void HeadMode(void *data, zwlr_output_head_v1 * /*head*/,
              zwlr_output_mode_v1 *proxy) {
  compositor.modes.push_back(std::make_unique<Mode>());
  Mode *mode = compositor.modes.back().get();
  mode->proxy = proxy;
  zwlr_output_mode_v1_add_listener(proxy, &kModeListener, mode);
  HeadOf(data).modes.push_back(mode);
}

void HeadEnabled(void *data, zwlr_output_head_v1 * /*head*/,
                 std::int32_t enabled) {
  HeadOf(data).enabled = enabled != 0;
}

void HeadCurrentMode(void *data, zwlr_output_head_v1 * /*head*/,
                     zwlr_output_mode_v1 *mode) {
  HeadOf(data).currentMode = mode;
}

void HeadPosition(void *data, zwlr_output_head_v1 * /*head*/, std::int32_t x,
                  std::int32_t y) {
  Head &head = HeadOf(data);
  head.x = x;
  head.y = y;
}

void HeadTransform(void *data, zwlr_output_head_v1 * /*head*/,
                   std::int32_t transform) {
  HeadOf(data).transform = transform;
}

void HeadScale(void *data, zwlr_output_head_v1 * /*head*/, wl_fixed_t scale) {
  HeadOf(data).scale = scale;
}

void HeadFinished(void *data, zwlr_output_head_v1 * /*head*/) {
  HeadOf(data).finished = true;
}

const zwlr_output_head_v1_listener kHeadListener = {
    IgnoreEvent<zwlr_output_head_v1 *, const char *>,  // name
    IgnoreEvent<zwlr_output_head_v1 *, const char *>,  // description
    IgnoreEvent<zwlr_output_head_v1 *, std::int32_t,
                std::int32_t>,  // physical size
    HeadMode,
    HeadEnabled,
    HeadCurrentMode,
    HeadPosition,
    HeadTransform,
    HeadScale,
    HeadFinished,
    IgnoreEvent<zwlr_output_head_v1 *, const char *>,  // make
    IgnoreEvent<zwlr_output_head_v1 *, const char *>,  // model
    IgnoreEvent<zwlr_output_head_v1 *, const char *>,  // serial number
};

// Manager events.
void ManagerHead(void * /*data*/, zwlr_output_manager_v1 * /*manager*/,
                 zwlr_output_head_v1 *proxy) {
  compositor.heads.push_back(std::make_unique<Head>());
  Head *head = compositor.heads.back().get();
  head->proxy = proxy;
  zwlr_output_head_v1_add_listener(proxy, &kHeadListener, head);
  compositor.changing = true;
}

void ManagerDone(void * /*data*/, zwlr_output_manager_v1 * /*manager*/,
                 std::uint32_t serial) {
  compositor.serial = serial;
  compositor.changing = false;
}

void ManagerFinished(void * /*data*/, zwlr_output_manager_v1 * /*manager*/) {
  compositor.gone = true;
}

const zwlr_output_manager_v1_listener kManagerListener = {
    ManagerHead, ManagerDone, ManagerFinished};

void RegistryGlobal(void * /*data*/, wl_registry *registry, std::uint32_t name,
                    const char *interface, std::uint32_t version) {
  if (compositor.manager == nullptr &&
      std::string_view(interface) == zwlr_output_manager_v1_interface.name) {
    const std::uint32_t bound = std::min<std::uint32_t>(
        version, zwlr_output_manager_v1_interface.version);
    compositor.manager = static_cast<zwlr_output_manager_v1 *>(wl_registry_bind(
        registry, name, &zwlr_output_manager_v1_interface, bound));
  }
}

const wl_registry_listener kRegistryListener = {
    RegistryGlobal, IgnoreEvent<wl_registry *, std::uint32_t>};

// Protocol errors would otherwise be printed on stderr by libwayland.
void SilentLog(const char * /*format*/, va_list /*args*/) {}

// Runs one round trip; false once the connection is lost.
bool RoundTrip() {
  if (compositor.gone || wl_display_roundtrip(compositor.display) < 0) {
    compositor.gone = true;
  }
  return !compositor.gone;
}

bool HasModes(const Head &head) { return !head.modes.empty(); }

// The first enabled head with modes, else the first head with modes.
void ChooseDefaultHead(Snapshot &snapshot) {
  const std::vector<Head> &heads = snapshot.heads;
  auto found = std::find_if(heads.begin(), heads.end(), [](const Head &head) {
    return head.enabled && HasModes(head);
  });
  if (found == heads.end()) {
    found = std::find_if(heads.begin(), heads.end(), HasModes);
  }
  snapshot.hasDefault = found != heads.end();
  snapshot.defaultHead = static_cast<std::size_t>(found - heads.begin());
}

// The live state without what the compositor has finished.
Snapshot TakeSnapshot() {
  Snapshot snapshot;
  snapshot.serial = compositor.serial;
  for (const auto &live : compositor.heads) {
    if (live->finished) {
      continue;
    }
    Head head = *live;
    head.modes.clear();
    for (Mode *mode : live->modes) {
      if (!mode->finished) {
        head.modes.push_back(mode);
      }
    }
    snapshot.heads.push_back(head);
  }
  ChooseDefaultHead(snapshot);
  return snapshot;
}

std::uint32_t Hertz(std::int32_t milliHz) {
  return milliHz <= 0 ? 0 : static_cast<std::uint32_t>((milliHz + 500) / 1000);
}

bool Matches(const Mode &mode, const DEVMODEA &record) {
  return mode.width >= 0 && mode.height >= 0 &&
         static_cast<std::uint32_t>(mode.width) == record.dmPelsWidth &&
         static_cast<std::uint32_t>(mode.height) == record.dmPelsHeight &&
         Hertz(mode.refreshMilliHz) == record.dmDisplayFrequency &&
         record.dmBitsPerPel == kBitsPerPel;
}

// The mode the record describes: the one read last when it still matches
// (two modes can round to the same hertz), else the first that matches.
const Mode *Find(const DEVMODEA &record) {
  const Head *head = compositor.snapshot.Default();
  if (head == nullptr) {
    return nullptr;
  }
  const std::vector<Mode *> &modes = head->modes;
  if (compositor.lastRead < modes.size() &&
      Matches(*modes[compositor.lastRead], record)) {
    return modes[compositor.lastRead];
  }
  for (const Mode *mode : modes) {
    if (Matches(*mode, record)) {
      return mode;
    }
  }
  return nullptr;
}

// Puts a head in a configuration as it is now, or, for the default head,
// in the candidate mode at its current place, transform and scale.
void Configure(zwlr_output_configuration_v1 *configuration, const Head &head,
               zwlr_output_mode_v1 *mode) {
  zwlr_output_configuration_head_v1 *config =
      zwlr_output_configuration_v1_enable_head(configuration, head.proxy);
  // A head in a custom mode has no mode object to name; left unset, the
  // compositor keeps the head's current mode.
  if (mode != nullptr) {
    zwlr_output_configuration_head_v1_set_mode(config, mode);
  }
  zwlr_output_configuration_head_v1_set_position(config, head.x, head.y);
  zwlr_output_configuration_head_v1_set_transform(config, head.transform);
  zwlr_output_configuration_head_v1_set_scale(config, head.scale);
  zwlr_output_configuration_head_v1_destroy(config);
}

enum class Answer { kPending, kSucceeded, kRefused };

void ConfigurationSucceeded(void *data,
                            zwlr_output_configuration_v1 * /*config*/) {
  *static_cast<Answer *>(data) = Answer::kSucceeded;
}

void ConfigurationRefused(void *data,
                          zwlr_output_configuration_v1 * /*config*/) {
  *static_cast<Answer *>(data) = Answer::kRefused;
}

const zwlr_output_configuration_v1_listener kConfigurationListener = {
    ConfigurationSucceeded, ConfigurationRefused, ConfigurationRefused};

// Sends the test and waits for the compositor's answer.
Answer AskTest(const Snapshot &snapshot, const Mode &candidate) {
  Answer answer = Answer::kPending;
  zwlr_output_configuration_v1 *configuration =
      zwlr_output_manager_v1_create_configuration(compositor.manager,
                                                  snapshot.serial);
  zwlr_output_configuration_v1_add_listener(configuration,
                                            &kConfigurationListener, &answer);
  for (const Head &head : snapshot.heads) {
    if (&head == snapshot.Default()) {
      Configure(configuration, head, candidate.proxy);
    } else if (head.enabled) {
      Configure(configuration, head, head.currentMode);
    } else {
      zwlr_output_configuration_v1_disable_head(configuration, head.proxy);
    }
  }
  zwlr_output_configuration_v1_test(configuration);
  while (answer == Answer::kPending &&
         wl_display_dispatch(compositor.display) >= 0) {
  }
  if (answer == Answer::kPending) {
    compositor.gone = true;
  }
  zwlr_output_configuration_v1_destroy(configuration);
  return answer;
}

}  // namespace

bool WaylandOpen() {
  // Only a compositor the session names; no guessing of a default socket.
  if (std::getenv("WAYLAND_SOCKET") == nullptr &&
      std::getenv("WAYLAND_DISPLAY") == nullptr) {
    return false;
  }
  wl_log_set_handler_client(SilentLog);
  compositor.display = wl_display_connect(nullptr);
  if (compositor.display == nullptr) {
    return false;
  }
  wl_registry *registry = wl_display_get_registry(compositor.display);
  wl_registry_add_listener(registry, &kRegistryListener, nullptr);
  if (wl_display_roundtrip(compositor.display) < 0 ||
      compositor.manager == nullptr) {
    wl_display_disconnect(compositor.display);
    compositor.display = nullptr;
    return false;
  }
  zwlr_output_manager_v1_add_listener(compositor.manager, &kManagerListener,
                                      nullptr);
  return true;
}

void WaylandRefresh() {
  // The state as of the compositor's latest `done`: a round trip brings
  // every event sent so far, and a change still in flight is awaited.
  bool alive = RoundTrip();
  while (alive && compositor.changing) {
    alive = wl_display_dispatch(compositor.display) >= 0;
  }
  compositor.snapshot = alive ? TakeSnapshot() : Snapshot{};
  if (!alive) {
    compositor.gone = true;
  }
}

int WaylandReadMode(std::uint32_t index, DEVMODEA &record) {
  const Head *head = compositor.snapshot.Default();
  if (head == nullptr || index >= head->modes.size()) {
    return 0;
  }
  const Mode &mode = *head->modes[index];
  if (mode.width < 0 || mode.height < 0) {
    return 0;
  }
  compositor.lastRead = index;
  FillMode(record, static_cast<std::uint32_t>(mode.width),
           static_cast<std::uint32_t>(mode.height), kBitsPerPel,
           Hertz(mode.refreshMilliHz), false);
  return 1;
}

long WaylandTestMode(const DEVMODEA &record) {
  const Mode *candidate = Find(record);
  if (candidate == nullptr || compositor.gone) {
    return DISP_CHANGE_BADMODE;
  }
  return AskTest(compositor.snapshot, *candidate) == Answer::kSucceeded
             ? DISP_CHANGE_SUCCESSFUL
             : DISP_CHANGE_BADMODE;
}
