// A small Wayland compositor for tests: it offers only the wlroots output
// management, with heads and modes read from a script, and answers each
// configuration test as the script says. It logs every test and apply.
// With `interface kde` it offers KDE's output devices instead, one global
// per head, and KDE's output order when the script gives one.
//
//   scripted_compositor SCRIPT LOG
//
// It prints its socket's name on a line of its own once clients can
// connect. Script lines:
//   head NAME enabled X Y TRANSFORM SCALE CURRENT   (CURRENT: mode index, -1)
//   mode WIDTH HEIGHT MILLIHZ                       (a mode of the last head)
//   refuse WIDTH HEIGHT MILLIHZ    tests that set this mode fail
//   cancel WIDTH HEIGHT MILLIHZ    tests that set this mode are cancelled
//   quit-at-test N                 exits when the Nth test arrives
//   error-at-test N                answers the Nth test with a protocol error
//   interface kde                  KDE's output devices, not wlroots'
//   order NAME...                  KDE's output order
#include <wayland-server.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <list>
#include <sstream>
#include <string>
#include <vector>

#include "kde-output-device-v2-server-protocol.h"
#include "kde-output-order-v1-server-protocol.h"
#include "wlr-output-management-unstable-v1-server-protocol.h"

namespace {

struct Mode {
  int width = 0;
  int height = 0;
  int milliHz = 0;
  bool operator==(const Mode &other) const {
    return width == other.width && height == other.height &&
           milliHz == other.milliHz;
  }
};

struct Head {
  std::string name;
  bool enabled = false;
  int x = 0;
  int y = 0;
  int transform = 0;
  double scale = 1;
  int current = -1;
  std::vector<Mode> modes;
};

struct Script {
  std::vector<Head> heads;
  std::vector<Mode> refused;
  std::vector<Mode> cancelled;
  int quitAtTest = 0;
  int errorAtTest = 0;
  bool kde = false;
  bool hasOrder = false;
  std::vector<std::string> order;
};

// What a configuration says of one head.
struct Entry {
  const Head *head = nullptr;
  bool enabled = false;
  const Mode *mode = nullptr;
  std::string custom;
  std::string position = "-";
  std::string transform = "-";
  std::string scale = "-";
};

struct Configuration {
  std::uint32_t serial = 0;
  std::list<Entry> entries;
};

constexpr std::uint32_t kSerial = 7;

Script script;
std::FILE *logFile = nullptr;
wl_display *display = nullptr;
int tests = 0;

Script Read(const char *path) {
  Script result;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string word;
    words >> word;
    if (word == "head") {
      Head head;
      int enabled = 0;
      words >> head.name >> enabled >> head.x >> head.y >> head.transform >>
          head.scale >> head.current;
      head.enabled = enabled != 0;
      result.heads.push_back(head);
    } else if (word == "mode" || word == "refuse" || word == "cancel") {
      Mode mode;
      words >> mode.width >> mode.height >> mode.milliHz;
      if (word == "mode") {
        result.heads.back().modes.push_back(mode);
      } else {
        (word == "refuse" ? result.refused : result.cancelled).push_back(mode);
      }
    } else if (word == "quit-at-test") {
      words >> result.quitAtTest;
    } else if (word == "error-at-test") {
      words >> result.errorAtTest;
    } else if (word == "interface") {
      words >> word;
      result.kde = word == "kde";
    } else if (word == "order") {
      result.hasOrder = true;
      while (words >> word) {
        result.order.push_back(word);
      }
    }
  }
  return result;
}

bool Listed(const std::vector<Mode> &list, const Mode *mode) {
  for (const Mode &m : list) {
    if (mode != nullptr && m == *mode) {
      return true;
    }
  }
  return false;
}

std::string Describe(const Entry &entry) {
  std::string text =
      (entry.enabled ? "enable " : "disable ") + entry.head->name;
  if (!entry.enabled) {
    return text;
  }
  text += " mode=";
  if (entry.mode != nullptr) {
    text += std::to_string(entry.mode->width) + "x" +
            std::to_string(entry.mode->height) + "@" +
            std::to_string(entry.mode->milliHz);
  } else {
    text += entry.custom.empty() ? "-" : "custom:" + entry.custom;
  }
  return text + " position=" + entry.position +
         " transform=" + entry.transform + " scale=" + entry.scale;
}

// Configuration head requests.
Entry &EntryOf(wl_resource *resource) {
  return *static_cast<Entry *>(wl_resource_get_user_data(resource));
}

void SetMode(wl_client * /*client*/, wl_resource *resource, wl_resource *mode) {
  EntryOf(resource).mode =
      static_cast<const Mode *>(wl_resource_get_user_data(mode));
}

void SetCustomMode(wl_client * /*client*/, wl_resource *resource, int32_t width,
                   int32_t height, int32_t refresh) {
  EntryOf(resource).custom = std::to_string(width) + "x" +
                             std::to_string(height) + "@" +
                             std::to_string(refresh);
}

void SetPosition(wl_client * /*client*/, wl_resource *resource, int32_t x,
                 int32_t y) {
  EntryOf(resource).position = std::to_string(x) + "," + std::to_string(y);
}

void SetTransform(wl_client * /*client*/, wl_resource *resource,
                  int32_t transform) {
  EntryOf(resource).transform = std::to_string(transform);
}

void SetScale(wl_client * /*client*/, wl_resource *resource, wl_fixed_t scale) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", wl_fixed_to_double(scale));
  EntryOf(resource).scale = text;
}

const struct zwlr_output_configuration_head_v1_interface kConfigurationHead = {
    SetMode, SetCustomMode, SetPosition, SetTransform, SetScale};

// Configuration requests.
Configuration &ConfigurationOf(wl_resource *resource) {
  return *static_cast<Configuration *>(wl_resource_get_user_data(resource));
}

const Head *HeadOf(wl_resource *head) {
  return static_cast<const Head *>(wl_resource_get_user_data(head));
}

Entry NewEntry(wl_resource *head, bool enabled) {
  Entry entry;
  entry.head = HeadOf(head);
  entry.enabled = enabled;
  return entry;
}

void EnableHead(wl_client *client, wl_resource *resource, uint32_t id,
                wl_resource *head) {
  Configuration &configuration = ConfigurationOf(resource);
  configuration.entries.push_back(NewEntry(head, true));
  wl_resource *entry =
      wl_resource_create(client, &zwlr_output_configuration_head_v1_interface,
                         wl_resource_get_version(resource), id);
  wl_resource_set_implementation(entry, &kConfigurationHead,
                                 &configuration.entries.back(), nullptr);
}

void DisableHead(wl_client * /*client*/, wl_resource *resource,
                 wl_resource *head) {
  ConfigurationOf(resource).entries.push_back(NewEntry(head, false));
}

void Apply(wl_client * /*client*/, wl_resource *resource) {
  std::fprintf(logFile, "apply\n");
  std::fflush(logFile);
  zwlr_output_configuration_v1_send_failed(resource);
}

void Test(wl_client * /*client*/, wl_resource *resource) {
  ++tests;
  if (tests == script.quitAtTest) {
    std::fprintf(logFile, "quit\n");
    std::fflush(logFile);
    std::_Exit(0);
  }
  if (tests == script.errorAtTest) {
    std::fprintf(logFile, "error\n");
    std::fflush(logFile);
    wl_resource_post_error(resource,
                           ZWLR_OUTPUT_CONFIGURATION_V1_ERROR_ALREADY_USED,
                           "scripted error");
    return;
  }
  const Configuration &configuration = ConfigurationOf(resource);
  const char *answer = "succeeded";
  for (const Entry &entry : configuration.entries) {
    if (Listed(script.refused, entry.mode)) {
      answer = "failed";
    } else if (Listed(script.cancelled, entry.mode)) {
      answer = "cancelled";
    }
  }
  if (configuration.serial != kSerial) {
    answer = "cancelled";
  }
  std::fprintf(logFile, "test serial=%u\n", configuration.serial);
  for (const Entry &entry : configuration.entries) {
    std::fprintf(logFile, "  %s\n", Describe(entry).c_str());
  }
  std::fprintf(logFile, "  %s\n", answer);
  std::fflush(logFile);
  if (answer[0] == 's') {
    zwlr_output_configuration_v1_send_succeeded(resource);
  } else if (answer[0] == 'f') {
    zwlr_output_configuration_v1_send_failed(resource);
  } else {
    zwlr_output_configuration_v1_send_cancelled(resource);
  }
}

void DestroyResource(wl_client * /*client*/, wl_resource *resource) {
  wl_resource_destroy(resource);
}

const struct zwlr_output_configuration_v1_interface kConfiguration = {
    EnableHead, DisableHead, Apply, Test, DestroyResource};

void FreeConfiguration(wl_resource *resource) {
  delete &ConfigurationOf(resource);
}

// Manager requests.
void CreateConfiguration(wl_client *client, wl_resource *resource, uint32_t id,
                         uint32_t serial) {
  wl_resource *configuration =
      wl_resource_create(client, &zwlr_output_configuration_v1_interface,
                         wl_resource_get_version(resource), id);
  wl_resource_set_implementation(configuration, &kConfiguration,
                                 new Configuration{serial, {}},
                                 FreeConfiguration);
}

void Stop(wl_client * /*client*/, wl_resource *resource) {
  zwlr_output_manager_v1_send_finished(resource);
  wl_resource_destroy(resource);
}

const struct zwlr_output_manager_v1_interface kManager = {CreateConfiguration,
                                                          Stop};

void SendHead(wl_client *client, wl_resource *manager, const Head &head) {
  const int version = wl_resource_get_version(manager);
  wl_resource *resource =
      wl_resource_create(client, &zwlr_output_head_v1_interface, version, 0);
  wl_resource_set_user_data(resource, const_cast<Head *>(&head));
  zwlr_output_manager_v1_send_head(manager, resource);
  zwlr_output_head_v1_send_name(resource, head.name.c_str());
  zwlr_output_head_v1_send_description(resource, head.name.c_str());
  wl_resource *current = nullptr;
  for (std::size_t i = 0; i < head.modes.size(); ++i) {
    const Mode &mode = head.modes[i];
    wl_resource *m =
        wl_resource_create(client, &zwlr_output_mode_v1_interface, version, 0);
    wl_resource_set_user_data(m, const_cast<Mode *>(&mode));
    zwlr_output_head_v1_send_mode(resource, m);
    zwlr_output_mode_v1_send_size(m, mode.width, mode.height);
    zwlr_output_mode_v1_send_refresh(m, mode.milliHz);
    if (static_cast<int>(i) == head.current) {
      current = m;
    }
  }
  zwlr_output_head_v1_send_enabled(resource, head.enabled ? 1 : 0);
  if (head.enabled) {
    if (current != nullptr) {
      zwlr_output_head_v1_send_current_mode(resource, current);
    }
    zwlr_output_head_v1_send_position(resource, head.x, head.y);
    zwlr_output_head_v1_send_transform(resource, head.transform);
    zwlr_output_head_v1_send_scale(resource, wl_fixed_from_double(head.scale));
  }
}

void BindManager(wl_client *client, void * /*data*/, uint32_t version,
                 uint32_t id) {
  wl_resource *manager = wl_resource_create(
      client, &zwlr_output_manager_v1_interface, static_cast<int>(version), id);
  wl_resource_set_implementation(manager, &kManager, nullptr, nullptr);
  for (const Head &head : script.heads) {
    SendHead(client, manager, head);
  }
  zwlr_output_manager_v1_send_done(manager, kSerial);
}

// KDE's output devices: one global per head.
void BindDevice(wl_client *client, void *data, uint32_t version, uint32_t id) {
  const Head &head = *static_cast<const Head *>(data);
  wl_resource *device = wl_resource_create(
      client, &kde_output_device_v2_interface, static_cast<int>(version), id);
  wl_resource_set_implementation(device, nullptr, nullptr, nullptr);
  if (version >= KDE_OUTPUT_DEVICE_V2_NAME_SINCE_VERSION) {
    kde_output_device_v2_send_name(device, head.name.c_str());
  }
  for (std::size_t i = 0; i < head.modes.size(); ++i) {
    const Mode &mode = head.modes[i];
    wl_resource *m =
        wl_resource_create(client, &kde_output_device_mode_v2_interface, 1, 0);
    kde_output_device_v2_send_mode(device, m);
    kde_output_device_mode_v2_send_size(m, mode.width, mode.height);
    kde_output_device_mode_v2_send_refresh(m, mode.milliHz);
    if (static_cast<int>(i) == head.current) {
      kde_output_device_v2_send_current_mode(device, m);
    }
  }
  kde_output_device_v2_send_enabled(device, head.enabled ? 1 : 0);
  kde_output_device_v2_send_done(device);
}

void BindOrder(wl_client *client, void * /*data*/, uint32_t version,
               uint32_t id) {
  wl_resource *order = wl_resource_create(
      client, &kde_output_order_v1_interface, static_cast<int>(version), id);
  wl_resource_set_implementation(order, nullptr, nullptr, nullptr);
  for (const std::string &name : script.order) {
    kde_output_order_v1_send_output(order, name.c_str());
  }
  kde_output_order_v1_send_done(order);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s SCRIPT LOG\n", argv[0]);
    return 2;
  }
  script = Read(argv[1]);
  logFile = std::fopen(argv[2], "w");
  display = wl_display_create();
  const char *socket = wl_display_add_socket_auto(display);
  if (logFile == nullptr || socket == nullptr) {
    std::fprintf(stderr, "cannot open the log or a socket\n");
    return 1;
  }
  if (script.kde) {
    for (Head &head : script.heads) {
      wl_global_create(display, &kde_output_device_v2_interface, 2, &head,
                       BindDevice);
    }
    if (script.hasOrder) {
      wl_global_create(display, &kde_output_order_v1_interface, 1, nullptr,
                       BindOrder);
    }
  } else {
    wl_global_create(display, &zwlr_output_manager_v1_interface, 2, nullptr,
                     BindManager);
  }
  std::printf("%s\n", socket);
  std::fflush(stdout);
  wl_display_run(display);
  return 0;
}
