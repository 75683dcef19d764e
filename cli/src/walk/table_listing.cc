#include "walk/table_listing.h"

#include <string>

#include "platform/platform.h"
#include "platform/win32_kinds.h"
#include "text/utf16.h"

namespace oskra {

using platform::EntryKind;
using platform::NativeString;

namespace {

EntryKind kind_of(const ntfs::Facts& facts) {
  return platform::win32::classify_record(facts.attributes, facts.reparse_tag);
}

// The same units where native text is UTF-16, UTF-8 elsewhere; an unpaired
// surrogate becomes U+FFFD there, as a listing's name would be shown.
template <class Char>
void convert_name(std::u16string_view name, std::basic_string<Char>& out) {
  out.clear();
  if constexpr (sizeof(Char) == sizeof(char16_t)) {
    out.assign(name.begin(), name.end());
  } else {
    unicode::append_utf16_as_utf8(name, out);
  }
}

}  // namespace

void native_name(std::u16string_view name, NativeString& out) { convert_name(name, out); }

std::optional<std::uint32_t> find_folder(const ntfs::Table& table,
                                         platform::NativeStringView relative) {
  std::uint32_t folder = ntfs::Table::ROOT;
  NativeString candidate;
  std::u16string scratch;
  while (!relative.empty()) {
    const std::size_t end = relative.find(platform::SEPARATOR);
    const platform::NativeStringView wanted = relative.substr(0, end);
    relative = end == relative.npos ? platform::NativeStringView() : relative.substr(end + 1);
    if (wanted.empty()) continue;
    std::optional<std::uint32_t> found;
    for (const ntfs::Entry& entry : table.children(folder)) {
      native_name(table.name(entry, scratch), candidate);
      if (candidate == wanted) {
        found = entry.record;
        break;
      }
    }
    if (!found || kind_of(table.facts(*found)) != EntryKind::directory) return std::nullopt;
    folder = *found;
  }
  return folder;
}

namespace {

bool same_records(const platform::RecordList& a, const platform::RecordList& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const platform::DirRecord& x = a[i];
    const platform::DirRecord& y = b[i];
    if (a.name(x) != b.name(y) || x.kind != y.kind) return false;
    // A folder's own size counts nowhere.
    const bool counted = x.kind == EntryKind::file || x.kind == EntryKind::link;
    if (counted && x.size != y.size) return false;
  }
  return true;
}

}  // namespace

bool listings_agree(ListingStream& table, ListingStream& listed, std::size_t folders) {
  for (std::size_t i = 0; i <= folders; ++i) {
    Listing a;
    Listing b;
    const bool more = table.next(a);
    if (more != listed.next(b)) return false;
    if (!more) return true;
    if (a.status != platform::ListStatus::ok || b.status != platform::ListStatus::ok ||
        a.depth != b.depth || a.name != b.name || !same_records(a.records, b.records)) {
      return false;
    }
  }
  return true;
}

void TableListing::list(std::uint32_t folder, Listing& out) {
  const auto entries = table_.children(folder);
  std::size_t units = 0;
  for (const ntfs::Entry& entry : entries) units += entry.name_size;
  out.records = platform::RecordList();
  out.records.reserve_more(entries.size(), units);
  out.status = platform::ListStatus::ok;
  NativeString name;
  for (const ntfs::Entry& entry : entries) {
    const ntfs::Facts& facts = table_.facts(entry.record);
    native_name(table_.name(entry, scratch_), name);
    out.records.add(name, kind_of(facts),
                    platform::win32::counted_size(facts.attributes, facts.size, facts.allocated));
  }
}

bool TableListing::next(Listing& out) {
  if (!started_) {
    started_ = true;
    list(start_, out);
    out.depth = 0;
    out.name = root_path_;
    stack_.push_back({start_});
    return true;
  }
  while (!stack_.empty()) {
    Frame& frame = stack_.back();
    const auto entries = table_.children(frame.folder);
    while (frame.next < entries.size()) {
      const ntfs::Entry& entry = entries[frame.next++];
      if (kind_of(table_.facts(entry.record)) != EntryKind::directory) continue;
      list(entry.record, out);
      out.depth = stack_.size();
      native_name(table_.name(entry, scratch_), name_);
      out.name = name_;
      stack_.push_back({entry.record});
      return true;
    }
    stack_.pop_back();
  }
  return false;
}

}  // namespace oskra
