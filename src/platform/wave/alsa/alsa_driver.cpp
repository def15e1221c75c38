// The ALSA driver: wave devices on sound hardware and sound servers through libasound.
//
// Implements the WaveDriver contract of wave_driver.h.  Devices of each direction are ALSA's
// "default" PCM first (where PipeWire or PulseAudio live; it is also the wave mapper's device),
// then every device of every sound card as plughw:CARD=<id>,DEV=<n>, named "<card>: <device>".
// A device that cannot be opened in a direction when that direction's devices are first asked
// for is not listed for it (hardware held by a sound server, for example).  libasound reads its
// configuration and reaches the sound server only then: a process that never asks about a device
// never touches them.  Only 8- and 16-bit PCM with one or two channels is served; the plug layers
// of ALSA convert rates where the device cannot.
//
// Each open device has a device loop thread that alone touches the PCM.  The PCM is opened
// non-blocking and the loop waits in poll() on its descriptors together with an eventfd, so the
// slots (start, stop, reset, close) only set flags and wake the loop and never wait for the
// device.  Under-runs and over-runs are recovered; any other error of the device (unplugged,
// sound server gone) ends delivery: an input reports the loss to its port (WavePort::Lost), and
// the loop leaves the port alone until close.
#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/wave/wave_driver.h"

namespace voxl::wave {
namespace {

// libasound is loaded when the driver is first probed, not with the library, so a process that
// never asks about a device does not load it at all (and a machine without it still runs, from
// the virtual devices).  Every function the driver calls comes from this table.
// clang-format off
#define VOXL_ALSA_FUNCTIONS(X)                              \
  X(snd_card_next)                                          \
  X(snd_ctl_card_info)                                      \
  X(snd_ctl_card_info_free)                                 \
  X(snd_ctl_card_info_get_id)                               \
  X(snd_ctl_card_info_get_name)                             \
  X(snd_ctl_card_info_malloc)                               \
  X(snd_ctl_close)                                          \
  X(snd_ctl_open)                                           \
  X(snd_ctl_pcm_info)                                       \
  X(snd_ctl_pcm_next_device)                                \
  X(snd_device_name_free_hint)                              \
  X(snd_device_name_get_hint)                               \
  X(snd_device_name_hint)                                   \
  X(snd_lib_error_set_handler)                              \
  X(snd_pcm_avail_update)                                   \
  X(snd_pcm_close)                                          \
  X(snd_pcm_delay)                                          \
  X(snd_pcm_drop)                                           \
  X(snd_pcm_hw_params)                                      \
  X(snd_pcm_hw_params_any)                                  \
  X(snd_pcm_hw_params_copy)                                 \
  X(snd_pcm_hw_params_free)                                 \
  X(snd_pcm_hw_params_get_buffer_size)                      \
  X(snd_pcm_hw_params_get_channels_max)                     \
  X(snd_pcm_hw_params_get_period_size)                      \
  X(snd_pcm_hw_params_malloc)                               \
  X(snd_pcm_hw_params_set_access)                           \
  X(snd_pcm_hw_params_set_buffer_time_near)                 \
  X(snd_pcm_hw_params_set_channels)                         \
  X(snd_pcm_hw_params_set_format)                           \
  X(snd_pcm_hw_params_set_period_size_last)                 \
  X(snd_pcm_hw_params_set_period_size_max)                  \
  X(snd_pcm_hw_params_set_period_size_near)                 \
  X(snd_pcm_hw_params_set_period_time_near)                 \
  X(snd_pcm_hw_params_set_rate)                             \
  X(snd_pcm_hw_params_test_rate)                            \
  X(snd_pcm_info_free)                                      \
  X(snd_pcm_info_get_name)                                  \
  X(snd_pcm_info_malloc)                                    \
  X(snd_pcm_info_set_device)                                \
  X(snd_pcm_info_set_stream)                                \
  X(snd_pcm_info_set_subdevice)                             \
  X(snd_pcm_open)                                           \
  X(snd_pcm_poll_descriptors)                               \
  X(snd_pcm_poll_descriptors_count)                         \
  X(snd_pcm_poll_descriptors_revents)                       \
  X(snd_pcm_prepare)                                        \
  X(snd_pcm_readi)                                          \
  X(snd_pcm_recover)                                        \
  X(snd_pcm_start)                                          \
  X(snd_pcm_state)                                          \
  X(snd_pcm_status)                                         \
  X(snd_pcm_status_free)                                    \
  X(snd_pcm_status_get_htstamp)                             \
  X(snd_pcm_status_get_trigger_htstamp)                     \
  X(snd_pcm_status_malloc)                                  \
  X(snd_pcm_sw_params)                                      \
  X(snd_pcm_sw_params_current)                              \
  X(snd_pcm_sw_params_free)                                 \
  X(snd_pcm_sw_params_get_boundary)                         \
  X(snd_pcm_sw_params_malloc)                               \
  X(snd_pcm_sw_params_set_avail_min)                        \
  X(snd_pcm_sw_params_set_start_threshold)                  \
  X(snd_pcm_writei)
// clang-format on

struct AlsaLibrary {
#define VOXL_ALSA_SLOT(name) decltype(&::name) name = nullptr;
  VOXL_ALSA_FUNCTIONS(VOXL_ALSA_SLOT)
#undef VOXL_ALSA_SLOT
};

// The loaded library, or null when it cannot be loaded or lacks a function; loaded at the first
// call (thread-safe), kept for the life of the process.
const AlsaLibrary* LoadedAlsa() {
  static const AlsaLibrary* const library = []() -> const AlsaLibrary* {
    void* handle = dlopen("libasound.so.2", RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return nullptr;
    auto* table = new AlsaLibrary;
    bool complete = true;
#define VOXL_ALSA_LOOK_UP(name)                                            \
  table->name = reinterpret_cast<decltype(&::name)>(dlsym(handle, #name)); \
  complete = complete && table->name != nullptr;
    VOXL_ALSA_FUNCTIONS(VOXL_ALSA_LOOK_UP)
#undef VOXL_ALSA_LOOK_UP
    if (!complete) {
      delete table;
      dlclose(handle);
      return nullptr;
    }
    return table;
  }();
  return library;
}

// The table, once LoadedAlsa answered it: every caller is reached only through a device that
// was listed, which takes the library.
const AlsaLibrary& Alsa() {
  return *LoadedAlsa();
}

// Device loop timing.  A period is what one read or write moves, and the loop wakes once per
// period; the buffer is what the device holds.  Capture reads periods of the recorder's 0.1 s
// buffers (or the largest the device allows below that), so the loop wakes once for each buffer
// it fills, and keeps a deeper buffer so a slow application thread does not cause over-runs.
// Playback keeps short periods: what the device holds is what a pause still lets through.
constexpr unsigned kInputPeriodDivisor = 10;  // frames per period = rate / 10: 0.1 s
constexpr unsigned kInputBufferMicros = 500000;
constexpr unsigned kOutputPeriodMicros = 20000;
constexpr unsigned kOutputBufferMicros = 100000;
// Longest single wait of the device loop; the loop re-checks the device after it, so a plugin
// whose descriptors miss an event costs latency, never a hang.
constexpr int kMaxWaitMillis = 200;

// The sample rates of the WAVE_FORMAT_* capability bits, in the order of the bits.
constexpr unsigned kCapsRates[] = {11025, 22050, 44100, 48000, 96000};

struct AlsaDevice {
  std::string pcm;   // the name given to snd_pcm_open
  std::string name;  // readable name for the capabilities (see NameLocked for "default")
  DWORD formats = 0;
  WORD channels = 0;
};

// The devices, found when first needed: a direction's list when a slot first asks about that
// direction, the name of the "default" device (asking ALSA for it reads every device definition,
// the costliest step) when its capabilities are first asked.  init starts over.
struct DeviceTable {
  std::mutex mutex;
  bool listed[2] = {false, false};     // indexed by Direction
  std::vector<AlsaDevice> devices[2];  // indexed by Direction
  bool defaultNamed = false;
  std::string defaultName;
};

DeviceTable& Table() {
  static DeviceTable table;
  return table;
}

size_t IndexOf(Direction dir) {
  return dir == Direction::Input ? 0 : 1;
}

snd_pcm_stream_t StreamOf(Direction dir) {
  return dir == Direction::Input ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK;
}

struct PcmCloser {
  void operator()(snd_pcm_t* pcm) const { Alsa().snd_pcm_close(pcm); }
};
using PcmPtr = std::unique_ptr<snd_pcm_t, PcmCloser>;

struct HwParamsFree {
  void operator()(snd_pcm_hw_params_t* p) const { Alsa().snd_pcm_hw_params_free(p); }
};
using HwParamsPtr = std::unique_ptr<snd_pcm_hw_params_t, HwParamsFree>;

struct SwParamsFree {
  void operator()(snd_pcm_sw_params_t* p) const { Alsa().snd_pcm_sw_params_free(p); }
};
using SwParamsPtr = std::unique_ptr<snd_pcm_sw_params_t, SwParamsFree>;

HwParamsPtr NewHwParams() {
  snd_pcm_hw_params_t* p = nullptr;
  return HwParamsPtr(Alsa().snd_pcm_hw_params_malloc(&p) == 0 ? p : nullptr);
}

// libasound reports configuration problems on stderr (for example "cannot find card 0" on a
// machine without sound hardware).  Failures reach the application as result codes instead, so
// the messages stay quiet.
void QuietAlsaError(const char*, int, const char*, int, const char*, ...) {}

// Opens without blocking: a device held by another program answers -EBUSY at once.
int OpenPcm(const std::string& name, Direction dir, PcmPtr* out) {
  snd_pcm_t* pcm = nullptr;
  int err = Alsa().snd_pcm_open(&pcm, name.c_str(), StreamOf(dir), SND_PCM_NONBLOCK);
  if (err < 0) return err;
  out->reset(pcm);
  return 0;
}

MMRESULT OpenErrorResult(int err) {
  switch (-err) {
    case EBUSY:
    case EAGAIN:
      return MMSYSERR_ALLOCATED;
    case ENOMEM:
      return MMSYSERR_NOMEM;
    default:
      return MMSYSERR_BADDEVICEID;
  }
}

snd_pcm_format_t SampleFormat(WORD bits) {
  return bits == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE;
}

// The PCM formats this driver serves: 8 or 16 bits, 1 or 2 channels, a consistent block size.
bool IsServedFormat(const WAVEFORMATEX& f) {
  if (f.wFormatTag != WAVE_FORMAT_PCM) return false;
  if (f.wBitsPerSample != 8 && f.wBitsPerSample != 16) return false;
  if (f.nChannels != 1 && f.nChannels != 2) return false;
  if (f.nSamplesPerSec == 0) return false;
  return f.nBlockAlign == f.nChannels * f.wBitsPerSample / 8;
}

// Whether the device accepts interleaved samples of the format at exactly this rate.
// `any` is the device's full configuration space; it is left unchanged.
bool Accepts(snd_pcm_t* pcm, const snd_pcm_hw_params_t* any, snd_pcm_format_t format,
             unsigned channels, unsigned rate) {
  HwParamsPtr p = NewHwParams();
  if (!p) return false;
  Alsa().snd_pcm_hw_params_copy(p.get(), any);
  return Alsa().snd_pcm_hw_params_set_access(pcm, p.get(), SND_PCM_ACCESS_RW_INTERLEAVED) == 0 &&
         Alsa().snd_pcm_hw_params_set_format(pcm, p.get(), format) == 0 &&
         Alsa().snd_pcm_hw_params_set_channels(pcm, p.get(), channels) == 0 &&
         Alsa().snd_pcm_hw_params_test_rate(pcm, p.get(), rate, 0) == 0;
}

// Opens the device for a moment and fills its capability bits.  False when it cannot open.
bool ProbeDevice(Direction dir, AlsaDevice* device) {
  PcmPtr pcm;
  if (OpenPcm(device->pcm, dir, &pcm) < 0) return false;
  HwParamsPtr any = NewHwParams();
  if (!any || Alsa().snd_pcm_hw_params_any(pcm.get(), any.get()) < 0) return false;
  DWORD formats = 0;
  for (size_t r = 0; r < std::size(kCapsRates); ++r) {
    for (unsigned stereo = 0; stereo < 2; ++stereo) {
      for (unsigned sixteen = 0; sixteen < 2; ++sixteen) {
        snd_pcm_format_t format = sixteen ? SND_PCM_FORMAT_S16_LE : SND_PCM_FORMAT_U8;
        if (Accepts(pcm.get(), any.get(), format, stereo + 1, kCapsRates[r])) {
          formats |= (DWORD{1} << (4 * r)) << (stereo + 2 * sixteen);
        }
      }
    }
  }
  unsigned maxChannels = 0;
  if (Alsa().snd_pcm_hw_params_get_channels_max(any.get(), &maxChannels) < 0) maxChannels = 1;
  device->formats = formats;
  device->channels = static_cast<WORD>(std::clamp(maxChannels, 1u, 2u));
  return true;
}

// "Default", with the sound server behind ALSA's default device when its hint names one.
std::string DefaultDeviceName() {
  std::string description;
  void** hints = nullptr;
  if (Alsa().snd_device_name_hint(-1, "pcm", &hints) == 0) {
    for (void** hint = hints; *hint != nullptr; ++hint) {
      char* name = Alsa().snd_device_name_get_hint(*hint, "NAME");
      if (name != nullptr && std::strcmp(name, "default") == 0) {
        char* desc = Alsa().snd_device_name_get_hint(*hint, "DESC");
        if (desc != nullptr) description = desc;
        free(desc);
      }
      free(name);
    }
    Alsa().snd_device_name_free_hint(hints);
  }
  for (const char* server : {"PipeWire", "PulseAudio", "JACK"}) {
    if (description.find(server) != std::string::npos) {
      return std::string("Default (") + server + ")";
    }
  }
  return "Default";
}

// Every PCM device of every sound card that serves `dir`, in card order, through the plug layer.
void AddCardDevices(Direction dir, std::vector<AlsaDevice>* devices) {
  int card = -1;
  while (Alsa().snd_card_next(&card) == 0 && card >= 0) {
    char hw[32];
    std::snprintf(hw, sizeof hw, "hw:%d", card);
    snd_ctl_t* ctl = nullptr;
    if (Alsa().snd_ctl_open(&ctl, hw, 0) < 0) continue;
    snd_ctl_card_info_t* info = nullptr;
    snd_pcm_info_t* pcmInfo = nullptr;
    if (Alsa().snd_ctl_card_info_malloc(&info) == 0 && Alsa().snd_pcm_info_malloc(&pcmInfo) == 0 &&
        Alsa().snd_ctl_card_info(ctl, info) == 0) {
      const std::string id = Alsa().snd_ctl_card_info_get_id(info);
      const std::string cardName = Alsa().snd_ctl_card_info_get_name(info);
      int dev = -1;
      while (Alsa().snd_ctl_pcm_next_device(ctl, &dev) == 0 && dev >= 0) {
        Alsa().snd_pcm_info_set_device(pcmInfo, static_cast<unsigned>(dev));
        Alsa().snd_pcm_info_set_subdevice(pcmInfo, 0);
        Alsa().snd_pcm_info_set_stream(pcmInfo, StreamOf(dir));
        if (Alsa().snd_ctl_pcm_info(ctl, pcmInfo) < 0) continue;  // no such direction
        AlsaDevice device;
        device.pcm = "plughw:CARD=" + id + ",DEV=" + std::to_string(dev);
        device.name = cardName + ": " + Alsa().snd_pcm_info_get_name(pcmInfo);
        if (ProbeDevice(dir, &device)) devices->push_back(std::move(device));
      }
    }
    Alsa().snd_pcm_info_free(pcmInfo);
    Alsa().snd_ctl_card_info_free(info);
    Alsa().snd_ctl_close(ctl);
  }
}

// The devices of one direction, found at the first call for it: ALSA's "default" (named when
// first asked, see NameLocked), then the card devices.  Caller holds the table's lock.
std::vector<AlsaDevice>& ListLocked(DeviceTable& table, Direction dir) {
  std::vector<AlsaDevice>& devices = table.devices[IndexOf(dir)];
  if (!table.listed[IndexOf(dir)]) {
    table.listed[IndexOf(dir)] = true;
    devices.clear();
    if (LoadedAlsa() == nullptr) return devices;  // no libasound: no device
    AlsaDevice device;
    device.pcm = "default";
    if (ProbeDevice(dir, &device)) devices.push_back(std::move(device));
    AddCardDevices(dir, &devices);
  }
  return devices;
}

// The readable name of a listed device; the "default" device's is found at the first call.
// Caller holds the table's lock.
std::string NameLocked(DeviceTable& table, const AlsaDevice& device) {
  if (device.pcm != "default") return device.name;
  if (!table.defaultNamed) {
    table.defaultName = DefaultDeviceName();
    table.defaultNamed = true;
  }
  return table.defaultName;
}

// Forgets what was found (the environment may have changed since: tests choose again) and
// answers whether ALSA serves a device.  The default device's input and output are tried first,
// so where a sound server runs one open answers; the lists are completed when first asked.
bool AlsaInit() {
  if (LoadedAlsa() == nullptr) return false;
  static std::once_flag quiet;
  std::call_once(quiet, [] { Alsa().snd_lib_error_set_handler(QuietAlsaError); });

  DeviceTable& table = Table();
  std::lock_guard lock(table.mutex);
  table.listed[0] = table.listed[1] = false;
  table.defaultNamed = false;
  return !ListLocked(table, Direction::Input).empty() ||
         !ListLocked(table, Direction::Output).empty();
}

UINT AlsaCount(Direction dir) {
  DeviceTable& table = Table();
  std::lock_guard lock(table.mutex);
  return static_cast<UINT>(ListLocked(table, dir).size());
}

bool LookUp(Direction dir, UINT device, AlsaDevice* out, bool withName = false) {
  DeviceTable& table = Table();
  std::lock_guard lock(table.mutex);
  const auto& devices = ListLocked(table, dir);
  if (device >= devices.size()) return false;
  *out = devices[device];
  if (withName) out->name = NameLocked(table, devices[device]);
  return true;
}

MMRESULT AlsaCaps(Direction dir, UINT device, DeviceCaps* caps) {
  AlsaDevice found;
  if (caps == nullptr || !LookUp(dir, device, &found, true)) return MMSYSERR_BADDEVICEID;
  std::snprintf(caps->name, sizeof caps->name, "%s", found.name.c_str());
  caps->formats = found.formats;
  caps->channels = found.channels;
  return MMSYSERR_NOERROR;
}

// ALSA's "default" is always listed first when it opens; otherwise the first device stands in.
UINT AlsaDefaultDevice(Direction) {
  return 0;
}

MMRESULT AlsaQuery(Direction dir, UINT device, const WAVEFORMATEX* format) {
  AlsaDevice found;
  if (!LookUp(dir, device, &found)) return MMSYSERR_BADDEVICEID;
  if (format == nullptr || !IsServedFormat(*format)) return WAVERR_BADFORMAT;
  PcmPtr pcm;
  if (int err = OpenPcm(found.pcm, dir, &pcm); err < 0) return OpenErrorResult(err);
  HwParamsPtr any = NewHwParams();
  if (!any) return MMSYSERR_NOMEM;
  if (Alsa().snd_pcm_hw_params_any(pcm.get(), any.get()) < 0) return MMSYSERR_BADDEVICEID;
  return Accepts(pcm.get(), any.get(), SampleFormat(format->wBitsPerSample), format->nChannels,
                 format->nSamplesPerSec)
             ? MMSYSERR_NOERROR
             : WAVERR_BADFORMAT;
}

// ---------------------------------------------------------------------------------------------
// Open devices.

// One open device.  The front end holds it as an opaque DriverStream pointer.
struct AlsaStream {
  Direction dir = Direction::Input;
  WavePort* port = nullptr;
  PcmPtr pcm;
  int wakeFd = -1;  // eventfd: written by the slots, read by the device loop
  size_t frameBytes = 0;
  snd_pcm_uframes_t periodFrames = 0;
  snd_pcm_uframes_t bufferFrames = 0;
  int periodMillis = 20;
  std::vector<uint8_t> buffer;  // one period, so the loop allocates nothing
  std::vector<pollfd> fds;      // the eventfd, then the PCM's descriptors
  std::thread loop;

  std::atomic<bool> quit{false};
  std::atomic<bool> resetRequested{false};

  // Input, device loop only: the device's output against the steady clock since the first read
  // after input started (DeviceClock).  `shortfall` is the frames the clock says should have come
  // and did not, as last taken for granted (it follows the drift between the two clocks).
  bool clockKnown = false;
  std::chrono::steady_clock::time_point clockStart, lastCheck;
  uint64_t framesRead = 0;
  double shortfall = 0.0;

  ~AlsaStream() {
    if (wakeFd >= 0) close(wakeFd);
  }
};

AlsaStream* FromDriver(DriverStream* stream) {
  return reinterpret_cast<AlsaStream*>(stream);
}
DriverStream* ToDriver(AlsaStream* stream) {
  return reinterpret_cast<DriverStream*>(stream);
}

void Signal(AlsaStream* s) {
  uint64_t one = 1;
  ssize_t written = write(s->wakeFd, &one, sizeof one);
  (void)written;  // a full counter already wakes the loop
}

void DrainWake(AlsaStream* s) {
  uint64_t count = 0;
  ssize_t got = read(s->wakeFd, &count, sizeof count);
  (void)got;
}

// Waits until the device is ready, the stream is signalled or `timeoutMillis` passed.
void WaitDevice(AlsaStream* s, int timeoutMillis) {
  snd_pcm_t* pcm = s->pcm.get();
  const unsigned pcmFds = static_cast<unsigned>(s->fds.size() - 1);
  s->fds[0] = {s->wakeFd, POLLIN, 0};
  if (Alsa().snd_pcm_poll_descriptors(pcm, &s->fds[1], pcmFds) < 0) {
    // Fall back to waiting on the eventfd alone, with the timeout bounding the wait.
    poll(s->fds.data(), 1, timeoutMillis);
  } else {
    poll(s->fds.data(), pcmFds + 1, timeoutMillis);
    unsigned short revents = 0;
    // Plugins translate their descriptors' events here; the loop re-checks the device itself.
    Alsa().snd_pcm_poll_descriptors_revents(pcm, &s->fds[1], pcmFds, &revents);
  }
  if (s->fds[0].revents & POLLIN) DrainWake(s);
}

// Waits for the slots only: close, start, stop, reset.
void WaitSignal(AlsaStream* s, int timeoutMillis) {
  pollfd fd{s->wakeFd, POLLIN, 0};
  if (poll(&fd, 1, timeoutMillis) > 0 && (fd.revents & POLLIN)) DrainWake(s);
}

// The device failed or the port is closing: deliver nothing more and leave the port alone
// until close.
void Park(AlsaStream* s) {
  while (!s->quit.load()) WaitSignal(s, -1);
}

bool IsXrun(long err) {
  return err == -EPIPE || err == -ESTRPIPE;
}

// Recovers from an under-run or over-run (or a suspend); false when the device is lost.
bool Recover(AlsaStream* s, long err) {
  return Alsa().snd_pcm_recover(s->pcm.get(), static_cast<int>(err), 1) == 0;
}

// Seconds from the moment the device stopped (its trigger time: the over-run or the suspend) to
// the moment of the status, as the device tells them; 0 when it does not.
double SecondsSinceTrigger(AlsaStream* s) {
  snd_pcm_status_t* status = nullptr;
  if (Alsa().snd_pcm_status_malloc(&status) < 0) return 0.0;
  double seconds = 0.0;
  if (Alsa().snd_pcm_status(s->pcm.get(), status) == 0) {
    snd_htimestamp_t began{}, now{};
    Alsa().snd_pcm_status_get_trigger_htstamp(status, &began);
    Alsa().snd_pcm_status_get_htstamp(status, &now);
    const double elapsed =
        double(now.tv_sec - began.tv_sec) + 1e-9 * double(now.tv_nsec - began.tv_nsec);
    if (began.tv_sec != 0 && elapsed > 0.0 && elapsed < 86400.0) seconds = elapsed;
  }
  Alsa().snd_pcm_status_free(status);
  return seconds;
}

// An input's Recover: the audio lost in an over-run or a suspend goes to the port as a gap, the
// device's whole buffer (the restart drops what it held) and the time from the moment it stopped
// until it runs again.
bool RecoverInput(AlsaStream* s, long err) {
  if (!IsXrun(err)) return Recover(s, err);
  const double stopped = SecondsSinceTrigger(s);
  const auto began = std::chrono::steady_clock::now();
  if (!Recover(s, err)) return false;
  const std::chrono::duration<double> recovering = std::chrono::steady_clock::now() - began;
  const double rate = s->port->format().nSamplesPerSec;
  s->port->Gap(s->bufferFrames + static_cast<uint64_t>((stopped + recovering.count()) * rate));
  s->clockKnown = false;  // reported: the clock starts again
  return true;
}

// A sound server that cannot hand audio to a client that stalled drops it without an over-run
// of the device: the audio read (and still waiting) then falls behind the time that passed.  A
// shortfall that grows by more than kClockGapSeconds between two reads is a gap; slower growth
// is the drift between the device's clock and the system's, followed without a report.
constexpr double kClockGapSeconds = 0.1;
constexpr double kDriftPerSecond = 0.001;  // the most the shortfall shrinks per second followed

// Returns the frames of a gap that came before the `frames` just read (0 for none).
uint64_t TrackDeviceClock(AlsaStream* s, snd_pcm_sframes_t frames) {
  const auto now = std::chrono::steady_clock::now();
  s->framesRead += static_cast<uint64_t>(frames);
  const snd_pcm_sframes_t avail = Alsa().snd_pcm_avail_update(s->pcm.get());
  const double rate = s->port->format().nSamplesPerSec;
  const double produced = static_cast<double>(s->framesRead) +
                          static_cast<double>(std::max<snd_pcm_sframes_t>(avail, 0));
  if (!s->clockKnown) {
    s->clockKnown = true;
    s->clockStart = s->lastCheck = now;
    s->framesRead = 0;
    s->shortfall = -static_cast<double>(std::max<snd_pcm_sframes_t>(avail, 0));
    return 0;
  }
  const double shortfall =
      std::chrono::duration<double>(now - s->clockStart).count() * rate - produced;
  const double since = std::chrono::duration<double>(now - s->lastCheck).count();
  s->lastCheck = now;
  if (shortfall > s->shortfall + kClockGapSeconds * rate) {
    const auto gap = static_cast<uint64_t>(shortfall - s->shortfall);
    s->shortfall = shortfall;
    return gap;
  }
  s->shortfall = std::max(shortfall, s->shortfall - kDriftPerSecond * rate * since);
  return 0;
}

// One read of the input loop: what snd_pcm_readi gave (frames, or its error).
struct InputRead {
  AlsaStream* stream;
  snd_pcm_sframes_t result = 0;
};

// CaptureFill: reads up to `room` bytes straight into a queued buffer.  The stream is
// non-blocking, so this never waits under the port's lock.
size_t ReadIntoBuffer(void* context, uint8_t* destination, size_t room, uint64_t* lost) {
  auto& read = *static_cast<InputRead*>(context);
  AlsaStream* s = read.stream;
  const auto frames = static_cast<snd_pcm_uframes_t>(room / s->frameBytes);
  const snd_pcm_sframes_t got = Alsa().snd_pcm_readi(s->pcm.get(), destination, frames);
  if (got <= 0) {
    if (read.result == 0) read.result = got;
    return 0;
  }
  read.result += got;
  *lost = TrackDeviceClock(s, got);
  return static_cast<size_t>(got) * s->frameBytes;
}

// Reads up to one period: straight into the queued buffers when there are any, else into the
// driver's own buffer for Capture, which counts what finds no buffer as lost.  Returns the
// frames read or snd_pcm_readi's error.
snd_pcm_sframes_t ReadInput(AlsaStream* s) {
  InputRead read{s};
  const size_t period = static_cast<size_t>(s->periodFrames) * s->frameBytes;
  if (s->port->CaptureInto(period, ReadIntoBuffer, &read) > 0 || read.result != 0) {
    return read.result;
  }
  const snd_pcm_sframes_t frames =
      Alsa().snd_pcm_readi(s->pcm.get(), s->buffer.data(), s->periodFrames);
  if (frames > 0) {
    if (const uint64_t gap = TrackDeviceClock(s, frames); gap > 0) s->port->Gap(gap);
    s->port->Capture(s->buffer.data(), static_cast<size_t>(frames) * s->frameBytes);
  }
  return frames;
}

void RunInput(AlsaStream* s) {
  snd_pcm_t* pcm = s->pcm.get();
  WavePort* port = s->port;
  while (!s->quit.load()) {
    const bool reset = s->resetRequested.exchange(false);
    const bool running = port->Running();
    snd_pcm_state_t state = Alsa().snd_pcm_state(pcm);
    if ((reset || !running) && state != SND_PCM_STATE_SETUP && state != SND_PCM_STATE_PREPARED) {
      Alsa().snd_pcm_drop(pcm);  // what the device holds is stale once input stops
      state = Alsa().snd_pcm_state(pcm);
    }
    if (!running) {
      s->clockKnown = false;  // time while stopped is no gap
      if (!port->WaitForWork()) {
        Park(s);  // the port is closing
        return;
      }
      continue;
    }
    if (state == SND_PCM_STATE_DISCONNECTED) break;
    if (state == SND_PCM_STATE_SUSPENDED) {
      if (RecoverInput(s, -ESTRPIPE)) continue;
      break;
    }
    if (state == SND_PCM_STATE_XRUN) {
      if (RecoverInput(s, -EPIPE)) continue;
      break;
    }
    if (state == SND_PCM_STATE_SETUP) {
      if (Alsa().snd_pcm_prepare(pcm) < 0) break;
      state = SND_PCM_STATE_PREPARED;
    }
    if (state == SND_PCM_STATE_PREPARED) {
      int err = Alsa().snd_pcm_start(pcm);
      if (err < 0 && !(IsXrun(err) && RecoverInput(s, err))) break;
      continue;
    }
    const snd_pcm_sframes_t frames = ReadInput(s);
    if (frames == -EAGAIN || frames == 0) {
      WaitDevice(s, kMaxWaitMillis);
      continue;
    }
    if (frames < 0) {
      if ((IsXrun(frames) || frames == -EINTR) && RecoverInput(s, frames)) continue;
      break;
    }
  }
  // Every way out of the loop but close is the loss of the device: the port gives back the
  // buffers it holds, with what they hold, and takes no more.
  if (!s->quit.load()) port->Lost();
  Park(s);
}

// How long close waits at most for the device to play what it still holds.  A sound server
// adds its own latency to the device buffer.
constexpr int kPlayOutMillis = 1000;

// Whether audio written to the device is still to be heard: in its buffer, or (for a sound
// server) still queued behind it, which snd_pcm_delay includes.
bool HoldsAudio(AlsaStream* s, snd_pcm_sframes_t avail) {
  if (avail >= 0 && static_cast<snd_pcm_uframes_t>(avail) < s->bufferFrames) return true;
  snd_pcm_sframes_t delay = 0;
  return Alsa().snd_pcm_delay(s->pcm.get(), &delay) == 0 && delay > 0;
}

// Writes `frames` frames completely unless the device is lost or reset: the audio was taken
// from the application's buffers, so an under-run must not drop it.  Once the stream is
// closing, a device that takes nothing for the play-out time is given up.
bool WriteAll(AlsaStream* s, const uint8_t* data, snd_pcm_uframes_t frames) {
  snd_pcm_t* pcm = s->pcm.get();
  int waitedClosing = 0;
  while (frames > 0 && !s->resetRequested.load()) {
    snd_pcm_sframes_t n = Alsa().snd_pcm_writei(pcm, data, frames);
    if (n == -EAGAIN) {
      if (Alsa().snd_pcm_state(pcm) == SND_PCM_STATE_PREPARED)
        Alsa().snd_pcm_start(pcm);  // buffer full
      if (s->quit.load()) {
        if (waitedClosing >= kPlayOutMillis) return true;
        waitedClosing += s->periodMillis;
        WaitDevice(s, s->periodMillis);
      } else {
        WaitDevice(s, kMaxWaitMillis);
      }
      continue;
    }
    if (n < 0) {
      if (IsXrun(n) && Recover(s, n)) continue;
      return false;
    }
    data += static_cast<size_t>(n) * s->frameBytes;
    frames -= static_cast<snd_pcm_uframes_t>(n);
  }
  return true;
}

// At close: lets the device play what it still holds, for a bounded time, so the end of the
// last buffer is heard.  A reset or a pause before close skips it.
void PlayOut(AlsaStream* s) {
  snd_pcm_t* pcm = s->pcm.get();
  for (int waited = 0; waited < kPlayOutMillis && !s->resetRequested.load();
       waited += s->periodMillis) {
    snd_pcm_state_t state = Alsa().snd_pcm_state(pcm);
    if (state != SND_PCM_STATE_RUNNING && state != SND_PCM_STATE_PREPARED) return;
    snd_pcm_sframes_t avail = Alsa().snd_pcm_avail_update(pcm);
    if (avail < 0 || !HoldsAudio(s, avail)) return;
    if (state == SND_PCM_STATE_PREPARED && Alsa().snd_pcm_start(pcm) < 0) return;
    WaitSignal(s, s->periodMillis);
  }
}

void RunOutput(AlsaStream* s) {
  snd_pcm_t* pcm = s->pcm.get();
  WavePort* port = s->port;
  bool lost = false;
  // Bytes of an incomplete frame from the last Render, kept at the start of the buffer: a
  // buffer that ends inside a frame continues in the next one.
  size_t carry = 0;
  while (!s->quit.load()) {
    if (s->resetRequested.exchange(false)) {
      Alsa().snd_pcm_drop(pcm);
      Alsa().snd_pcm_prepare(pcm);
      carry = 0;
    }
    snd_pcm_state_t state = Alsa().snd_pcm_state(pcm);
    if (state == SND_PCM_STATE_DISCONNECTED) {
      lost = true;
      break;
    }
    if (state == SND_PCM_STATE_XRUN || state == SND_PCM_STATE_SUSPENDED) {
      if (!Recover(s, state == SND_PCM_STATE_XRUN ? -EPIPE : -ESTRPIPE)) {
        lost = true;
        break;
      }
      continue;
    }
    if (state == SND_PCM_STATE_SETUP && Alsa().snd_pcm_prepare(pcm) < 0) {
      lost = true;
      break;
    }
    snd_pcm_sframes_t avail = Alsa().snd_pcm_avail_update(pcm);
    if (avail < 0) {
      if (IsXrun(avail) && Recover(s, avail)) continue;
      lost = true;
      break;
    }
    if (avail == 0) {
      WaitDevice(s, kMaxWaitMillis);
      continue;
    }
    const auto room = std::min(static_cast<snd_pcm_uframes_t>(avail), s->periodFrames);
    const size_t rendered = port->Render(s->buffer.data() + carry, room * s->frameBytes - carry);
    if (rendered > 0) {
      const size_t bytes = carry + rendered;
      const size_t whole = bytes - bytes % s->frameBytes;
      if (whole > 0 && !WriteAll(s, s->buffer.data(), whole / s->frameBytes)) {
        lost = true;
        break;
      }
      carry = bytes - whole;
      std::memmove(s->buffer.data(), s->buffer.data() + whole, carry);
      continue;
    }
    // Nothing to play: let the device play out what it holds, then sleep until work arrives.
    if (HoldsAudio(s, avail)) {
      if (state == SND_PCM_STATE_PREPARED) {
        const int err = Alsa().snd_pcm_start(pcm);
        if (err < 0 && !(IsXrun(err) && Recover(s, err))) {
          lost = true;
          break;
        }
      } else {
        WaitSignal(s, s->periodMillis);
      }
      continue;
    }
    // The device holds nothing.  A plugin that does not report under-runs keeps running;
    // stopping it here makes the next buffer start cleanly.
    if (state == SND_PCM_STATE_RUNNING) {
      Alsa().snd_pcm_drop(pcm);
      Alsa().snd_pcm_prepare(pcm);
    }
    if (!port->WaitForWork()) break;
  }
  if (!lost) PlayOut(s);
  Park(s);
}

void DeviceLoop(AlsaStream* s) {
  pthread_setname_np(pthread_self(), s->dir == Direction::Input ? "voxl-alsa-in" : "voxl-alsa-out");
  if (s->dir == Direction::Input) {
    RunInput(s);
  } else {
    RunOutput(s);
  }
}

// Sets up the opened PCM for the format; fills the stream's period and buffer sizes.
MMRESULT Configure(AlsaStream* s, const WAVEFORMATEX& format) {
  snd_pcm_t* pcm = s->pcm.get();
  HwParamsPtr hw = NewHwParams();
  if (!hw) return MMSYSERR_NOMEM;
  if (Alsa().snd_pcm_hw_params_any(pcm, hw.get()) < 0) return MMSYSERR_ERROR;
  if (Alsa().snd_pcm_hw_params_set_access(pcm, hw.get(), SND_PCM_ACCESS_RW_INTERLEAVED) < 0 ||
      Alsa().snd_pcm_hw_params_set_format(pcm, hw.get(), SampleFormat(format.wBitsPerSample)) < 0 ||
      Alsa().snd_pcm_hw_params_set_channels(pcm, hw.get(), format.nChannels) < 0 ||
      Alsa().snd_pcm_hw_params_set_rate(pcm, hw.get(), format.nSamplesPerSec, 0) < 0) {
    return WAVERR_BADFORMAT;
  }
  unsigned bufferTime = s->dir == Direction::Input ? kInputBufferMicros : kOutputBufferMicros;
  int dir = 0;
  Alsa().snd_pcm_hw_params_set_buffer_time_near(pcm, hw.get(), &bufferTime, &dir);
  dir = 0;
  if (s->dir == Direction::Input) {
    // The largest period at or below 0.1 s; a device whose periods are all longer gets the
    // nearest it has.
    snd_pcm_uframes_t period =
        std::max<snd_pcm_uframes_t>(1, format.nSamplesPerSec / kInputPeriodDivisor);
    HwParamsPtr trial = NewHwParams();
    if (!trial) return MMSYSERR_NOMEM;
    Alsa().snd_pcm_hw_params_copy(trial.get(), hw.get());
    if (Alsa().snd_pcm_hw_params_set_period_size_max(pcm, trial.get(), &period, &dir) == 0 &&
        Alsa().snd_pcm_hw_params_set_period_size_last(pcm, trial.get(), &period, &dir) == 0) {
      Alsa().snd_pcm_hw_params_copy(hw.get(), trial.get());
    } else {
      dir = 0;
      Alsa().snd_pcm_hw_params_set_period_size_near(pcm, hw.get(), &period, &dir);
    }
  } else {
    unsigned period = kOutputPeriodMicros;
    Alsa().snd_pcm_hw_params_set_period_time_near(pcm, hw.get(), &period, &dir);
  }
  if (Alsa().snd_pcm_hw_params(pcm, hw.get()) < 0) return MMSYSERR_ERROR;
  if (Alsa().snd_pcm_hw_params_get_period_size(hw.get(), &s->periodFrames, &dir) < 0 ||
      Alsa().snd_pcm_hw_params_get_buffer_size(hw.get(), &s->bufferFrames) < 0 ||
      s->periodFrames == 0) {
    return MMSYSERR_ERROR;
  }

  snd_pcm_sw_params_t* swRaw = nullptr;
  if (Alsa().snd_pcm_sw_params_malloc(&swRaw) < 0) return MMSYSERR_NOMEM;
  SwParamsPtr sw(swRaw);
  snd_pcm_uframes_t boundary = 0;
  if (Alsa().snd_pcm_sw_params_current(pcm, sw.get()) < 0 ||
      Alsa().snd_pcm_sw_params_get_boundary(sw.get(), &boundary) < 0 ||
      Alsa().snd_pcm_sw_params_set_avail_min(pcm, sw.get(), s->periodFrames) < 0 ||
      // The loop starts the device itself: capture on start, playback once the buffer is full
      // or nothing more is queued.
      Alsa().snd_pcm_sw_params_set_start_threshold(
          pcm, sw.get(), s->dir == Direction::Input ? boundary : s->bufferFrames) < 0 ||
      Alsa().snd_pcm_sw_params(pcm, sw.get()) < 0) {
    return MMSYSERR_ERROR;
  }

  s->frameBytes = format.nBlockAlign;
  s->buffer.assign(s->periodFrames * s->frameBytes, 0);
  s->periodMillis = std::max(1, static_cast<int>(s->periodFrames * 1000 / format.nSamplesPerSec));
  int count = Alsa().snd_pcm_poll_descriptors_count(pcm);
  if (count < 0) return MMSYSERR_ERROR;
  s->fds.assign(static_cast<size_t>(count) + 1, pollfd{});
  return MMSYSERR_NOERROR;
}

MMRESULT AlsaOpen(Direction dir, UINT device, const WAVEFORMATEX* format, WavePort* port,
                  DriverStream** stream) {
  if (format == nullptr || port == nullptr || stream == nullptr) return MMSYSERR_INVALPARAM;
  AlsaDevice found;
  if (!LookUp(dir, device, &found)) return MMSYSERR_BADDEVICEID;
  if (!IsServedFormat(*format)) return WAVERR_BADFORMAT;

  std::unique_ptr<AlsaStream> s(new (std::nothrow) AlsaStream);
  if (!s) return MMSYSERR_NOMEM;
  s->dir = dir;
  s->port = port;
  if (int err = OpenPcm(found.pcm, dir, &s->pcm); err < 0) return OpenErrorResult(err);
  if (MMRESULT result = Configure(s.get(), *format); result != MMSYSERR_NOERROR) return result;
  s->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (s->wakeFd < 0) return MMSYSERR_NOMEM;
  try {
    s->loop = std::thread(DeviceLoop, s.get());
  } catch (const std::exception&) {
    return MMSYSERR_NOMEM;
  }
  *stream = ToDriver(s.release());
  return MMSYSERR_NOERROR;
}

void AlsaClose(DriverStream* stream) {
  AlsaStream* s = FromDriver(stream);
  if (s == nullptr) return;
  s->quit.store(true);
  Signal(s);
  s->port->Wake();
  s->loop.join();
  delete s;
}

// Start and stop: the port already tells the new state; the loop acts on it when woken.
void AlsaWake(DriverStream* stream) {
  AlsaStream* s = FromDriver(stream);
  Signal(s);
  s->port->Wake();
}

void AlsaReset(DriverStream* stream) {
  AlsaStream* s = FromDriver(stream);
  s->resetRequested.store(true);
  AlsaWake(stream);
}

}  // namespace

const WaveDriver kAlsaDriver = {
    .name = "alsa",
    .description = "ALSA sound devices (default device: PipeWire or PulseAudio where they run)",
    .init = AlsaInit,
    .count = AlsaCount,
    .caps = AlsaCaps,
    .default_device = AlsaDefaultDevice,
    .query = AlsaQuery,
    .open = AlsaOpen,
    .close = AlsaClose,
    .start = AlsaWake,
    .stop = AlsaWake,
    .reset = AlsaReset,
    .prepare = nullptr,  // every header is accepted
};

}  // namespace voxl::wave
