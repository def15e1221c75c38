// voxl devices: the wave input and output devices, their numbers and names, the default device
// that WAVE_MAPPER (-1) opens, and which driver serves them and why.
//
// Counts and names come from a recorder's method table, as a host sees them; the channels, the
// format flags and the default device come from the device capabilities.  When no recorder can
// start (for example when the default input refuses the capture format) the list still comes,
// from the capabilities alone, and a last line says why no recorder started.
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "voxl310k.h"

namespace voxl::cli {

namespace {

struct DeviceEntry {
  UINT id;
  std::string name;
  WORD channels;
  DWORD formats;
};

struct DeviceList {
  std::vector<DeviceEntry> devices;
  UINT defaultId;
};

// The name of a device as the recorder's table gives it.
std::string TableName(VoxlRecorder* rec, bool input, UINT id) {
  BSTR wide = nullptr;
  if (input) {
    rec->lpVtbl->GetInputDeviceName(rec, id, &wide);
  } else {
    rec->lpVtbl->GetOutputDeviceName(rec, id, &wide);
  }
  char name[MAXPNAMELEN * 4] = {};
  if (wide != nullptr) {
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, name, sizeof name, nullptr, nullptr);
    name[sizeof name - 1] = '\0';
  }
  SysFreeString(wide);
  return name;
}

// Reads the input or output devices, through the recorder `rec` when there is one; false (with
// one error line printed) when a device does not answer.
bool ReadDevices(VoxlRecorder* rec, bool input, DeviceList* list) {
  DWORD count = input ? waveInGetNumDevs() : waveOutGetNumDevs();
  if (rec != nullptr) {
    if (input) {
      rec->lpVtbl->GetInputDeviceCount(rec, &count);
    } else {
      rec->lpVtbl->GetOutputDeviceCount(rec, &count);
    }
  }
  // Which device WAVE_MAPPER opens; none is marked when the direction has no device.
  DWORD preferred = WAVE_MAPPER, status = 0;
  const auto mapper = static_cast<UINT_PTR>(WAVE_MAPPER);
  if (input) {
    waveInMessage(reinterpret_cast<HWAVEIN>(mapper), DRVM_MAPPER_PREFERRED_GET,
                  reinterpret_cast<DWORD_PTR>(&preferred), reinterpret_cast<DWORD_PTR>(&status));
  } else {
    waveOutMessage(reinterpret_cast<HWAVEOUT>(mapper), DRVM_MAPPER_PREFERRED_GET,
                   reinterpret_cast<DWORD_PTR>(&preferred), reinterpret_cast<DWORD_PTR>(&status));
  }
  list->defaultId = preferred;
  for (UINT id = 0; id < count; ++id) {
    DeviceEntry entry{id, {}, 0, 0};
    MMRESULT result;
    if (input) {
      WAVEINCAPSA caps{};
      result = waveInGetDevCapsA(id, &caps, sizeof caps);
      entry = {id, caps.szPname, caps.wChannels, caps.dwFormats};
    } else {
      WAVEOUTCAPSA caps{};
      result = waveOutGetDevCapsA(id, &caps, sizeof caps);
      entry = {id, caps.szPname, caps.wChannels, caps.dwFormats};
    }
    if (result != MMSYSERR_NOERROR) {
      PrintError(std::string("cannot read the capabilities of ") + (input ? "input" : "output") +
                 " device " + std::to_string(id) + ": " + WaveErrorText(result));
      return false;
    }
    if (rec != nullptr) entry.name = TableName(rec, input, id);
    list->devices.push_back(entry);
  }
  return true;
}

void PrintText(const char* title, const DeviceList& list) {
  std::printf("%s devices:\n", title);
  if (list.devices.empty()) {
    std::printf("  (none)\n");
    return;
  }
  for (const DeviceEntry& d : list.devices) {
    std::printf("  %2u  %-31s  %u ch%s\n", d.id, d.name.c_str(), d.channels,
                d.id == list.defaultId ? "  (default: -1 opens it)" : "");
  }
}

std::string JsonDevices(const DeviceList& list) {
  std::string out = "[";
  for (const DeviceEntry& d : list.devices) {
    if (out.size() > 1) out += ",";
    char formats[16];
    std::snprintf(formats, sizeof formats, "0x%08x", static_cast<unsigned>(d.formats));
    out += "{\"id\":" + std::to_string(d.id) + ",\"name\":" + JsonString(d.name) +
           ",\"channels\":" + std::to_string(d.channels) + ",\"formats\":\"" + formats +
           "\",\"default\":" + (d.id == list.defaultId ? "true" : "false") + "}";
  }
  return out + "]";
}

int RunDevices(bool json) {
  WORD recorderError = 0;
  VoxlRecorder* rec = VoxlCreateRecorder(&recorderError);
  DeviceList inputs, outputs;
  const bool read = ReadDevices(rec, true, &inputs) && ReadDevices(rec, false, &outputs);
  VoxlDestroyRecorder(rec);
  if (!read) return kExitFailure;
  const std::string driver = VoxlWaveDriverName();
  const std::string reason = VoxlWaveDriverReason();
  if (json) {
    std::printf("{\"driver\":%s,\"reason\":%s,\"mapper\":-1,\"input\":%s,\"output\":%s}\n",
                JsonString(driver).c_str(), JsonString(reason).c_str(), JsonDevices(inputs).c_str(),
                JsonDevices(outputs).c_str());
    return kExitOk;
  }
  std::printf("Driver: %s (%s)\n", driver.c_str(), reason.c_str());
  PrintText("Input", inputs);
  PrintText("Output", outputs);
  if (rec == nullptr) std::printf("No recorder could start: %s\n", VoxlErrorText(recorderError));
  return kExitOk;
}

}  // namespace

void AddDevicesCommand(CLI::App& app, int& exitCode) {
  CLI::App* cmd = app.add_subcommand(
      "devices", "List the sound devices, the default one (-1) and the driver that serves them");
  cmd->footer(
      "Devices are numbered from 0 per direction; -1 opens the default device.\n"
      "VOXL_AUDIO_DRIVER=alsa or VOXL_AUDIO_DRIVER=virtual chooses the driver.");
  auto json = std::make_shared<bool>(false);
  cmd->add_flag("--json", *json, "Print one JSON object instead of text");
  cmd->callback([json, &exitCode] { exitCode = RunDevices(*json); });
}

}  // namespace voxl::cli
