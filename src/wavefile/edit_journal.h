// The edit journal: a small file beside a recording, "<recording>.voxl-splice", that describes an
// edit in progress so that a process killed in the middle of it leaves nothing that the next
// writable open of the recording cannot finish or undo.  The recording then holds exactly its old
// content or exactly its new content, never a mix.
//
// Steps an edit goes through (each written to the journal before it begins):
//   Collect  an insert-mode run collects audio in its splice file (in the temporary folder) and
//            may have begun to grow the recording with it.  Undo: cut the recording back to its
//            size before the run, remove the splice file.
//   Up       an insert moves the tail of the recording up to make room (then fills the gap).
//            Undo: move back down what had moved (a Down step without sizes), cut back.
//   Down     a cut moves the tail down over the removed range.  Finish: complete the move, then
//            the Final step.
//   Final    the new sizes go into the header in one write, a pad byte behind odd-sized data,
//            and the file is cut to its new end.  Each is done again until the journal is gone.
//   Compact  a compaction writes its copy beside the recording.  Undo: remove the copy.
// A move goes piece by piece; each piece is first stored in the journal (two slots, used in
// turn), so a piece whose write was cut short by a kill is written again from the journal even
// where it overlapped its own source.
//
// The journal names the recording by its device, inode and size and by a checksum of its header;
// one that does not match the file (another file under the same name, a size or header that
// differ) is removed without touching the file.  A journal that cannot be read exactly as written
// (any number out of range, a name other than "VOX" + 4 hex digits + ".tmp") is removed and
// nothing else happens.  It names no path: the splice file lies in the temporary folder, the
// compaction copy beside the recording, and only regular files there are removed.
#pragma once

#include <cstdint>
#include <string>

#include "core/recorder.h"
#include "platform/mmio/mmio.h"

namespace voxl {

enum class JournalStep : char {
  Collect = 'c',
  Up = 'u',
  Down = 'd',
  Final = 'f',
  Compact = 'k',
};

// New sizes of a RIFF/WAVE header: each field's file offset (0: not written) and value.  In an
// RF64 file (`wide`) the fields are the 8-byte form size, data size and sample count of its
// "ds64" chunk.
struct SizeFields {
  uint64_t formAt = 0, form = 0;
  uint64_t dataAt = 0, data = 0;
  uint64_t factAt = 0, fact = 0;
  uint64_t padAt = 0;  // a zero pad byte behind odd-sized data (0: none)
  bool wide = false;
};

struct JournalRecord {
  JournalStep step = JournalStep::Collect;
  uint64_t device = 0, inode = 0;
  uint64_t fileBytes = 0;    // size of the recording while the step runs (Collect: before it)
  uint64_t headerBytes = 0;  // bytes at the start of the file the checksums cover
  uint64_t headerSum = 0;    // of the header as the step finds it
  uint64_t finalSum = 0;     // of the header once the sizes are written (Final)
  uint64_t from = 0, to = 0, count = 0;  // the move
  uint64_t done = 0;                     // bytes moved, counted from the end the move began at
  uint64_t pending = 0;                  // bytes of the piece in flight, stored in `slot`
  uint64_t slot = 0;
  uint64_t endBytes = 0;  // the file's length once the edit is undone or finished
  SizeFields sizes;
  char temp[12] = {};  // base name of the splice file or the compaction copy, or empty
};

// The journal of one edit while it runs.  Every write is one write of the whole record, in
// place, so a kill leaves the journal as it was before or after.
class EditJournal {
 public:
  EditJournal() = default;
  EditJournal(const EditJournal&) = delete;
  EditJournal& operator=(const EditJournal&) = delete;
  ~EditJournal();

  // Creates the journal of `recording` (open as `file`) for `record`, whose identity fields
  // (device, inode, size, header) are filled in here from the file.  False when it cannot be
  // written; nothing is left behind then.
  bool Begin(const char* recording, HMMIO file, JournalRecord record);
  // Where the journal cannot be written beside the recording (a folder without write
  // permission), the edit still runs, described by a journal that keeps nothing: a kill then
  // leaves what it leaves.
  void BeginUnbacked(JournalRecord record);
  // Writes `record` as the journal's new content.
  bool Update();
  // Moves record().count bytes inside `file` as the record describes (Up: last piece first,
  // Down: first piece first), from record().done on, journalling each piece.  True when the
  // move is complete.
  bool Move(HMMIO file, uint8_t* buffer);
  // Reports each piece a move carries to `hook` (kept by pointer; null: none).
  void ReportTo(const ProgressHook* hook) { progress_ = hook; }
  // Writes the piece in flight (if any) from the journal to its place; done then counts it.
  bool CompletePending(HMMIO file, uint8_t* buffer);
  // Runs a Down step to its end, then the Final step, each tried twice.  False when that failed:
  // the journal stays for the next open, or, when nothing of the recording had moved yet, is
  // removed (the recording is as it was).
  bool Finish(HMMIO file, uint8_t* buffer);
  // Removes the journal (the edit is complete or undone).
  void End();

  JournalRecord& record() { return record_; }
  bool active() const { return begun_; }

 private:
  friend uint16_t RecoverEdit(HMMIO file, const char* recording);
  friend void DropEditJournal(const char* recording);
  bool Open(const char* recording, bool create);
  bool WritePiece(const uint8_t* data, uint32_t bytes);
  bool ReadPiece(uint8_t* data);

  HMMIO handle_ = nullptr;
  bool begun_ = false;
  char name_[320] = {};
  JournalRecord record_;
  const ProgressHook* progress_ = nullptr;
};

// Undoes an Up step after a failed or killed move or fill: what had moved goes back down and the
// file returns to its old length; the journal is removed.  False when that failed too (the
// journal then stays for the next open).
bool UndoInsertMove(EditJournal& journal, HMMIO file, uint8_t* buffer);

// The Final step: the new sizes, the pad byte and the new end; the journal is removed.
bool FinishEdit(EditJournal& journal, HMMIO file);

// The folder a file name lies in: up to its last separator, "." for a bare name, the root for a
// file in it (also a drive's root, "C:\\").
std::string FolderOf(const char* name);

// The checksum of the header of `file` once `record`'s sizes are written into it.
uint64_t FinalChecksum(HMMIO file, const JournalRecord& record);

// The checksum of `bytes` at the start of `file` (64-bit FNV-1a); false when they cannot be read.
bool HeaderChecksum(HMMIO file, uint64_t bytes, uint64_t* sum);

// Writes `sizes` into `file`: the header fields in one write, then the pad byte.  False when a
// read or write fails.
bool WriteSizeFieldsOnce(HMMIO file, const SizeFields& sizes);

// The writable open of `recording` (`file`): finishes or undoes what a killed edit left behind,
// as described above.  ErrNone, or ErrCaptureWrite when an edit that matches the file could not
// be completed (the journal stays for the next open).
uint16_t RecoverEdit(HMMIO file, const char* recording);

// Removes the journal beside `recording` without acting on it: a new recording under that name
// replaces whatever an old edit described.
void DropEditJournal(const char* recording);

}  // namespace voxl
