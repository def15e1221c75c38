// The edit journal beside a recording.
#include "wavefile/edit_journal.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "core/recorder.h"
#include "platform/system/system.h"
#include "wavefile/riff_io.h"

namespace voxl {
namespace {

constexpr char kMagic[] = "voxl edit journal 1\n";
// The record's text takes the first kTextBytes of the journal; the two piece slots follow.
constexpr uint32_t kTextBytes = 512;
// Largest offset or size a journal may name: far beyond any file the recorder writes, far below
// what could wrap in the sums made of them.
constexpr uint64_t kMaxJournalOffset = uint64_t{1} << 40;
constexpr uint64_t kMaxHeaderBytes = 0x10000;

std::string JournalName(const char* recording) {
  return std::string(recording) + ".voxl-splice";
}

// Whether `name` is what GetTempFileNameA makes for the prefix "VOX": "VOX", four hex digits,
// ".tmp".
bool IsTempBaseName(const char* name) {
  if (std::strlen(name) != 11 || std::strncmp(name, "VOX", 3) != 0 ||
      std::strcmp(name + 7, ".tmp") != 0) {
    return false;
  }
  for (int i = 3; i < 7; ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(name[i]))) return false;
  }
  return true;
}

std::string Format(const JournalRecord& j) {
  char text[kTextBytes];
  const auto u = [](uint64_t v) { return static_cast<unsigned long long>(v); };
  const SizeFields& s = j.sizes;
  const int n = std::snprintf(
      text, sizeof text,
      "%sstep %c\nfile %020llu %020llu %020llu\nheader %020llu %016llx %016llx\n"
      "move %020llu %020llu %020llu %020llu %020llu %020llu\nend %020llu\n"
      "sizes %020llu %020llu %020llu %020llu %020llu %020llu %020llu%s\ntemp %s\n",
      kMagic, static_cast<char>(j.step), u(j.device), u(j.inode), u(j.fileBytes), u(j.headerBytes),
      u(j.headerSum), u(j.finalSum), u(j.from), u(j.to), u(j.count), u(j.done), u(j.pending),
      u(j.slot), u(j.endBytes), u(s.formAt), u(s.form), u(s.dataAt), u(s.data), u(s.factAt),
      u(s.fact), u(s.padAt), s.wide ? " wide" : "", j.temp[0] != '\0' ? j.temp : "-----------");
  std::string out(text, static_cast<size_t>(std::max(n, 0)));
  out.resize(kTextBytes, ' ');
  return out;
}

// Reads one field of `text` at `*at`: `digits` characters of base `base`, then one separator.
bool TakeNumber(const std::string& text, size_t* at, size_t digits, int base, uint64_t* value) {
  if (*at + digits + 1 > text.size()) return false;
  const char* first = text.data() + *at;
  const auto [end, ec] = std::from_chars(first, first + digits, *value, base);
  if (ec != std::errc() || end != first + digits) return false;
  if (text[*at + digits] != ' ' && text[*at + digits] != '\n') return false;
  *at += digits + 1;
  return true;
}

bool TakeWord(const std::string& text, size_t* at, const char* word) {
  const size_t n = std::strlen(word);
  if (text.compare(*at, n, word) != 0) return false;
  *at += n;
  return true;
}

// The record in `text`, exactly as Format writes it and within range; false otherwise.
bool Parse(const std::string& text, JournalRecord* j) {
  size_t at = 0;
  if (!TakeWord(text, &at, kMagic) || !TakeWord(text, &at, "step ") || at + 2 > text.size()) {
    return false;
  }
  j->step = static_cast<JournalStep>(text[at]);
  at += 2;
  SizeFields& s = j->sizes;
  uint64_t* const decimal1[] = {&j->device, &j->inode, &j->fileBytes};
  uint64_t* const moves[] = {&j->from, &j->to, &j->count, &j->done, &j->pending, &j->slot};
  uint64_t* const fields[] = {&s.formAt, &s.form, &s.dataAt, &s.data, &s.factAt, &s.fact, &s.padAt};
  bool ok = TakeWord(text, &at, "file ");
  for (uint64_t* v : decimal1) ok = ok && TakeNumber(text, &at, 20, 10, v);
  ok = ok && TakeWord(text, &at, "header ") && TakeNumber(text, &at, 20, 10, &j->headerBytes) &&
       TakeNumber(text, &at, 16, 16, &j->headerSum) && TakeNumber(text, &at, 16, 16, &j->finalSum);
  ok = ok && TakeWord(text, &at, "move ");
  for (uint64_t* v : moves) ok = ok && TakeNumber(text, &at, 20, 10, v);
  ok = ok && TakeWord(text, &at, "end ") && TakeNumber(text, &at, 20, 10, &j->endBytes);
  ok = ok && TakeWord(text, &at, "sizes ");
  for (uint64_t* v : fields) ok = ok && TakeNumber(text, &at, 20, 10, v);
  // Journals of RIFF files (all that earlier versions wrote) end the sizes without the word.
  s.wide = ok && TakeWord(text, &at, "wide\n");
  ok = ok && TakeWord(text, &at, "temp ") && at + 12 <= text.size() && text[at + 11] == '\n';
  if (!ok) return false;
  const std::string temp = text.substr(at, 11);
  j->temp[0] = '\0';
  if (temp != "-----------") {
    if (!IsTempBaseName(temp.c_str())) return false;
    std::memcpy(j->temp, temp.c_str(), 12);
  }
  // Every offset and size within range, the move inside the file, the piece inside its slot.
  const uint64_t bounded[] = {j->fileBytes, j->from,  j->to,   j->count, j->endBytes, s.formAt,
                              s.dataAt,     s.factAt, s.padAt, s.form,   s.data,      s.fact};
  for (uint64_t v : bounded) {
    if (v > kMaxJournalOffset) return false;
  }
  const bool moving = j->step == JournalStep::Up || j->step == JournalStep::Down;
  if (j->step != JournalStep::Collect && j->step != JournalStep::Final &&
      j->step != JournalStep::Compact && !moving) {
    return false;
  }
  if (j->headerBytes > kMaxHeaderBytes || j->done > j->count || j->slot > 1 ||
      j->pending > kMoveBufferBytes || j->done + j->pending > j->count) {
    return false;
  }
  if (moving && (std::max(j->from, j->to) + j->count > j->fileBytes ||
                 (j->step == JournalStep::Up) != (j->to > j->from))) {
    return false;
  }
  return text == Format(*j);
}

uint64_t Fnv1a(const uint8_t* data, size_t bytes) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (size_t i = 0; i < bytes; ++i) h = (h ^ data[i]) * 0x100000001b3ull;
  return h;
}

// Stores the header fields of `sizes` that lie in [base, base + bytes) into `bytes` at `data`.
void ApplyFields(const SizeFields& sizes, uint64_t base, uint8_t* data, uint64_t bytes) {
  const std::pair<uint64_t, uint64_t> fields[] = {
      {sizes.formAt, sizes.form}, {sizes.dataAt, sizes.data}, {sizes.factAt, sizes.fact}};
  const uint64_t width = sizes.wide ? 8 : 4;
  for (const auto& [at, value] : fields) {
    if (at == 0 || at < base || at + width > base + bytes) continue;
    if (sizes.wide) {
      StoreLe64(data + (at - base), value);
    } else {
      StoreLe32(data + (at - base), static_cast<uint32_t>(value));
    }
  }
}

uint64_t FileBytes(HMMIO file) {
  uint64_t end = 0;
  return mmio::Length64(file, &end) ? end : ~uint64_t{0};
}

bool ReadAt(HMMIO h, uint64_t offset, void* data, uint32_t count) {
  return SeekTo(h, offset) && ReadAll(h, data, count);
}
bool WriteAt(HMMIO h, uint64_t offset, const void* data, uint32_t count) {
  return SeekTo(h, offset) && WriteAll(h, data, count);
}

// Removes `folder`/`base` when it is a regular file.
void RemoveTempFile(const std::string& folder, const char* base) {
  if (base[0] == '\0') return;
  const std::string path =
      folder + (folder.empty() || std::strchr(VOXL_PATH_SEPARATORS, folder.back()) ? "" : "/") +
      base;
  if (mmio::IsPlainFile(path.c_str())) DeleteFileA(path.c_str());
}

std::string TempFolder();

// Where the temporary file a journal names lies.
std::string TempFolderOf(const JournalRecord& j, const char* recording) {
  return j.step == JournalStep::Compact ? FolderOf(recording) : TempFolder();
}

std::string TempFolder() {
  char folder[kNameBytes];
  const DWORD n = GetTempPathA(kNameBytes, folder);
  return n == 0 || n >= static_cast<DWORD>(kNameBytes) ? std::string() : std::string(folder, n);
}

}  // namespace

std::string FolderOf(const char* name) {
  const char* separator = nullptr;
  for (const char* c = name; *c != '\0'; ++c) {
    if (std::strchr(VOXL_PATH_SEPARATORS, *c) != nullptr) separator = c;
  }
  if (separator == nullptr) return ".";
  const bool root = separator == name || separator[-1] == ':';
  return std::string(name, static_cast<size_t>(separator - name) + (root ? 1 : 0));
}

bool HeaderChecksum(HMMIO file, uint64_t bytes, uint64_t* sum) {
  std::vector<uint8_t> header(bytes);
  if (bytes > 0 && !ReadAt(file, 0, header.data(), static_cast<uint32_t>(bytes))) return false;
  *sum = Fnv1a(header.data(), header.size());
  return true;
}

uint64_t FinalChecksum(HMMIO file, const JournalRecord& record) {
  std::vector<uint8_t> header(record.headerBytes);
  if (!header.empty() && !ReadAt(file, 0, header.data(), static_cast<uint32_t>(header.size()))) {
    return 0;
  }
  ApplyFields(record.sizes, 0, header.data(), header.size());
  return Fnv1a(header.data(), header.size());
}

bool WriteSizeFieldsOnce(HMMIO file, const SizeFields& sizes) {
  uint64_t lo = ~uint64_t{0};
  uint64_t hi = 0;
  for (uint64_t at : {sizes.formAt, sizes.dataAt, sizes.factAt}) {
    if (at == 0) continue;
    lo = std::min(lo, at);
    hi = std::max(hi, at + (sizes.wide ? 8 : 4));
  }
  bool written = true;
  if (hi > lo && hi - lo <= kMaxHeaderBytes) {
    std::vector<uint8_t> span(hi - lo);
    const auto n = static_cast<uint32_t>(span.size());
    written = ReadAt(file, lo, span.data(), n);
    ApplyFields(sizes, lo, span.data(), n);
    written = written && WriteAt(file, lo, span.data(), n);
  } else if (hi > lo) {
    return false;
  }
  const uint8_t pad = 0;
  if (sizes.padAt != 0) written = WriteAt(file, sizes.padAt, &pad, 1) && written;
  return written;
}

EditJournal::~EditJournal() {
  if (handle_ != nullptr) mmioClose(handle_, 0);
}

bool EditJournal::Open(const char* recording, bool create) {
  const std::string name = JournalName(recording);
  if (name.size() >= sizeof name_) return false;
  std::memcpy(name_, name.c_str(), name.size() + 1);
  handle_ = mmioOpenA(name_, nullptr, (create ? MMIO_CREATE : 0) | MMIO_READWRITE);
  return handle_ != nullptr;
}

bool EditJournal::Begin(const char* recording, HMMIO file, JournalRecord record) {
  record_ = record;
  JournalRecord& j = record_;
  j.fileBytes = j.step == JournalStep::Collect ? j.fileBytes : FileBytes(file);
  if (!mmio::FileIdentity(file, &j.device, &j.inode) ||
      !HeaderChecksum(file, j.headerBytes, &j.headerSum)) {
    return false;
  }
  j.finalSum = FinalChecksum(file, j);
  if (!Open(recording, true)) return false;
  begun_ = true;
  // The slots are written once here, so that storing a piece later never needs new disk space.
  const std::vector<uint8_t> slots(
      record_.step == JournalStep::Compact ? 0 : 2 * size_t{kMoveBufferBytes});
  if (Update() && (slots.empty() || WriteAt(handle_, kTextBytes, slots.data(),
                                            static_cast<uint32_t>(slots.size())))) {
    return true;
  }
  End();
  return false;
}

void EditJournal::BeginUnbacked(JournalRecord record) {
  record_ = record;
  begun_ = true;
}

bool EditJournal::Update() {
  if (handle_ == nullptr) return begun_;
  // A write cut short is made once more: a record half old and half new would not be read.
  const std::string text = Format(record_);
  return WriteAt(handle_, 0, text.data(), kTextBytes) ||
         WriteAt(handle_, 0, text.data(), kTextBytes);
}

bool EditJournal::WritePiece(const uint8_t* data, uint32_t bytes) {
  if (handle_ == nullptr) return begun_;
  return WriteAt(handle_, kTextBytes + record_.slot * kMoveBufferBytes, data, bytes);
}

bool EditJournal::ReadPiece(uint8_t* data) {
  if (handle_ == nullptr) return false;
  return ReadAt(handle_, kTextBytes + record_.slot * kMoveBufferBytes, data,
                static_cast<uint32_t>(record_.pending));
}

bool EditJournal::CompletePending(HMMIO file, uint8_t* buffer) {
  JournalRecord& j = record_;
  if (j.pending == 0) return true;
  const uint64_t at = j.step == JournalStep::Up ? j.count - j.done - j.pending : j.done;
  if (!ReadPiece(buffer) || !WriteAt(file, j.to + at, buffer, static_cast<uint32_t>(j.pending))) {
    return false;
  }
  j.done += j.pending;
  j.pending = 0;
  return true;
}

bool EditJournal::Move(HMMIO file, uint8_t* buffer) {
  JournalRecord& j = record_;
  const bool up = j.step == JournalStep::Up;
  if (!CompletePending(file, buffer)) return false;
  while (j.done < j.count) {
    const auto n = static_cast<uint32_t>(std::min<uint64_t>(j.count - j.done, kMoveBufferBytes));
    const uint64_t at = up ? j.count - j.done - n : j.done;
    if (!ReadAt(file, j.from + at, buffer, n)) return false;
    j.slot ^= 1;
    j.pending = n;
    if (!WritePiece(buffer, n) || !Update()) {
      j.slot ^= 1;
      j.pending = 0;
      return false;
    }
    if (!WriteAt(file, j.to + at, buffer, n)) return false;
    j.done += n;
    j.pending = 0;
    if (progress_ != nullptr) progress_->Report(j.done, j.count);
  }
  return Update();
}

bool EditJournal::Finish(HMMIO file, uint8_t* buffer) {
  // A piece or size that could not be written is tried once more; when the recording is still
  // untouched the edit is given up and the journal goes.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (record_.step != JournalStep::Final && !Move(file, buffer)) {
      if (record_.done == 0 && record_.pending == 0) {
        End();
        return false;
      }
      continue;
    }
    if (FinishEdit(*this, file)) return true;
  }
  return false;
}

void EditJournal::End() {
  begun_ = false;
  if (handle_ == nullptr) return;
  mmioClose(handle_, 0);
  handle_ = nullptr;
  DeleteFileA(name_);
}

namespace {

// Turns an Up step into the Down step that undoes it (what had moved goes back down), with no
// new sizes: the file returns to its old length.
void UndoUp(JournalRecord& j) {
  const uint64_t moved = j.done;
  j.step = JournalStep::Down;
  const uint64_t from = j.to + j.count - moved;
  j.to = j.from + j.count - moved;
  j.from = from;
  j.count = moved;
  j.done = 0;
  j.pending = 0;
  j.sizes = SizeFields{};
  j.finalSum = j.headerSum;
}

}  // namespace

bool UndoInsertMove(EditJournal& journal, HMMIO file, uint8_t* buffer) {
  JournalRecord& j = journal.record();
  // A piece in flight goes in whole first, so that what moved is exactly `done` bytes.
  if (!journal.CompletePending(file, buffer)) return false;
  UndoUp(j);
  return journal.Update() && journal.Move(file, buffer) && FinishEdit(journal, file);
}

bool FinishEdit(EditJournal& journal, HMMIO file) {
  JournalRecord& j = journal.record();
  j.step = JournalStep::Final;
  if (!journal.Update() || !WriteSizeFieldsOnce(file, j.sizes)) return false;
  if (FileBytes(file) > j.endBytes && !mmio::Truncate(file, j.endBytes)) {
    return false;
  }
  journal.End();
  return true;
}

uint16_t RecoverEdit(HMMIO file, const char* recording) {
  EditJournal journal;
  if (!journal.Open(recording, false)) return ErrNone;  // none, or not a regular file
  journal.begun_ = true;
  std::string text(kTextBytes, '\0');
  const bool read = ReadAt(journal.handle_, 0, text.data(), kTextBytes);
  JournalRecord& j = journal.record_;
  if (!read || !Parse(text, &j)) {
    journal.End();
    return ErrNone;
  }
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t sum = 0;
  const uint64_t bytes = FileBytes(file);
  const bool same = mmio::FileIdentity(file, &device, &inode) && device == j.device &&
                    inode == j.inode && HeaderChecksum(file, j.headerBytes, &sum);
  bool matches = false;
  switch (j.step) {
    case JournalStep::Collect:
    case JournalStep::Compact:
      matches = same && sum == j.headerSum && bytes >= j.fileBytes;
      break;
    case JournalStep::Up:
    case JournalStep::Down:
      matches = same && sum == j.headerSum && bytes == j.fileBytes;
      break;
    case JournalStep::Final:
      matches = same && (sum == j.headerSum || sum == j.finalSum) &&
                (bytes == j.fileBytes || bytes == j.endBytes);
      break;
  }
  // The splice file of an insert lies in the temporary folder, the compaction copy beside the
  // recording; either goes once the journal has matched, or when the same file has since been
  // rewritten (a new recording under its name): what the temporary file held is of no use then.
  const std::string tempFolder = TempFolderOf(j, recording);
  char temp[sizeof j.temp];
  std::memcpy(temp, j.temp, sizeof temp);
  if (!matches) {
    if (device == j.device && inode == j.inode) RemoveTempFile(tempFolder, temp);
    journal.End();
    return ErrNone;
  }
  bool done = true;
  if (j.step == JournalStep::Collect || j.step == JournalStep::Compact) {
    // The run or the copy never touched the recording's old content: cut away what a splice
    // had grown.
    if (j.step == JournalStep::Collect && j.fileBytes <= kMaxRiffOffset) {
      mmio::Truncate(file, j.fileBytes);
    }
    journal.End();
  } else {
    const std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kMoveBufferBytes]);
    if (buffer == nullptr) return ErrCaptureWrite;
    if (j.step == JournalStep::Up) {
      done = UndoInsertMove(journal, file, buffer.get());
    } else {
      done = journal.Finish(file, buffer.get());
    }
  }
  if (done) RemoveTempFile(tempFolder, temp);
  return done ? ErrNone : ErrCaptureWrite;
}

void DropEditJournal(const char* recording) {
  EditJournal journal;
  if (!journal.Open(recording, false)) return;  // none, or not a regular file
  std::string text(kTextBytes, '\0');
  JournalRecord& j = journal.record();
  if (ReadAt(journal.handle_, 0, text.data(), kTextBytes) && Parse(text, &j)) {
    RemoveTempFile(TempFolderOf(j, recording), j.temp);
  }
  journal.begun_ = true;
  journal.End();
}

}  // namespace voxl
