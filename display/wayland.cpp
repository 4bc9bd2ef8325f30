// The default display of a Wayland compositor built on wlroots, through its
// output management (zwlr_output_manager_v1).
//
// The compositor announces its heads (outputs) and their modes, then `done`
// with a serial. The default head is the first enabled head with modes,
// else the first head with modes. A test is a configuration on the
// snapshot's serial that keeps every other head as it is and puts the
// default head in the candidate mode, sent with `test`, never `apply`.
#include <algorithm>
#include <deque>
#include <vector>

#include "services.h"
#include "wayland_client.h"
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
  std::deque<Head> heads;  // a deque keeps each one where it is
  std::deque<Mode> modes;
  std::uint32_t serial = 0;
  bool changing = true;  // events since the last `done`
  bool gone = false;     // connection lost or manager finished
  Snapshot snapshot;
  std::size_t lastRead = 0;
};

Compositor compositor;

// The state's events come to dispatchers rather than listeners: a head can
// announce a thousand modes, and a listener call goes through libffi for
// each of their events, which cost more than the rest of a run.

int ModeEvent(const void * /*implementation*/, void *proxy,
              std::uint32_t opcode, const wl_message * /*message*/,
              wl_argument *args) {
  compositor.changing = true;
  Mode &mode = StateOf<Mode>(proxy);
  switch (opcode) {
    case EVENT_OPCODE(zwlr_output_mode_v1_listener, size):
      mode.width = args[0].i;
      mode.height = args[1].i;
      break;
    case EVENT_OPCODE(zwlr_output_mode_v1_listener, refresh):
      mode.refreshMilliHz = args[0].i;
      break;
    case EVENT_OPCODE(zwlr_output_mode_v1_listener, finished):
      mode.finished = true;
      break;
    default:
      break;
  }
  return 0;
}

void AddMode(Head &head, wl_object *proxy) {
  Mode *mode = &compositor.modes.emplace_back();
  mode->proxy = reinterpret_cast<zwlr_output_mode_v1 *>(proxy);
  wl_proxy_add_dispatcher(reinterpret_cast<wl_proxy *>(proxy), ModeEvent,
                          nullptr, mode);
  head.modes.push_back(mode);
}

int HeadEvent(const void * /*implementation*/, void *proxy,
              std::uint32_t opcode, const wl_message * /*message*/,
              wl_argument *args) {
  compositor.changing = true;
  Head &head = StateOf<Head>(proxy);
  switch (opcode) {
    case EVENT_OPCODE(zwlr_output_head_v1_listener, mode):
      AddMode(head, args[0].o);
      break;
    case EVENT_OPCODE(zwlr_output_head_v1_listener, enabled):
      head.enabled = args[0].i != 0;
      break;
    case EVENT_OPCODE(zwlr_output_head_v1_listener, current_mode):
      head.currentMode = reinterpret_cast<zwlr_output_mode_v1 *>(args[0].o);
      break;
    case EVENT_OPCODE(zwlr_output_head_v1_listener, position):
      head.x = args[0].i;
      head.y = args[1].i;
      break;
    case EVENT_OPCODE(zwlr_output_head_v1_listener, transform):
      head.transform = args[0].i;
      break;
    case EVENT_OPCODE(zwlr_output_head_v1_listener, scale):
      head.scale = args[0].f;
      break;
    case EVENT_OPCODE(zwlr_output_head_v1_listener, finished):
      head.finished = true;
      break;
    default:  // name, description, size, make, model, serial number
      break;
  }
  return 0;
}

int ManagerEvent(const void * /*implementation*/, void * /*proxy*/,
                 std::uint32_t opcode, const wl_message * /*message*/,
                 wl_argument *args) {
  switch (opcode) {
    case EVENT_OPCODE(zwlr_output_manager_v1_listener, head): {
      Head *head = &compositor.heads.emplace_back();
      head->proxy = reinterpret_cast<zwlr_output_head_v1 *>(args[0].o);
      wl_proxy_add_dispatcher(reinterpret_cast<wl_proxy *>(args[0].o),
                              HeadEvent, nullptr, head);
      compositor.changing = true;
      break;
    }
    case EVENT_OPCODE(zwlr_output_manager_v1_listener, done):
      compositor.serial = args[0].u;
      compositor.changing = false;
      break;
    case EVENT_OPCODE(zwlr_output_manager_v1_listener, finished):
      compositor.gone = true;
      break;
    default:
      break;
  }
  return 0;
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
  for (const Head &live : compositor.heads) {
    if (live.finished) {
      continue;
    }
    Head head = live;
    head.modes.clear();
    for (Mode *mode : live.modes) {
      if (!mode->finished) {
        head.modes.push_back(mode);
      }
    }
    snapshot.heads.push_back(head);
  }
  ChooseDefaultHead(snapshot);
  return snapshot;
}

// The mode of the default head that the record describes, else null.
const Mode *Find(const DEVMODEA &record) {
  const Head *head = compositor.snapshot.Default();
  if (head == nullptr) {
    return nullptr;
  }
  const std::vector<Mode *> &modes = head->modes;
  const std::size_t found =
      FindMode(modes.size(), compositor.lastRead, [&](std::size_t i) {
        return Describes(record, modes[i]->width, modes[i]->height,
                         HertzFromMilli(modes[i]->refreshMilliHz), kBitsPerPel);
      });
  return found < modes.size() ? modes[found] : nullptr;
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
  const Session &session = SessionCompositor();
  const Global *manager = session.display == nullptr
                              ? nullptr
                              : session.Find(zwlr_output_manager_v1_interface);
  if (manager == nullptr) {
    return false;
  }
  compositor.display = session.display;
  compositor.manager = static_cast<zwlr_output_manager_v1 *>(
      session.Bind(*manager, zwlr_output_manager_v1_interface));
  wl_proxy_add_dispatcher(reinterpret_cast<wl_proxy *>(compositor.manager),
                          ManagerEvent, nullptr, nullptr);
  return true;
}

void WaylandRefresh() {
  // The state as of the compositor's latest `done`: every event that has
  // arrived, and the rest of a change still arriving (the first state
  // included) waited for.
  bool alive = !compositor.gone && ReadArrivedEvents(compositor.display);
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
           HertzFromMilli(mode.refreshMilliHz), false);
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
