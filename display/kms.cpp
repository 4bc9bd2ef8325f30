// The default display on a Linux console, through the kernel's mode
// setting (DRM/KMS).
//
// The default device is the first card, in the order card0, card1, …, that
// has a connected connector; on it the connector that drives an active
// CRTC, else the first connected one. Each of its modes is listed once per
// pixel format the CRTC's primary plane can scan out. A test is an atomic
// TEST_ONLY commit while the program can be DRM master, and a look at the
// list otherwise; nothing is ever committed.
#include <drm_fourcc.h>
#include <fcntl.h>
#include <unistd.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "refresh_rate.h"
#include "services.h"

namespace {

template <typename T, void (*Free)(T *)>
struct Deleter {
  void operator()(T *object) const { Free(object); }
};
using Resources =
    std::unique_ptr<drmModeRes, Deleter<drmModeRes, drmModeFreeResources>>;
using Connector =
    std::unique_ptr<drmModeConnector,
                    Deleter<drmModeConnector, drmModeFreeConnector>>;
using Encoder = std::unique_ptr<drmModeEncoder,
                                Deleter<drmModeEncoder, drmModeFreeEncoder>>;
using Crtc =
    std::unique_ptr<drmModeCrtc, Deleter<drmModeCrtc, drmModeFreeCrtc>>;
using Planes =
    std::unique_ptr<drmModePlaneRes,
                    Deleter<drmModePlaneRes, drmModeFreePlaneResources>>;
using Plane =
    std::unique_ptr<drmModePlane, Deleter<drmModePlane, drmModeFreePlane>>;
using Properties = std::unique_ptr<
    drmModeObjectProperties,
    Deleter<drmModeObjectProperties, drmModeFreeObjectProperties>>;
using Property =
    std::unique_ptr<drmModePropertyRes,
                    Deleter<drmModePropertyRes, drmModeFreeProperty>>;
using AtomicRequest =
    std::unique_ptr<drmModeAtomicReq,
                    Deleter<drmModeAtomicReq, drmModeAtomicFree>>;

struct Format {
  std::uint32_t bitsPerPel;
  std::uint32_t fourcc;
};
constexpr std::array<Format, 3> kFormats = {{{32, DRM_FORMAT_XRGB8888},
                                             {24, DRM_FORMAT_RGB888},
                                             {16, DRM_FORMAT_RGB565}}};

struct Entry {
  drmModeModeInfo mode;
  Format format;
  std::uint32_t frequency;
};

// Property ids that an atomic test commit sets.
struct AtomicIds {
  std::uint32_t connectorCrtc = 0;
  std::uint32_t crtcMode = 0;
  std::uint32_t crtcActive = 0;
  std::uint32_t planeFb = 0;
  std::uint32_t planeCrtc = 0;
  std::array<std::uint32_t, 8> planeRect{};  // SRC_X … CRTC_H
};

struct Snapshot {
  std::vector<Entry> entries;
  std::uint32_t connectorId = 0;
  std::uint32_t crtcId = 0;
  std::uint32_t planeId = 0;
  AtomicIds ids;
};

struct Card {
  int fd = -1;
  bool atomic = false;
  Snapshot snapshot;
};

Card card;

std::uint32_t FrequencyOf(const drmModeModeInfo &mode) {
  if (mode.vrefresh != 0) {
    return mode.vrefresh;
  }
  return RefreshRate(std::uint64_t{mode.clock} * 1000, mode.htotal, mode.vtotal,
                     (mode.flags & DRM_MODE_FLAG_DBLSCAN) != 0,
                     (mode.flags & DRM_MODE_FLAG_INTERLACE) != 0);
}

Connector ConnectorAt(int fd, const drmModeRes &resources, int i) {
  return Connector(drmModeGetConnector(fd, resources.connectors[i]));
}

bool Connected(const Connector &connector) {
  return connector != nullptr && connector->connection == DRM_MODE_CONNECTED &&
         connector->count_modes > 0;
}

bool HasConnectedConnector(int fd) {
  const Resources resources(drmModeGetResources(fd));
  if (resources == nullptr) {
    return false;
  }
  for (int i = 0; i < resources->count_connectors; ++i) {
    if (Connected(ConnectorAt(fd, *resources, i))) {
      return true;
    }
  }
  return false;
}

// The CRTC the connector drives now, 0 when none.
std::uint32_t ActiveCrtc(int fd, const drmModeConnector &connector) {
  const Encoder encoder(drmModeGetEncoder(fd, connector.encoder_id));
  if (encoder == nullptr || encoder->crtc_id == 0) {
    return 0;
  }
  const Crtc crtc(drmModeGetCrtc(fd, encoder->crtc_id));
  return crtc != nullptr && crtc->mode_valid != 0 ? crtc->crtc_id : 0;
}

// A CRTC the connector could drive: its current one, else the first that
// one of its encoders can use.
std::uint32_t UsableCrtc(int fd, const drmModeRes &resources,
                         const drmModeConnector &connector) {
  const std::uint32_t active = ActiveCrtc(fd, connector);
  if (active != 0) {
    return active;
  }
  for (int e = 0; e < connector.count_encoders; ++e) {
    const Encoder encoder(drmModeGetEncoder(fd, connector.encoders[e]));
    for (int c = 0; encoder != nullptr && c < resources.count_crtcs; ++c) {
      if ((encoder->possible_crtcs & (1U << c)) != 0) {
        return resources.crtcs[c];
      }
    }
  }
  return 0;
}

Connector DefaultConnector(int fd, const drmModeRes &resources) {
  Connector first;
  for (int i = 0; i < resources.count_connectors; ++i) {
    Connector connector = ConnectorAt(fd, resources, i);
    if (!Connected(connector)) {
      continue;
    }
    if (ActiveCrtc(fd, *connector) != 0) {
      return connector;
    }
    if (first == nullptr) {
      first = std::move(connector);
    }
  }
  return first;
}

// Calls `found(name, id)` for every property of a KMS object.
template <typename Found>
void ForEachProperty(int fd, std::uint32_t object, std::uint32_t type,
                     Found found) {
  const Properties properties(drmModeObjectGetProperties(fd, object, type));
  for (std::uint32_t i = 0;
       properties != nullptr && i < properties->count_props; ++i) {
    const Property property(drmModeGetProperty(fd, properties->props[i]));
    if (property != nullptr) {
      found(std::string(property->name), property->prop_id,
            properties->prop_values[i]);
    }
  }
}

bool IsPrimary(int fd, std::uint32_t plane) {
  bool primary = false;
  ForEachProperty(
      fd, plane, DRM_MODE_OBJECT_PLANE,
      [&](const std::string &name, std::uint32_t, std::uint64_t value) {
        primary =
            primary || (name == "type" && value == DRM_PLANE_TYPE_PRIMARY);
      });
  return primary;
}

Plane PrimaryPlane(int fd, const drmModeRes &resources, std::uint32_t crtcId) {
  int crtcIndex = 0;
  while (crtcIndex < resources.count_crtcs &&
         resources.crtcs[crtcIndex] != crtcId) {
    ++crtcIndex;
  }
  const Planes planes(drmModeGetPlaneResources(fd));
  for (std::uint32_t i = 0; planes != nullptr && i < planes->count_planes;
       ++i) {
    Plane plane(drmModeGetPlane(fd, planes->planes[i]));
    if (plane != nullptr && (plane->possible_crtcs & (1U << crtcIndex)) != 0 &&
        IsPrimary(fd, plane->plane_id)) {
      return plane;
    }
  }
  return nullptr;
}

bool Supports(const drmModePlane &plane, std::uint32_t fourcc) {
  for (std::uint32_t i = 0; i < plane.count_formats; ++i) {
    if (plane.formats[i] == fourcc) {
      return true;
    }
  }
  return false;
}

AtomicIds AtomicIdsOf(int fd, const Snapshot &snapshot) {
  static const char *const kRect[] = {"SRC_X",  "SRC_Y",  "SRC_W",  "SRC_H",
                                      "CRTC_X", "CRTC_Y", "CRTC_W", "CRTC_H"};
  AtomicIds ids;
  ForEachProperty(
      fd, snapshot.connectorId, DRM_MODE_OBJECT_CONNECTOR,
      [&](const std::string &name, std::uint32_t id, std::uint64_t) {
        ids.connectorCrtc = name == "CRTC_ID" ? id : ids.connectorCrtc;
      });
  ForEachProperty(
      fd, snapshot.crtcId, DRM_MODE_OBJECT_CRTC,
      [&](const std::string &name, std::uint32_t id, std::uint64_t) {
        ids.crtcMode = name == "MODE_ID" ? id : ids.crtcMode;
        ids.crtcActive = name == "ACTIVE" ? id : ids.crtcActive;
      });
  ForEachProperty(
      fd, snapshot.planeId, DRM_MODE_OBJECT_PLANE,
      [&](const std::string &name, std::uint32_t id, std::uint64_t) {
        ids.planeFb = name == "FB_ID" ? id : ids.planeFb;
        ids.planeCrtc = name == "CRTC_ID" ? id : ids.planeCrtc;
        for (std::size_t r = 0; r < ids.planeRect.size(); ++r) {
          ids.planeRect[r] = name == kRect[r] ? id : ids.planeRect[r];
        }
      });
  return ids;
}

Snapshot TakeSnapshot(int fd) {
  Snapshot snapshot;
  const Resources resources(drmModeGetResources(fd));
  if (resources == nullptr) {
    return snapshot;
  }
  const Connector connector = DefaultConnector(fd, *resources);
  if (connector == nullptr) {
    return snapshot;
  }
  snapshot.connectorId = connector->connector_id;
  snapshot.crtcId = UsableCrtc(fd, *resources, *connector);
  const Plane plane = PrimaryPlane(fd, *resources, snapshot.crtcId);
  if (snapshot.crtcId == 0 || plane == nullptr) {
    return snapshot;
  }
  snapshot.planeId = plane->plane_id;
  for (int m = 0; m < connector->count_modes; ++m) {
    for (const Format &format : kFormats) {
      if (Supports(*plane, format.fourcc)) {
        const drmModeModeInfo &mode = connector->modes[m];
        snapshot.entries.push_back(Entry{mode, format, FrequencyOf(mode)});
      }
    }
  }
  snapshot.ids = AtomicIdsOf(fd, snapshot);
  return snapshot;
}

const Entry *Find(const DEVMODEA &mode) {
  for (const Entry &entry : card.snapshot.entries) {
    if (entry.mode.hdisplay == mode.dmPelsWidth &&
        entry.mode.vdisplay == mode.dmPelsHeight &&
        entry.frequency == mode.dmDisplayFrequency &&
        entry.format.bitsPerPel == mode.dmBitsPerPel) {
      return &entry;
    }
  }
  return nullptr;
}

// A framebuffer of the mode's size and format, freed with everything it
// holds when it goes out of scope.
class TestFramebuffer {
 public:
  TestFramebuffer(int fd, const Entry &entry) : fd_(fd) {
    drm_mode_create_dumb create{};
    create.width = entry.mode.hdisplay;
    create.height = entry.mode.vdisplay;
    create.bpp = entry.format.bitsPerPel;
    if (drmIoctl(fd, DRM_IOCTL_MODE_CREATE_DUMB, &create) != 0) {
      return;
    }
    handle_ = create.handle;
    const std::uint32_t handles[4] = {handle_};
    const std::uint32_t pitches[4] = {create.pitch};
    const std::uint32_t offsets[4] = {0};
    if (drmModeAddFB2(fd, create.width, create.height, entry.format.fourcc,
                      handles, pitches, offsets, &id_, 0) != 0) {
      id_ = 0;
    }
  }
  ~TestFramebuffer() {
    if (id_ != 0) {
      drmModeRmFB(fd_, id_);
    }
    if (handle_ != 0) {
      drm_mode_destroy_dumb destroy{};
      destroy.handle = handle_;
      drmIoctl(fd_, DRM_IOCTL_MODE_DESTROY_DUMB, &destroy);
    }
  }
  TestFramebuffer(const TestFramebuffer &) = delete;
  TestFramebuffer &operator=(const TestFramebuffer &) = delete;
  std::uint32_t id() const { return id_; }

 private:
  int fd_;
  std::uint32_t handle_ = 0;
  std::uint32_t id_ = 0;
};

// Asks the kernel whether the entry's mode and format could be set on the
// CRTC. TEST_ONLY: the kernel checks the whole state and changes nothing.
long AtomicTest(int fd, const Snapshot &snapshot, const Entry &entry) {
  const TestFramebuffer framebuffer(fd, entry);
  std::uint32_t blob = 0;
  if (framebuffer.id() == 0 ||
      drmModeCreatePropertyBlob(fd, &entry.mode, sizeof entry.mode, &blob) !=
          0) {
    return DISP_CHANGE_FAILED;
  }
  const AtomicIds &ids = snapshot.ids;
  const std::uint32_t width = entry.mode.hdisplay;
  const std::uint32_t height = entry.mode.vdisplay;
  const std::uint64_t rect[] = {0,
                                0,
                                std::uint64_t{width} << 16,
                                std::uint64_t{height} << 16,
                                0,
                                0,
                                width,
                                height};
  const AtomicRequest request(drmModeAtomicAlloc());
  drmModeAtomicReq *req = request.get();
  drmModeAtomicAddProperty(req, snapshot.connectorId, ids.connectorCrtc,
                           snapshot.crtcId);
  drmModeAtomicAddProperty(req, snapshot.crtcId, ids.crtcMode, blob);
  drmModeAtomicAddProperty(req, snapshot.crtcId, ids.crtcActive, 1);
  drmModeAtomicAddProperty(req, snapshot.planeId, ids.planeFb,
                           framebuffer.id());
  drmModeAtomicAddProperty(req, snapshot.planeId, ids.planeCrtc,
                           snapshot.crtcId);
  for (std::size_t r = 0; r < ids.planeRect.size(); ++r) {
    drmModeAtomicAddProperty(req, snapshot.planeId, ids.planeRect[r], rect[r]);
  }
  const int result = drmModeAtomicCommit(
      fd, req, DRM_MODE_ATOMIC_TEST_ONLY | DRM_MODE_ATOMIC_ALLOW_MODESET,
      nullptr);
  drmModeDestroyPropertyBlob(fd, blob);
  return result == 0 ? DISP_CHANGE_SUCCESSFUL : DISP_CHANGE_BADMODE;
}

}  // namespace

bool KmsOpen() {
  for (int number = 0; number < 64; ++number) {
    const std::string path = "/dev/dri/card" + std::to_string(number);
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
      continue;
    }
    card.fd = fd;
    drmSetClientCap(fd, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1);
    if (HasConnectedConnector(fd)) {
      card.atomic = drmSetClientCap(fd, DRM_CLIENT_CAP_ATOMIC, 1) == 0;
      // The first opener of an unheld card becomes its master; hold it
      // only while testing, so nobody else is kept from the display.
      if (drmIsMaster(fd) != 0) {
        drmDropMaster(fd);
      }
      return true;
    }
    close(fd);
    card.fd = -1;
  }
  return false;
}

void KmsRefresh() { card.snapshot = TakeSnapshot(card.fd); }

int KmsReadMode(std::uint32_t index, DEVMODEA &mode) {
  const std::vector<Entry> &entries = card.snapshot.entries;
  if (index >= entries.size()) {
    return 0;
  }
  const Entry &entry = entries[index];
  FillMode(mode, entry.mode.hdisplay, entry.mode.vdisplay,
           entry.format.bitsPerPel, entry.frequency,
           (entry.mode.flags & DRM_MODE_FLAG_INTERLACE) != 0);
  return 1;
}

long KmsTestMode(const DEVMODEA &mode) {
  const Entry *entry = Find(mode);
  if (entry == nullptr) {
    return DISP_CHANGE_BADMODE;
  }
  // Only a master may test a commit; someone else holding the display
  // (a compositor, an X server) leaves the list as the answer.
  if (!card.atomic || drmSetMaster(card.fd) != 0) {
    return DISP_CHANGE_SUCCESSFUL;
  }
  const long result = AtomicTest(card.fd, card.snapshot, *entry);
  drmDropMaster(card.fd);
  return result;
}
