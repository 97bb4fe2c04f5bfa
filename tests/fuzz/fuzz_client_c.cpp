// The C interface's buffers: text cut at every size never runs past the
// buffer, always ends in NUL, never splits a UTF-8 character nor drops more
// than one; and brisvane_read_last_upgrade over any record fills its struct
// and reason within their sizes. The first input byte sizes the reason
// buffer, the rest is the text and the record.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "brisvane/upgrade_client.h"
#include "c_buffers.h"
#include "fuzz_check.h"
#include "record_file.h"

namespace {

// Whether `text` is well-formed UTF-8 (overlong forms and surrogates aside,
// which no cut can make or mend).
bool IsUtf8(const char* text, std::size_t length) {
  for (std::size_t i = 0; i < length;) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const std::size_t span = c < 0x80             ? 1
                             : (c & 0xE0) == 0xC0 ? 2
                             : (c & 0xF0) == 0xE0 ? 3
                             : (c & 0xF8) == 0xF0 ? 4
                                                  : 0;
    if (span == 0 || i + span > length) return false;
    for (std::size_t k = 1; k < span; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    i += span;
  }
  return true;
}

// Each buffer exactly `size` bytes on the heap, so a byte past it is caught.
void CheckCut(const std::string& text, std::size_t size) {
  std::unique_ptr<char[]> out(new char[std::max<std::size_t>(size, 1)]);
  std::memset(out.get(), 'X', std::max<std::size_t>(size, 1));
  const bool whole = brisvane::c_buffers::CopyText(text.c_str(), out.get(), size);
  if (size == 0) {
    FUZZ_CHECK(out[0] == 'X' && whole == text.empty());
    return;
  }
  const std::size_t kept = strnlen(out.get(), size);
  FUZZ_CHECK(kept < size);
  FUZZ_CHECK(std::memcmp(out.get(), text.data(), kept) == 0);
  FUZZ_CHECK(whole == (kept == text.size()));
  FUZZ_CHECK(kept + 3 >= std::min(text.size(), size - 1));
  if (IsUtf8(text.data(), text.size())) FUZZ_CHECK(IsUtf8(out.get(), kept));
}

void CheckField(const char* field, std::size_t size) {
  const std::size_t length = strnlen(field, size);
  FUZZ_CHECK(length < size);
  FUZZ_CHECK(IsUtf8(field, length));
}

void CheckReadLastUpgrade(std::size_t reasonSize) {
  std::unique_ptr<char[]> reason(new char[std::max<std::size_t>(reasonSize, 1)]);
  brisvane_last_upgrade record;
  std::memset(&record, 'X', sizeof record);
  const int status = brisvane_read_last_upgrade(&record, reason.get(), reasonSize);
  if (reasonSize > 0) CheckField(reason.get(), reasonSize);
  if (status != BRISVANE_RECORD_READ) {
    FUZZ_CHECK(status == BRISVANE_RECORD_UNREADABLE);
    const brisvane_last_upgrade zero{};
    FUZZ_CHECK(std::memcmp(&record, &zero, sizeof record) == 0);
    FUZZ_CHECK(reasonSize <= 1 || reason[0] != '\0');
    return;
  }
  FUZZ_CHECK(reasonSize == 0 || reason[0] == '\0');
  FUZZ_CHECK(record.result >= BRISVANE_UPGRADE_INSTALLED &&
             record.result <= BRISVANE_UPGRADE_SIGNATURE_REFUSED);
  for (const auto& [field, fieldSize] :
       {std::pair<const char*, std::size_t>{record.result_text, sizeof record.result_text},
        {record.installer, sizeof record.installer},
        {record.url, sizeof record.url},
        {record.key_id, sizeof record.key_id},
        {record.started, sizeof record.started},
        {record.ended, sizeof record.ended},
        {record.upgrader_version, sizeof record.upgrader_version}}) {
    CheckField(field, fieldSize);
  }
  FUZZ_CHECK(record.cut == 0 || record.cut == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t reasonSize = data[0];
  const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string text = rest.substr(0, rest.find('\0'));
  for (std::size_t cut = 0; cut <= std::min<std::size_t>(text.size() + 1, 300); ++cut)
    CheckCut(text, cut);
  WriteRecordFile(rest);
  CheckReadLastUpgrade(reasonSize);
  return 0;
}
