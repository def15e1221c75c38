// The format chooser (acmFormatChooseA): the host's own when it installed one
// (VoxlSetFormatChooser), else numbered lines on the controlling terminal, else an answer as
// from a cancelled dialog.  The list is every standard format of every driver in table order, or
// only those of one tag when the caller restricts it.
#include "platform/acm/acm_chooser.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/acm/acm_driver.h"

namespace voxl::acm {
namespace {

std::mutex gChooserMutex;
VoxlFormatChooser gChooser = nullptr;
void* gChooserContext = nullptr;

struct Entry {
  const CodecDriver* driver;
  std::vector<BYTE> format;
  const WAVEFORMATEX* record() const {
    return reinterpret_cast<const WAVEFORMATEX*>(format.data());
  }
  DWORD bytes() const { return sizeof(WAVEFORMATEX) + record()->cbSize; }
};

std::vector<Entry> ListFormats(const ACMFORMATCHOOSEA* choose) {
  const bool restricted = (choose->fdwEnum & ACM_FORMATENUMF_WFORMATTAG) != 0;
  std::vector<Entry> entries;
  for (const CodecDriver* d : Drivers()) {
    if (restricted && d->formatTag != choose->pwfxEnum->wFormatTag) continue;
    for (DWORD i = 0; i < d->StandardFormatCount(); ++i) {
      Entry e{d, std::vector<BYTE>(std::max<DWORD>(d->largestFormatBytes, sizeof(WAVEFORMATEX)))};
      if (d->StandardFormat(i, reinterpret_cast<WAVEFORMATEX*>(e.format.data()),
                            static_cast<DWORD>(e.format.size()))) {
        entries.push_back(std::move(e));
      }
    }
  }
  return entries;
}

void CopyText(char* dst, size_t capacity, const char* src) {
  std::strncpy(dst, src, capacity - 1);
  dst[capacity - 1] = '\0';
}

}  // namespace

MMRESULT ChooseFormatOnTerminal(ACMFORMATCHOOSEA* choose, std::FILE* in, std::FILE* out) {
  const std::vector<Entry> entries = ListFormats(choose);
  if (entries.empty()) return ACMERR_NOTPOSSIBLE;
  const bool markCurrent = (choose->fdwStyle & ACMFORMATCHOOSE_STYLEF_INITTOWFXSTRUCT) != 0;
  std::fprintf(out, "%s\n", choose->pszTitle != nullptr ? choose->pszTitle : "Choose a format");
  for (size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    char text[ACMFORMATDETAILS_FORMAT_CHARS] = {};
    e.driver->Describe(e.record(), text, sizeof text);
    const bool current = markCurrent && e.bytes() <= choose->cbwfx &&
                         std::memcmp(choose->pwfx, e.record(), e.bytes()) == 0;
    std::fprintf(out, "%zu. %s: %s%s\n", i + 1, e.driver->tagName, text,
                 current ? "  (current)" : "");
  }
  for (;;) {
    std::fprintf(out, "Format number (empty line to cancel): ");
    std::fflush(out);
    char line[64];
    if (std::fgets(line, sizeof line, in) == nullptr) return ACMERR_CANCELED;
    line[std::strcspn(line, "\r\n")] = '\0';
    if (line[0] == '\0' || std::strcmp(line, "q") == 0) return ACMERR_CANCELED;
    char* end = nullptr;
    const unsigned long n = std::strtoul(line, &end, 10);
    if (*end != '\0' || n < 1 || n > entries.size()) continue;
    const Entry& e = entries[n - 1];
    if (e.bytes() > choose->cbwfx) return MMSYSERR_INVALPARAM;
    std::memcpy(choose->pwfx, e.record(), e.bytes());
    CopyText(choose->szFormatTag, sizeof choose->szFormatTag, e.driver->tagName);
    choose->szFormat[0] = '\0';
    e.driver->Describe(e.record(), choose->szFormat, sizeof choose->szFormat);
    return MMSYSERR_NOERROR;
  }
}

}  // namespace voxl::acm

using namespace voxl::acm;

extern "C" {

VOXL_API MMRESULT WINAPI acmFormatChooseA(LPACMFORMATCHOOSEA pafmtc) {
  if (pafmtc == nullptr || pafmtc->cbStruct < sizeof(ACMFORMATCHOOSEA) || pafmtc->pwfx == nullptr ||
      pafmtc->cbwfx < sizeof(WAVEFORMATEX) ||
      ((pafmtc->fdwEnum & ACM_FORMATENUMF_WFORMATTAG) != 0 && pafmtc->pwfxEnum == nullptr)) {
    return MMSYSERR_INVALPARAM;
  }
  VoxlFormatChooser chooser;
  void* context;
  {
    std::lock_guard lock(gChooserMutex);
    chooser = gChooser;
    context = gChooserContext;
  }
  if (chooser != nullptr) return chooser(pafmtc, context);
  std::FILE* tty = std::fopen("/dev/tty", "r+");
  if (tty == nullptr) return ACMERR_CANCELED;
  const MMRESULT result = ChooseFormatOnTerminal(pafmtc, tty, tty);
  std::fclose(tty);
  return result;
}

VOXL_API void WINAPI VoxlSetFormatChooser(VoxlFormatChooser chooser, void* context) {
  std::lock_guard lock(gChooserMutex);
  gChooser = chooser;
  gChooserContext = context;
}

}  // extern "C"
