// ntfs_report: the program's report of a tree on an NTFS image, listed two
// ways, for the tests to compare byte for byte (never shipped).
//
//   ntfs_report [--json] [--depth N] IMAGE [SUBPATH]
//       the tree as the master file table reader gives it;
//   ntfs_report --listed [--json] [--depth N] LINES [SUBPATH]
//       the same tree from LINES, another reader's enumeration of the image
//       (ntfs_oracle's output: "/path<TAB>attributes<TAB>tag<TAB>size<TAB>
//       allocated", each folder's entries in its index order, folders
//       depth-first).
//   ntfs_report --agree IMAGE LINES [SUBPATH]
//       exits 0 when the self-check finds the two views the same, 3 when not.
//
// Both walk and report with the program's own pieces and its built-in rules;
// the root is named SUBPATH ("/" without one) and the elapsed time is 0, so
// two reports of one tree are equal.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ntfs/ntfs.h"
#include "platform/platform.h"
#include "platform/win32_kinds.h"
#include "report/json_report.h"
#include "report/report.h"
#include "report/text_report.h"
#include "report/writer.h"
#include "rules/rules.h"
#include "walk/listing.h"
#include "walk/table_listing.h"
#include "walk/walk.h"

namespace {

using oskra::Listing;
using oskra::platform::EntryKind;
using oskra::platform::win32::classify_record;
using oskra::platform::win32::counted_size;

// One entry of the other enumeration.
struct Line {
  std::string name;
  EntryKind kind;
  std::uint64_t size;
};

// The listings of a tree held as each folder's lines, by path.
class LinesListing final : public oskra::ListingStream {
 public:
  LinesListing(std::map<std::string, std::vector<Line>> folders, std::string root)
      : folders_(std::move(folders)), root_(std::move(root)) {}

  bool next(Listing& out) override {
    if (!started_) {
      started_ = true;
      return yield(root_ == "/" ? "" : root_, root_, out);
    }
    while (!stack_.empty()) {
      auto& [path, next] = stack_.back();
      const std::vector<Line>& lines = folders_[path];
      while (next < lines.size()) {
        const Line& line = lines[next++];
        if (line.kind == EntryKind::directory) return yield(path + "/" + line.name, line.name, out);
      }
      stack_.pop_back();
    }
    return false;
  }

 private:
  bool yield(const std::string& path, const std::string& name, Listing& out) {
    out.depth = stack_.size();
    out.records = {};
    out.status = oskra::platform::ListStatus::ok;
    for (const Line& line : folders_[path]) out.records.add(line.name, line.kind, line.size);
    name_ = name;
    out.name = name_;
    stack_.emplace_back(path, 0);
    return true;
  }

  std::map<std::string, std::vector<Line>> folders_;
  const std::string root_;
  bool started_ = false;
  std::vector<std::pair<std::string, std::size_t>> stack_;
  std::string name_;
};

std::map<std::string, std::vector<Line>> read_lines(const char* file) {
  std::map<std::string, std::vector<Line>> folders;
  std::ifstream in(file);
  std::string text;
  while (std::getline(in, text)) {
    std::vector<std::string> fields;
    for (std::size_t at = 0;;) {
      const std::size_t tab = text.find('\t', at);
      fields.push_back(text.substr(at, tab - at));
      if (tab == std::string::npos) break;
      at = tab + 1;
    }
    if (fields.size() != 5) continue;
    const std::size_t slash = fields[0].rfind('/');
    const auto attributes = static_cast<std::uint32_t>(std::stoul(fields[1], nullptr, 16));
    const auto tag = static_cast<std::uint32_t>(std::stoul(fields[2], nullptr, 16));
    folders[fields[0].substr(0, slash)].push_back(
        {fields[0].substr(slash + 1), classify_record(attributes, tag),
         counted_size(attributes, std::stoull(fields[3]), std::stoull(fields[4]))});
  }
  return folders;
}

std::optional<oskra::ntfs::Table> read_image(const char* image) {
  const int fd = ::open(image, O_RDONLY);
  if (fd < 0) return std::nullopt;
  const oskra::ntfs::ReadAt read = [fd](std::uint64_t offset, std::span<std::byte> out) {
    return ::pread(fd, out.data(), out.size(), static_cast<off_t>(offset)) ==
           static_cast<ssize_t>(out.size());
  };
  // Large arrays as the program takes them.
  oskra::ntfs::ReadResult result = oskra::ntfs::read_table(
      read, nullptr, {oskra::platform::map_block, oskra::platform::release_block});
  ::close(fd);
  if (!result.table) std::fprintf(stderr, "unreadable: %s\n", result.failure.c_str());
  return std::move(result.table);
}

int self_check(const std::vector<const char*>& rest) {
  if (rest.size() < 2 || rest.size() > 3) return 2;
  const std::string root = rest.size() == 3 ? rest[2] : "/";
  const std::optional<oskra::ntfs::Table> table = read_image(rest[0]);
  const std::optional<std::uint32_t> start =
      table ? oskra::find_folder(*table, root) : std::nullopt;
  if (!start) return 1;
  const std::map<std::string, std::vector<Line>> lines = read_lines(rest[1]);
  // As the program checks a table: 16 folders in walk order, 48 spread.
  const auto listed = [&lines](std::string_view path) {
    return std::make_unique<LinesListing>(lines, std::string(path.empty() ? "/" : path));
  };
  return oskra::self_check(*table, *start, root, 16, 48, listed) ? 3 : 0;
}

int write_report(oskra::WalkResult walked, bool json) {
  const oskra::Report report = oskra::make_report(std::move(walked), 0);
  oskra::Writer out([](std::string_view piece) {
    return std::fwrite(piece.data(), 1, piece.size(), stdout) == piece.size();
  });
  if (json) {
    oskra::write_json_report(report, out);
  } else {
    oskra::write_text_report(report, 20, false, out);
  }
  return out.flush() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  bool listed = false;
  bool agree = false;
  bool json = false;
  std::uint32_t depth = 1;
  std::vector<const char*> rest;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--listed") {
      listed = true;
    } else if (arg == "--agree") {
      agree = true;
    } else if (arg == "--json") {
      json = true;
    } else if (arg == "--depth" && i + 1 < argc) {
      depth = static_cast<std::uint32_t>(std::stoul(argv[++i]));
    } else {
      rest.push_back(argv[i]);
    }
  }
  if (agree) return self_check(rest);
  if (rest.empty() || rest.size() > 2) {
    std::fprintf(stderr, "usage: ntfs_report [--listed] [--json] [--depth N] IMAGE [SUBPATH]\n");
    return 2;
  }
  const std::string root = rest.size() == 2 ? rest[1] : "/";
  const oskra::RuleEngine engine;
  if (listed) {
    LinesListing listings(read_lines(rest[0]), root);
    return write_report(oskra::walk(listings, depth, engine), json);
  }
  const std::optional<oskra::ntfs::Table> table = read_image(rest[0]);
  if (!table) return 1;
  const std::optional<std::uint32_t> start = oskra::find_folder(*table, root);
  if (!start) {
    std::fprintf(stderr, "no folder %s\n", root.c_str());
    return 1;
  }
  oskra::TableListing listings(*table, *start, root);
  return write_report(oskra::walk(listings, depth, engine), json);
}
