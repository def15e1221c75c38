// libFuzzer harness for editing sessions: the input picks a PCM file (8 or 16 bits, mono or
// stereo, four rates, RIFF/WAVE with or without a chunk behind the data, or headerless) and a
// run of operations on it through the recorder's method table: set the position, remove frames
// (DeleteSamples, DeleteSeconds with odd durations too), compact, close and open again, and
// record a few buffers (overwriting or inserting) from the virtual input on its manual clock.
// A model of the recording (its bytes and the position) follows every step; after each one the
// recorder's length and position, and the audio the file holds on disk, must equal the model,
// and a compacted file must end with its content.  Any difference aborts.
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/recorder_creation.h"
#include "core/recorder.h"
#include "engine/engine.h"
#include "platform/wave/virtual/virtual_device.h"
#include "voxl310k.h"

namespace {

using Bytes = std::vector<uint8_t>;

voxl::Recorder* gRecorder = nullptr;
std::string gFolder;

// What the virtual input delivered, in order: the audio a run records.
std::mutex gCapturedLock;
Bytes gCaptured;

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "edit_fuzz: %s\n", what);
    std::abort();
  }
}

// The input as a stream of numbers; zeros once it is used up.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t Word() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

struct Layout {
  uint16_t bits = 16;
  uint16_t channels = 1;
  uint32_t rate = 8000;
  bool headerless = false;
  bool chunkBehind = false;  // a "LIST" chunk after the data, inside the form
  uint32_t frameBytes() const { return bits / 8u * channels; }
};

void PutU32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void PutU16(Bytes& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

Bytes FileBytes(const Layout& l, const Bytes& audio) {
  if (l.headerless) return audio;
  const auto size = static_cast<uint32_t>(audio.size());
  const uint32_t pad = size & 1;
  const uint32_t behind = l.chunkBehind ? 8 + 4 : 0;
  Bytes out = {'R', 'I', 'F', 'F'};
  PutU32(out, 36 + size + pad + behind);
  for (char c : std::string("WAVEfmt ")) out.push_back(static_cast<uint8_t>(c));
  PutU32(out, 16);
  PutU16(out, 1);
  PutU16(out, l.channels);
  PutU32(out, l.rate);
  PutU32(out, l.rate * l.frameBytes());
  PutU16(out, static_cast<uint16_t>(l.frameBytes()));
  PutU16(out, l.bits);
  for (char c : std::string("data")) out.push_back(static_cast<uint8_t>(c));
  PutU32(out, size);
  out.insert(out.end(), audio.begin(), audio.end());
  if (pad != 0) out.push_back(0);
  if (l.chunkBehind) {
    for (char c : std::string("LISTINFO")) out.push_back(static_cast<uint8_t>(c));
    PutU32(out, 0);
  }
  return out;
}

Bytes ReadFile(const std::string& path) {
  Bytes out;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return out;
  uint8_t piece[65536];
  for (size_t n; (n = std::fread(piece, 1, sizeof piece, f)) > 0;)
    out.insert(out.end(), piece, piece + n);
  std::fclose(f);
  return out;
}

uint32_t Le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The audio of the file as it lies on disk, read here without the recorder: the data chunk of a
// RIFF/WAVE form (which must lie inside the file and hold the data), or a whole headerless file.
// `contentEnd` receives where the content ends.
Bytes AudioOnDisk(const Layout& l, const Bytes& file, size_t* contentEnd) {
  if (l.headerless) {
    *contentEnd = file.size();
    return file;
  }
  Check(file.size() >= 12 && std::memcmp(file.data(), "RIFF", 4) == 0, "no RIFF form on disk");
  const uint64_t formEnd = 8 + uint64_t{Le32(file.data() + 4)};
  Check(formEnd <= file.size(), "the RIFF form passes the end of the file");
  *contentEnd = static_cast<size_t>(formEnd);
  for (uint64_t at = 12; at + 8 <= formEnd;) {
    const uint64_t size = Le32(file.data() + at + 4);
    if (std::memcmp(file.data() + at, "data", 4) == 0) {
      Check(at + 8 + size <= formEnd, "the data chunk passes the end of the form");
      return Bytes(file.begin() + static_cast<long>(at + 8),
                   file.begin() + static_cast<long>(at + 8 + size));
    }
    at += 8 + size + (size & 1);
  }
  Check(false, "no data chunk on disk");
  return {};
}

// The recording as the session expects it.
struct Model {
  Layout layout;
  Bytes audio;
  uint32_t position = 0;
  uint32_t frames() const { return static_cast<uint32_t>(audio.size() / layout.frameBytes()); }

  void Remove(int64_t count) {
    if (count < 1) return;
    const uint32_t n = static_cast<uint32_t>(std::min<int64_t>(count, frames() - position));
    const auto from = audio.begin() + static_cast<long>(position * layout.frameBytes());
    audio.erase(from, from + static_cast<long>(n * layout.frameBytes()));
  }
};

std::string gPath;
BSTR gName = nullptr;

VoxlRecorder* Rec() {
  return voxl::ToHost(gRecorder);
}

// The file's audio against the model; `compacted`: nothing may lie behind the content.
void VerifyDisk(const Model& model, bool compacted) {
  const Bytes file = ReadFile(gPath);
  size_t contentEnd = 0;
  Check(AudioOnDisk(model.layout, file, &contentEnd) == model.audio,
        "the audio on disk differs from the model");
  if (compacted) Check(file.size() == contentEnd, "bytes are left behind a compacted file");
}

// The same, and the recorder's length and position.
void Verify(const Model& model, bool compacted) {
  const VoxlRecorderVtbl& m = *Rec()->lpVtbl;
  DWORD length = 0;
  LONG position = -1;
  m.GetLength(Rec(), &length);
  m.GetPosition(Rec(), &position);
  Check(length == model.frames(), "the length differs from the model");
  Check(position == static_cast<LONG>(model.position), "the position differs from the model");
  VerifyDisk(model, compacted);
}

bool Barrier() {
  auto* reached = new std::atomic<bool>(false);
  if (!voxl::PostEngineTestStage(*gRecorder, voxl::kKeepStage, reached)) {
    delete reached;
    return false;
  }
  for (int spins = 0; !reached->load(); ++spins) {
    if (spins > 50'000'000) return false;  // leaked: the engine may still answer
    std::this_thread::yield();
  }
  delete reached;
  return true;
}

void Pump() {
  for (MSG msg{}; PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE) > 0;) DispatchMessageA(&msg);
}

void Open(Model& model) {
  WORD error = 0xFFFF;
  Rec()->lpVtbl->OpenFile(Rec(), gName, &error);
  Check(error == 0, "the file does not open");
  model.position = model.frames();  // an opened file stands at its end
}

// Records `buffers` device buffers at the position, inserting or overwriting.
void RecordBuffers(Model& model, bool insert, size_t buffers) {
  const VoxlRecorderVtbl& m = *Rec()->lpVtbl;
  Check(m.SetInsertMode(Rec(), insert ? 1 : 0) == 0, "SetInsertMode refused");
  {
    std::lock_guard<std::mutex> lock(gCapturedLock);
    gCaptured.clear();
  }
  WORD error = 0xFFFF;
  m.Record(Rec(), &error);
  Check(error == 0, "Record failed");
  Check(voxl::virtualaudio::CompleteInputBuffers(WAVE_MAPPER, buffers) == buffers,
        "the device took no buffers");
  Check(Barrier(), "the engine did not answer");
  Pump();
  m.Stop(Rec());
  Pump();
  WORD state = 0;
  m.GetState(Rec(), &state);
  Check(state == VOXL_STATE_OPEN, "the run did not stop");
  Bytes captured;
  {
    std::lock_guard<std::mutex> lock(gCapturedLock);
    captured.swap(gCaptured);
  }
  Check(captured.size() % model.layout.frameBytes() == 0, "a partial frame was delivered");
  const auto at =
      model.audio.begin() + static_cast<long>(model.position * model.layout.frameBytes());
  if (insert) {
    model.audio.insert(at, captured.begin(), captured.end());
  } else {
    const size_t over =
        std::min<size_t>(captured.size(), static_cast<size_t>(model.audio.end() - at));
    std::copy(captured.begin(), captured.begin() + static_cast<long>(over), at);
    model.audio.insert(model.audio.end(), captured.begin() + static_cast<long>(over),
                       captured.end());
  }
  model.position += static_cast<uint32_t>(captured.size() / model.layout.frameBytes());
}

// Durations for DeleteSeconds: mostly fractions of a second either side of 0, now and then a
// value with no frame count.
double Duration(uint16_t word) {
  switch (word) {
    case 0x7FFF:
      return std::numeric_limits<double>::quiet_NaN();
    case 0x7FFE:
      return std::numeric_limits<double>::infinity();
    case 0x8000:
      return -std::numeric_limits<double>::infinity();
    case 0x7FFD:
      return 1e12;
    default:
      return static_cast<int16_t>(word) / 4096.0;
  }
}

int64_t FramesOf(double seconds, uint32_t rate) {
  const double frames = std::trunc(rate * seconds);
  if (std::isnan(frames)) return 0;
  return static_cast<int64_t>(std::fmax(std::fmin(frames, 2147483647.0), -2147483648.0));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("VOXL_AUDIO_DRIVER", "virtual", 1);
  char folder[] = "/tmp/voxl-edit-fuzz-XXXXXX";
  if (mkdtemp(folder) == nullptr) std::abort();
  gFolder = folder;
  std::atexit([] {
    unlink((gFolder + "/take.wav").c_str());
    rmdir(gFolder.c_str());
  });
  gPath = gFolder + "/take.wav";
  const std::u16string wide(gPath.begin(), gPath.end());
  gName = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  voxl::virtualaudio::Reset();  // manual clock
  voxl::virtualaudio::Signal signal;
  signal.kind = voxl::virtualaudio::Signal::Kind::Callback;
  signal.fill = [](const WAVEFORMATEX&, uint64_t frame, void* data, size_t bytes) {
    auto* out = static_cast<uint8_t*>(data);
    for (size_t i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(frame * 7 + i * 13 + i / 256);
    std::lock_guard<std::mutex> lock(gCapturedLock);
    gCaptured.insert(gCaptured.end(), out, out + bytes);
  };
  voxl::virtualaudio::SetInputSignal(0, signal);
  gRecorder = voxl::NewRecorder();
  WORD error = 0;
  Check(gRecorder != nullptr, "no recorder");
  Rec()->lpVtbl->Close(Rec(), &error);
  Check(error == 0, "the recorder does not start");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const uint32_t kRates[] = {8000, 11025, 22050, 44100};
  Input in(data, size);
  Model model;
  const uint8_t pick = in.Byte();
  Layout& l = model.layout;
  l.bits = (pick & 1) != 0 ? 16 : 8;
  l.channels = (pick & 2) != 0 ? 2 : 1;
  l.rate = kRates[(pick >> 2) & 3];
  l.headerless = (pick & 0x10) != 0;
  l.chunkBehind = (pick & 0x20) != 0;
  const uint32_t frames = in.Word() % 6000;
  const uint8_t seed = in.Byte();
  for (uint32_t i = 0; i < frames * l.frameBytes(); ++i)
    model.audio.push_back(static_cast<uint8_t>(seed + i * 31 + i / 509));
  const Bytes file = FileBytes(l, model.audio);
  FILE* f = std::fopen(gPath.c_str(), "wb");
  Check(f != nullptr && std::fwrite(file.data(), 1, file.size(), f) == file.size(),
        "cannot write the file");
  std::fclose(f);

  const VoxlRecorderVtbl& m = *Rec()->lpVtbl;
  m.SetReadOnly(Rec(), 0);
  m.SetFileKind(Rec(), l.headerless ? 1 : 0);
  m.SetSampleFormat(Rec(), l.bits);
  m.SetSampleRate(Rec(), l.rate);
  m.SetChannels(Rec(), l.channels);
  Open(model);
  Verify(model, false);

  for (int step = 0; step < 32 && !in.empty(); ++step) {
    WORD error = 0xFFFF;
    bool compacted = false;
    switch (in.Byte() % 6) {
      case 0: {  // one out of range lands at the end
        const auto to = static_cast<int16_t>(in.Word());
        m.SetPosition(Rec(), to);
        model.position = to < 0 || static_cast<uint32_t>(to) > model.frames()
                             ? model.frames()
                             : static_cast<uint32_t>(to);
        error = 0;
        break;
      }
      case 1: {
        const auto count = static_cast<int16_t>(in.Word());
        m.DeleteSamples(Rec(), count, &error);
        model.Remove(count);
        break;
      }
      case 2: {
        const double seconds = Duration(in.Word());
        m.DeleteSeconds(Rec(), seconds, &error);
        model.Remove(FramesOf(seconds, l.rate));
        break;
      }
      case 3:
        m.CompactFile(Rec(), &error);
        compacted = true;
        break;
      case 4:
        m.Close(Rec(), &error);
        Check(error == 0, "Close failed");
        VerifyDisk(model, false);
        Open(model);
        break;
      case 5: {
        const uint8_t how = in.Byte();
        RecordBuffers(model, (how & 1) != 0, 1 + (how >> 1) % 3);
        error = 0;
        break;
      }
    }
    Check(error == 0, "an edit failed");
    Verify(model, compacted);
  }
  WORD error = 0xFFFF;
  m.Close(Rec(), &error);
  Check(error == 0, "Close failed");
  VerifyDisk(model, false);
  return 0;
}
