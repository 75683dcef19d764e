#include "walk/table_listing.h"

#include <algorithm>
#include <random>
#include <string>
#include <string_view>
#include <utility>

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

std::string_view kind_word(EntryKind kind) {
  switch (kind) {
    case EntryKind::directory:
      return "文件夹";
    case EntryKind::file:
      return "文件";
    case EntryKind::link:
      return "链接";
    case EntryKind::skip:
      return "跳过";
  }
  return "?";
}

std::string said(std::string_view what, std::string_view table, std::string_view listed) {
  std::string out(what);
  out.append(": 文件表 ").append(table).append(", 列出 ").append(listed);
  return out;
}

std::string said(std::string_view what, std::uint64_t table, std::uint64_t listed) {
  return said(what, std::to_string(table), std::to_string(listed));
}

// The first record that differs, said with the entry it is in; nothing
// when the two listings of `folder` hold the same, or sizes the file itself
// says the table has right.
std::optional<std::string> records_differ(const platform::RecordList& a,
                                          const platform::RecordList& b,
                                          platform::NativeStringView folder,
                                          const OwnSize& own_size) {
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
    const platform::DirRecord& x = a[i];
    const platform::DirRecord& y = b[i];
    const std::string entry = "条目 " + platform::to_utf8_lossy(a.name(x)) + ", ";
    if (a.name(x) != b.name(y)) {
      return "第 " + std::to_string(i + 1) + " 个" +
             said("条目名称", platform::to_utf8_lossy(a.name(x)),
                  platform::to_utf8_lossy(b.name(y)));
    }
    if (x.kind != y.kind) return entry + said("类型", kind_word(x.kind), kind_word(y.kind));
    // A folder's own size counts nowhere.
    const bool counted = x.kind == EntryKind::file || x.kind == EntryKind::link;
    if (counted && x.size != y.size) {
      if (own_size) {
        const std::optional<std::uint64_t> own = own_size(folder, a.name(x));
        if (own && *own == x.size) continue;
      }
      return entry + said("大小", x.size, y.size);
    }
  }
  if (a.size() != b.size()) return said("条目数", a.size(), b.size());
  return std::nullopt;
}

}  // namespace

std::optional<std::string> first_difference(ListingStream& table, ListingStream& listed,
                                            std::size_t folders, const OwnSize& own_size) {
  // The display path of the folder each depth is at, to say where, and its
  // native path, to ask a file its own size.
  std::vector<std::string> trail;
  std::vector<NativeString> native_trail;
  for (std::size_t i = 0; i <= folders; ++i) {
    Listing a;
    Listing b;
    const bool more = table.next(a);
    if (more != listed.next(b))
      return said("自检的文件夹", more ? "还有" : "已完", more ? "已完" : "还有");
    if (!more) return std::nullopt;
    if (a.depth != b.depth) return said("文件夹层级", a.depth, b.depth);
    trail.resize(a.depth);
    std::string folder = a.depth == 0 ? platform::display_path(a.name)
                                      : trail.back() + static_cast<char>(platform::SEPARATOR) +
                                            platform::to_utf8_lossy(a.name);
    const std::string where = "文件夹 " + folder + ", ";
    if (a.name != b.name) {
      return where +
             said("文件夹名称", platform::to_utf8_lossy(a.name), platform::to_utf8_lossy(b.name));
    }
    if (a.status != platform::ListStatus::ok || b.status != platform::ListStatus::ok) {
      return where + said("读取", a.status == platform::ListStatus::ok ? "完整" : "不完整",
                          b.status == platform::ListStatus::ok ? "完整" : "不完整");
    }
    native_trail.resize(a.depth);
    NativeString native = a.depth == 0
                              ? platform::listing_path(a.name)
                              : native_trail.back() + platform::SEPARATOR + NativeString(a.name);
    if (std::optional<std::string> differs =
            records_differ(a.records, b.records, native, own_size)) {
      return where + *differs;
    }
    trail.push_back(std::move(folder));
    native_trail.push_back(std::move(native));
  }
  return std::nullopt;
}

std::vector<CheckedFolder> spread_folders(const ntfs::Table& table, std::uint32_t start,
                                          platform::NativeStringView root_path, std::size_t skip,
                                          std::size_t count) {
  struct Frame {
    std::uint32_t folder;
    std::size_t next = 0;  // one past the entry it was entered by, in its parent's
  };
  struct Chosen {
    std::size_t position;
    CheckedFolder folder;
  };
  std::vector<Chosen> chosen;
  if (count == 0) return {};
  chosen.reserve(count);
  // One pass in walk order, keeping a uniform sample of what it has passed
  // (each new folder takes a random place, or none): the tree's size is not
  // known before. A fixed seed, so a run can be told again.
  std::minstd_rand random(20261210);
  std::vector<Frame> stack{{start}};
  std::u16string scratch;
  NativeString name;
  std::size_t position = 0;
  const auto path_here = [&] {
    NativeString path = platform::listing_path(root_path);
    for (std::size_t i = 1; i < stack.size(); ++i) {
      const ntfs::Entry& entry = table.children(stack[i - 1].folder)[stack[i - 1].next - 1];
      native_name(table.name(entry, scratch), name);
      path.push_back(platform::SEPARATOR);
      path += name;
    }
    return path;
  };
  while (!stack.empty()) {
    Frame& frame = stack.back();
    const auto entries = table.children(frame.folder);
    if (frame.next == entries.size()) {
      stack.pop_back();
      continue;
    }
    const ntfs::Entry& entry = entries[frame.next++];
    if (kind_of(table.facts(entry.record)) != EntryKind::directory) continue;
    stack.push_back({entry.record});
    if (++position <= skip) continue;
    const std::size_t seen = position - skip;
    std::size_t place = chosen.size();
    if (chosen.size() == count) {
      place = random() % seen;
      if (place >= count) continue;
    }
    Chosen here{position, CheckedFolder{entry.record, path_here()}};
    if (place == chosen.size()) {
      chosen.push_back(std::move(here));
    } else {
      chosen[place] = std::move(here);
    }
  }
  std::sort(chosen.begin(), chosen.end(),
            [](const Chosen& a, const Chosen& b) { return a.position < b.position; });
  std::vector<CheckedFolder> folders;
  folders.reserve(chosen.size());
  for (Chosen& c : chosen) folders.push_back(std::move(c.folder));
  return folders;
}

std::optional<std::string> self_check(const ntfs::Table& table, std::uint32_t start,
                                      platform::NativeStringView root_path, std::size_t first,
                                      std::size_t spread, const ListedFrom& listed,
                                      const OwnSize& own_size) {
  {
    TableListing from_table(table, start, root_path);
    if (std::optional<std::string> differs =
            first_difference(from_table, *listed(root_path), first, own_size)) {
      return differs;
    }
  }
  for (const CheckedFolder& folder : spread_folders(table, start, root_path, first, spread)) {
    TableListing from_table(table, folder.record, folder.path);
    if (std::optional<std::string> differs =
            first_difference(from_table, *listed(folder.path), 0, own_size)) {
      return differs;
    }
  }
  return std::nullopt;
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
