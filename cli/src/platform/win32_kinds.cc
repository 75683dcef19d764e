#include "platform/win32_kinds.h"

namespace oskra::platform::win32 {

// Docs: Reparse Point Tags; MS-FSCC 2.1.2.1; File Attribute Constants; CF_PLACEHOLDER_STATE.
EntryKind classify_record(std::uint32_t attributes, std::uint32_t reparse_tag) {
  if ((attributes & ATTRIBUTE_DIRECTORY) == 0) return EntryKind::file;
  // The tag means something only with the reparse-point bit set.
  const bool reparse = (attributes & ATTRIBUTE_REPARSE_POINT) != 0;
  if (reparse && (reparse_tag & REPARSE_NAME_SURROGATE) != 0) return EntryKind::link;
  if ((attributes & (ATTRIBUTE_RECALL_ON_OPEN | ATTRIBUTE_RECALL_ON_DATA_ACCESS)) != 0) {
    return EntryKind::skip;
  }
  if (!reparse) return EntryKind::directory;
  return (reparse_tag & ~REPARSE_TAG_CLOUD_MASK) == REPARSE_TAG_CLOUD ? EntryKind::directory
                                                                      : EntryKind::skip;
}

// Docs: File Attribute Constants (RECALL_ON_OPEN, RECALL_ON_DATA_ACCESS, OFFLINE).
bool data_elsewhere(std::uint32_t attributes) {
  return (attributes &
          (ATTRIBUTE_RECALL_ON_OPEN | ATTRIBUTE_RECALL_ON_DATA_ACCESS | ATTRIBUTE_OFFLINE)) != 0;
}

// Docs: File Attribute Constants; FILE_FULL_DIR_INFO (EndOfFile, AllocationSize).
std::uint64_t counted_size(std::uint32_t attributes, std::uint64_t end_of_file,
                           std::uint64_t allocation) {
  if (!data_elsewhere(attributes)) return end_of_file;
  return allocation < end_of_file ? allocation : end_of_file;
}

}  // namespace oskra::platform::win32
