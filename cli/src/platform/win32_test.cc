// The Windows realisation of the platform layer, against the real file
// system (run under Wine on Linux).
#include <gtest/gtest.h>
#include <process.h>
#include <windows.h>

// After <windows.h>, which it needs.
#include <shellapi.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "platform/platform.h"
#include "platform/win32_decisions.h"
#include "platform/win32_listing.h"

namespace oskra::platform {
namespace {

namespace fs = std::filesystem;

// A fresh folder under the temporary directory, removed afterwards.
class TempDir {
 public:
  TempDir() {
    const fs::path base = fs::temp_directory_path();
    for (int i = 0;; ++i) {
      path_ = base / ("oskra_win32_test_" + std::to_string(i));
      std::error_code ec;
      if (fs::create_directory(path_, ec)) break;
      if (ec) throw fs::filesystem_error("temp dir", path_, ec);
    }
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

void write_file(const fs::path& p, std::string_view bytes) {
  std::ofstream out(p, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

struct Entry {
  std::wstring name;
  EntryKind kind;
  std::uint64_t size;
};

// Lists `dir` as a scan lists its root.
ListStatus list_dir(const std::wstring& dir, RecordList& records) {
  DirectoryReader reader;
  DirHandle handle;
  if (reader.open_root(dir, handle) != OpenStatus::ok) return ListStatus::open_failed;
  return reader.read(handle, records);
}

std::vector<Entry> list_all(const std::wstring& dir, ListStatus& status) {
  RecordList records;
  status = list_dir(dir, records);
  std::vector<Entry> out;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const DirRecord& r = records[i];
    out.push_back({std::wstring(records.name(r)), r.kind, r.size});
  }
  return out;
}

const Entry* find(const std::vector<Entry>& entries, std::wstring_view name) {
  for (const Entry& e : entries) {
    if (e.name == name) return &e;
  }
  return nullptr;
}

TEST(Win32Paths, ListingPathDropsTrailingBackslashesAndAddsThePrefix) {
  EXPECT_EQ(listing_path(L"\\\\?\\C:\\"), L"\\\\?\\C:");
  EXPECT_EQ(listing_path(L"C:\\x\\\\"), L"\\\\?\\C:\\x");
  EXPECT_EQ(listing_path(L"\\\\?\\C:\\Windows"), L"\\\\?\\C:\\Windows");
  EXPECT_EQ(listing_path(L"\\\\?\\UNC\\srv\\share\\"), L"\\\\?\\UNC\\srv\\share");
  // Only backslashes are separators here; a slash is part of the name.
  EXPECT_EQ(listing_path(L"\\\\?\\C:\\a/"), L"\\\\?\\C:\\a/");
  // Shorter than the prefix: the prefix goes in front.
  EXPECT_EQ(listing_path(L"\\\\?"), L"\\\\?\\\\\\?");
}

TEST(Win32Paths, EntryNameIsEmptyForRootsOnly) {
  EXPECT_EQ(entry_name(L"\\\\?\\C:\\"), "");
  EXPECT_EQ(entry_name(L"\\\\?\\C:"), "");
  EXPECT_EQ(entry_name(L"\\\\?\\UNC\\srv\\share"), "");
  EXPECT_EQ(entry_name(L"\\\\?\\UNC\\srv\\share\\"), "");
  EXPECT_EQ(entry_name(L"\\\\?\\Volume{1234}\\"), "");
  EXPECT_EQ(entry_name(L"C:\\"), "");
  EXPECT_EQ(entry_name(L"\\\\srv\\share"), "");
  EXPECT_EQ(entry_name(L"\\\\?\\C:\\Windows"), "Windows");
  EXPECT_EQ(entry_name(L"\\\\?\\C:\\Users\\a\\"), "a");
  EXPECT_EQ(entry_name(L"\\\\?\\UNC\\srv\\share\\d"), "d");
  EXPECT_EQ(entry_name(L"\\\\?\\C:\\x\\pagefile.sys"), "pagefile.sys");
  EXPECT_EQ(entry_name(L"C:/Users/bob"), "bob");
  EXPECT_EQ(entry_name(std::wstring{L'\\', L'\\', L'?', L'\\', L'C', L':', L'\\', 0xD800}),
            "\uFFFD");
}

TEST(Win32Listing, ClassifiesRecordsByAttributesAndTag) {
  constexpr std::uint32_t DIR = FILE_ATTRIBUTE_DIRECTORY, REPARSE = FILE_ATTRIBUTE_REPARSE_POINT,
                          ARCHIVE = FILE_ATTRIBUTE_ARCHIVE, OFFLINE = FILE_ATTRIBUTE_OFFLINE,
                          ON_OPEN = win32::ATTRIBUTE_RECALL_ON_OPEN,
                          ON_DATA = win32::ATTRIBUTE_RECALL_ON_DATA_ACCESS;
  constexpr std::uint32_t CLOUD = IO_REPARSE_TAG_CLOUD, ONEDRIVE = 0x9000701A;
  struct Case {
    std::uint32_t attributes, tag;
    EntryKind kind;
  } cases[] = {
      {ARCHIVE, 0, EntryKind::file},
      {DIR, 0, EntryKind::directory},
      {DIR, 0xA000000C, EntryKind::directory},  // a stale tag without the reparse bit
      {DIR | REPARSE, IO_REPARSE_TAG_MOUNT_POINT, EntryKind::link},  // mount point, junction
      {DIR | REPARSE, IO_REPARSE_TAG_SYMLINK, EntryKind::link},      // directory symbolic link
      // Cloud-file folders whose listing is on the disk are entered; those
      // whose listing would be fetched are not.
      {DIR | REPARSE, CLOUD, EntryKind::directory},
      {DIR | REPARSE | FILE_ATTRIBUTE_READONLY, ONEDRIVE, EntryKind::directory},
      {DIR | REPARSE | ON_OPEN, ONEDRIVE, EntryKind::skip},
      {DIR | REPARSE | ON_DATA, CLOUD | 0x1000, EntryKind::skip},
      {DIR | ON_DATA, 0, EntryKind::skip},
      {DIR | REPARSE | OFFLINE, ONEDRIVE, EntryKind::directory},
      // Any other reparse folder without the name-surrogate bit.
      {DIR | REPARSE, IO_REPARSE_TAG_CLOUD + 1, EntryKind::skip},
      {DIR | REPARSE, 0x9000001C, EntryKind::skip},  // projected file system
      {DIR | REPARSE, 0x80000018, EntryKind::skip},  // container layer
      {DIR | REPARSE, 0x00001234, EntryKind::skip},  // a tag not known here
      {DIR | REPARSE | ON_OPEN, IO_REPARSE_TAG_MOUNT_POINT, EntryKind::link},
      {REPARSE | ARCHIVE, IO_REPARSE_TAG_SYMLINK, EntryKind::file},     // file symbolic link
      {REPARSE | ARCHIVE, 0x8000001B, EntryKind::file},                 // app execution alias
      {REPARSE | ARCHIVE, IO_REPARSE_TAG_DEDUP, EntryKind::file},       // deduplicated file
      {REPARSE | ARCHIVE | OFFLINE | ON_DATA, CLOUD, EntryKind::file},  // online-only file
  };
  for (const Case& c : cases) {
    EXPECT_EQ(win32::classify_record(c.attributes, c.tag), c.kind)
        << std::hex << c.attributes << " " << c.tag;
  }

  // What a file counts: only what this disk holds of it.
  constexpr std::uint32_t PLACEHOLDER = REPARSE | ARCHIVE;
  struct Size {
    std::uint32_t attributes;
    std::uint64_t end_of_file, allocation, counted;
  } sizes[] = {
      {ARCHIVE, 5, 4096, 5},
      {FILE_ATTRIBUTE_SPARSE_FILE, 1ull << 40, 4096, 1ull << 40},  // logical size stays
      {FILE_ATTRIBUTE_COMPRESSED, 100000, 8192, 100000},
      {PLACEHOLDER, 3000, 4096, 3000},                      // hydrated
      {PLACEHOLDER | OFFLINE | ON_DATA, 5ull << 30, 0, 0},  // online-only
      {PLACEHOLDER | ON_OPEN, 5ull << 30, 0, 0},            // nothing here at all
      {ARCHIVE | ON_OPEN, 100000, 4096, 4096},
      {PLACEHOLDER | ON_DATA, 10ull << 20, 4ull << 20, 4ull << 20},  // partly here
      {PLACEHOLDER | ON_DATA, 3000, 4096, 3000},
      {ARCHIVE | OFFLINE, 100000, 4096, 4096},  // moved to remote storage
  };
  for (const Size& c : sizes) {
    EXPECT_EQ(win32::counted_size(c.attributes, c.end_of_file, c.allocation), c.counted)
        << std::hex << c.attributes << std::dec << " " << c.end_of_file << " " << c.allocation;
  }
}

TEST(Win32Paths, DisplayPathDropsEveryLeadingVerbatimPrefixOnly) {
  EXPECT_EQ(display_path(L"\\\\?\\C:\\Data"), "C:\\Data");
  EXPECT_EQ(display_path(L"\\\\?\\UNC\\srv\\share\\d"), "UNC\\srv\\share\\d");
  EXPECT_EQ(display_path(L"\\\\?\\\\\\?\\C:\\x"), "C:\\x");
  EXPECT_EQ(display_path(L"C:\\Data\\\\?\\x"), "C:\\Data\\\\?\\x");
  EXPECT_EQ(display_path(L"\\\\?\\C:\\a\xD800"), "C:\\a\xEF\xBF\xBD");
}

TEST(Win32Listing, DeliversEveryRecordWithItsKindAndSize) {
  TempDir tmp;
  write_file(tmp.path() / "five.txt", "12345");
  write_file(tmp.path() / L"\u6587\u4EF6.bin", "");
  fs::create_directory(tmp.path() / "sub");
  write_file(tmp.path() / "sub" / "inner", "x");
  // A sparse file beyond 4 GiB needs both halves of the size.
  const std::uint64_t big = (5ull << 30) + 7;
  write_file(tmp.path() / "big", "");
  std::error_code ec;
  fs::resize_file(tmp.path() / "big", big, ec);
  ASSERT_FALSE(ec) << ec.message();

  // With and without the verbatim prefix, with a trailing separator.
  for (const std::wstring& dir :
       {tmp.path().wstring(), L"\\\\?\\" + tmp.path().wstring() + L"\\"}) {
    ListStatus status{};
    const std::vector<Entry> entries = list_all(dir, status);
    EXPECT_EQ(status, ListStatus::ok);
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(find(entries, L"."), nullptr);
    EXPECT_EQ(find(entries, L".."), nullptr);
    const Entry* five = find(entries, L"five.txt");
    ASSERT_NE(five, nullptr);
    EXPECT_EQ(five->size, 5u);
    EXPECT_EQ(five->kind, EntryKind::file);
    const Entry* sub = find(entries, L"sub");
    ASSERT_NE(sub, nullptr);
    EXPECT_EQ(sub->kind, EntryKind::directory);
    const Entry* chinese = find(entries, L"\u6587\u4EF6.bin");
    ASSERT_NE(chinese, nullptr);
    EXPECT_EQ(chinese->size, 0u);
    const Entry* large = find(entries, L"big");
    ASSERT_NE(large, nullptr);
    EXPECT_EQ(large->size, big);
  }
}

TEST(Win32Listing, EmptyMissingAndFileListings) {
  TempDir tmp;
  fs::create_directory(tmp.path() / "empty");
  write_file(tmp.path() / "file", "abc");

  ListStatus status{};
  EXPECT_TRUE(list_all((tmp.path() / "empty").wstring(), status).empty());
  EXPECT_EQ(status, ListStatus::ok);

  EXPECT_TRUE(list_all((tmp.path() / "missing").wstring(), status).empty());
  EXPECT_EQ(status, ListStatus::open_failed);

  EXPECT_TRUE(list_all((tmp.path() / "file").wstring(), status).empty());
  EXPECT_EQ(status, ListStatus::open_failed);
}

TEST(Win32Listing, RecordsAppendAfterEarlierOnes) {
  TempDir tmp;
  write_file(tmp.path() / "only", "z");
  RecordList records;
  records.add(L"earlier", EntryKind::file, 9);
  ASSERT_EQ(list_dir(tmp.path().wstring(), records), ListStatus::ok);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records.name(records[0]), L"earlier");
  EXPECT_EQ(records.name(records[1]), L"only");
  EXPECT_EQ(records[1].size, 1u);
}

TEST(Win32Listing, FailureCodesMapToListingStatus) {
  // Newer than these headers.
  constexpr DWORD ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING = 362;
  constexpr ListStatus OK = ListStatus::ok, DENIED = ListStatus::open_failed,
                       CUT = ListStatus::cut_short;
  struct Row {
    DWORD error;
    ListStatus open, first, next;
    bool unsupported;
  };
  const std::vector<Row> table = {
      // Gone when opened; nothing matches "*" when the listing begins.
      {ERROR_FILE_NOT_FOUND, DENIED, OK, CUT, false},
      {ERROR_PATH_NOT_FOUND, DENIED, DENIED, CUT, false},
      {ERROR_ACCESS_DENIED, DENIED, DENIED, CUT, false},
      {ERROR_NO_MORE_FILES, DENIED, OK, OK, false},
      {ERROR_DIRECTORY, DENIED, DENIED, CUT, false},  // a file now
      {ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING, DENIED, DENIED, CUT, false},
      {ERROR_CANT_ACCESS_FILE, DENIED, DENIED, CUT, false},
      {12345, DENIED, DENIED, CUT, false},
      // Handle-based calls the system or the file system lacks.
      {ERROR_INVALID_FUNCTION, DENIED, DENIED, CUT, true},
      {ERROR_NOT_SUPPORTED, DENIED, DENIED, CUT, true},
      {ERROR_INVALID_PARAMETER, DENIED, DENIED, CUT, true},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.error);
    EXPECT_EQ(win32::listing_status(win32::ListingStep::open, row.error), row.open);
    EXPECT_EQ(win32::listing_status(win32::ListingStep::first, row.error), row.first);
    EXPECT_EQ(win32::listing_status(win32::ListingStep::next, row.error), row.next);
    EXPECT_EQ(win32::listing_unsupported(row.error), row.unsupported);
  }
}

// Names, kinds and sizes of a listing, in a set: the two ways of listing
// need not agree on the order.
using RecordSet = std::set<std::tuple<std::wstring, EntryKind, std::uint64_t>>;
RecordSet record_set(const RecordList& records) {
  RecordSet out;
  for (std::size_t i = 0; i < records.size(); ++i) {
    out.emplace(records.name(records[i]), records[i].kind, records[i].size);
  }
  return out;
}

TEST(Win32Listing, BothDirectoryClassesAgree) {
  TempDir tmp;
  fs::create_directory(tmp.path() / "sub");
  fs::create_directory(tmp.path() / "empty");
  write_file(tmp.path() / "sub" / "x", "x");
  write_file(tmp.path() / L"\u6587\u4EF6 \U0001F600.txt", "12345");
  write_file(tmp.path() / "big", "");
  std::error_code ec;
  fs::resize_file(tmp.path() / "big", (6ull << 30) + 3, ec);
  ASSERT_FALSE(ec) << ec.message();
  // Enough long names to take several reads of the buffer.
  for (int i = 0; i < 600; ++i) {
    write_file(tmp.path() / (std::to_string(i) + std::string(120, 'n')), std::string(i % 7, 'b'));
  }

  for (const fs::path& dir : {tmp.path(), tmp.path() / "sub", tmp.path() / "empty"}) {
    SCOPED_TRACE(dir.string());
    DirectoryReader reader;
    DirHandle handle;
    ASSERT_EQ(reader.open_root(dir.wstring(), handle), OpenStatus::ok);
    RecordList id_both, full;
    std::vector<std::uint64_t> buffer;
    win32::VolumeMemory volume;
    const win32::DirectoryRead read = win32::directory_reader(handle.native());
    EXPECT_EQ(win32::list_directory(read, volume, buffer, id_both), ListStatus::ok);
    ASSERT_EQ(volume.directory_class(), win32::DirectoryClass::id_both);
    volume.id_both_unsupported();
    EXPECT_EQ(win32::list_directory(read, volume, buffer, full), ListStatus::ok);
    EXPECT_EQ(id_both.size(), full.size());
    EXPECT_EQ(record_set(id_both), record_set(full));
  }
}

// One directory query record of either class, as a file system writes it.
struct FakeEntry {
  std::wstring name;
  DWORD attributes;
  DWORD tag;
  LONGLONG end_of_file;
  LONGLONG allocation;
};

template <class Info>
std::uint32_t put_records(const std::vector<FakeEntry>& entries, void* buffer, std::uint32_t size) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::size_t at = 0;
  Info* last = nullptr;
  for (const FakeEntry& e : entries) {
    const std::size_t length = offsetof(Info, FileName) + e.name.size() * sizeof(wchar_t);
    if (at + length > size) return ERROR_MORE_DATA;
    auto* info = reinterpret_cast<Info*>(bytes + at);
    *info = Info{};
    info->FileAttributes = e.attributes;
    info->EaSize = e.tag;
    info->EndOfFile.QuadPart = e.end_of_file;
    info->AllocationSize.QuadPart = e.allocation;
    info->FileNameLength = static_cast<DWORD>(e.name.size() * sizeof(wchar_t));
    std::copy(e.name.begin(), e.name.end(), info->FileName);
    if (last != nullptr) {
      last->NextEntryOffset = static_cast<DWORD>(reinterpret_cast<unsigned char*>(info) -
                                                 reinterpret_cast<unsigned char*>(last));
    }
    last = info;
    at = (at + length + 7) & ~std::size_t{7};
  }
  return 0;
}

// A directory read through its handle: for each class, the error of the
// first read (0: it answers), the records of each read, and the answer to
// the read after the last. Notes every read.
struct FakeDirectory {
  std::map<win32::DirectoryClass, DWORD> first_error;
  std::vector<std::vector<FakeEntry>> pieces;
  DWORD after_last = ERROR_NO_MORE_FILES;
  std::vector<std::pair<win32::DirectoryClass, bool>> reads;
  std::size_t next = 0;

  win32::DirectoryRead reader() {
    return [this](win32::DirectoryClass type, bool restart, void* buffer,
                  std::uint32_t size) -> std::uint32_t {
      reads.emplace_back(type, restart);
      if (restart) {
        if (const DWORD error = first_error.at(type); error != 0) return error;
        next = 0;
      }
      if (next >= pieces.size()) return after_last;
      const std::vector<FakeEntry>& piece = pieces[next++];
      return type == win32::DirectoryClass::id_both
                 ? put_records<FILE_ID_BOTH_DIR_INFO>(piece, buffer, size)
                 : put_records<FILE_FULL_DIR_INFO>(piece, buffer, size);
    };
  }
};

TEST(Win32Listing, FileFullDirectoryInfoWhereIdBothIsNotSupported) {
  using win32::DirectoryClass;
  constexpr auto ID_BOTH = DirectoryClass::id_both, FULL = DirectoryClass::full;
  const std::vector<std::vector<FakeEntry>> pieces = {
      {{L".", FILE_ATTRIBUTE_DIRECTORY, 0, 0, 0},
       {L"a.txt", FILE_ATTRIBUTE_ARCHIVE, 0, 5, 8},
       {L"sub", FILE_ATTRIBUTE_DIRECTORY, 0, 0, 0}},
      {{L"..", FILE_ATTRIBUTE_DIRECTORY, 0, 0, 0},
       {L"j", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, IO_REPARSE_TAG_MOUNT_POINT,
        0, 0},
       {L"OneDrive", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, 0x9000701A, 0, 0},
       {L"cloud.docx",
        FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_OFFLINE |
            win32::ATTRIBUTE_RECALL_ON_DATA_ACCESS,
        IO_REPARSE_TAG_CLOUD, 20000, 0}},
  };
  const std::vector<std::tuple<std::wstring, EntryKind, std::uint64_t>> expected = {
      {L"a.txt", EntryKind::file, 5},
      {L"sub", EntryKind::directory, 0},
      {L"j", EntryKind::link, 0},
      {L"OneDrive", EntryKind::directory, 0},
      {L"cloud.docx", EntryKind::file, 0}};
  struct Row {
    const char* what;
    DWORD id_both, full;  // the first read's answer to each class
    bool full_remembered;
    ListStatus status;
    std::vector<std::pair<DirectoryClass, bool>> reads;
  };
  const std::vector<Row> table = {
      {"both answer",
       0,
       0,
       false,
       ListStatus::ok,
       {{ID_BOTH, true}, {ID_BOTH, false}, {ID_BOTH, false}}},
      {"id-both not supported",
       ERROR_INVALID_PARAMETER,
       0,
       true,
       ListStatus::ok,
       {{ID_BOTH, true}, {FULL, true}, {FULL, false}, {FULL, false}}},
      {"not implemented",
       ERROR_INVALID_FUNCTION,
       0,
       true,
       ListStatus::ok,
       {{ID_BOTH, true}, {FULL, true}, {FULL, false}, {FULL, false}}},
      {"neither supported",
       ERROR_NOT_SUPPORTED,
       ERROR_NOT_SUPPORTED,
       true,
       ListStatus::open_failed,
       {{ID_BOTH, true}, {FULL, true}}},
      // Any other failure is the directory's, not the class's.
      {"denied", ERROR_ACCESS_DENIED, 0, false, ListStatus::open_failed, {{ID_BOTH, true}}},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.what);
    win32::VolumeMemory volume;
    std::vector<std::uint64_t> buffer;
    for (int directory = 0; directory < 2; ++directory) {
      FakeDirectory fake;
      fake.first_error = {{ID_BOTH, row.id_both}, {FULL, row.full}};
      fake.pieces = pieces;
      RecordList out;
      EXPECT_EQ(win32::list_directory(fake.reader(), volume, buffer, out), row.status);
      if (row.status == ListStatus::ok) {
        std::vector<std::tuple<std::wstring, EntryKind, std::uint64_t>> got;
        for (std::size_t i = 0; i < out.size(); ++i) {
          got.emplace_back(out.name(out[i]), out[i].kind, out[i].size);
        }
        EXPECT_EQ(got, expected);
      }
      EXPECT_EQ(volume.directory_class(), row.full_remembered ? FULL : ID_BOTH);
      // The second directory of the volume starts with what the first
      // learnt, without a failed query first.
      if (directory == 0 || !row.full_remembered) {
        EXPECT_EQ(fake.reads, row.reads);
      } else {
        EXPECT_EQ(fake.reads.front(), std::make_pair(FULL, true));
      }
    }
  }

  // A later read that fails keeps what was read before it.
  FakeDirectory fake;
  fake.first_error = {{ID_BOTH, 0}, {FULL, 0}};
  fake.pieces = pieces;
  fake.after_last = ERROR_NETNAME_DELETED;
  win32::VolumeMemory volume;
  std::vector<std::uint64_t> buffer;
  RecordList out;
  EXPECT_EQ(win32::list_directory(fake.reader(), volume, buffer, out), ListStatus::cut_short);
  EXPECT_EQ(out.size(), 5u);
}

// Opens below a fake directory tree: handle 1 is the base, whose path is
// B; every other open gives a new handle standing for the path it opened
// (relative to B). Notes every open asked for and which handles are open.
struct FakeTree {
  struct Node {
    DWORD error, attributes, tag;
  };
  std::map<std::wstring, Node> entries;  // path below B: what opening it gives
  bool base_moved = false;               // B names another folder than handle 1 now
  std::map<std::intptr_t, std::wstring> open;
  std::vector<std::wstring> asked;  // "rel:" or "path:" (or "held:") and the path below B
  std::intptr_t next_handle = 2;

  std::uint32_t give(const std::wstring& path, win32::Opened& opened) {
    const auto it = entries.find(path);
    if (it == entries.end()) return ERROR_FILE_NOT_FOUND;
    if (it->second.error != 0) return it->second.error;
    opened = {next_handle++, it->second.attributes, it->second.tag};
    open[opened.handle] = path;
    return 0;
  }

  win32::ComponentOpener opener() {
    win32::ComponentOpener o;
    o.open = [this](std::intptr_t parent, std::wstring_view name, win32::Opened& opened) {
      std::wstring path = parent == 1 ? std::wstring() : open.at(parent) + L"\\";
      path.append(name);
      asked.push_back(L"rel:" + path);
      return give(path, opened);
    };
    o.open_path = [this](const std::wstring& full, bool hold, win32::Opened& opened) {
      EXPECT_TRUE(full.starts_with(L"B")) << to_utf8_lossy(full);
      const std::wstring path = full.size() > 2 ? full.substr(2) : std::wstring();
      asked.push_back((hold ? L"held:" : L"path:") + path);
      if (!path.empty()) return give(path, opened);
      opened = {next_handle++, FILE_ATTRIBUTE_DIRECTORY, 0};
      open[opened.handle] = base_moved ? L"<elsewhere>" : L"";
      return std::uint32_t{0};
    };
    o.same = [this](std::intptr_t a, std::intptr_t b) {
      const auto name = [this](std::intptr_t h) { return h == 1 ? std::wstring() : open.at(h); };
      return name(a) == name(b);
    };
    o.close = [this](std::intptr_t handle) { EXPECT_EQ(open.erase(handle), 1u); };
    return o;
  }
};

TEST(Win32Listing, SwappedFolderIsNeverFollowed) {
  // For real: "a" is opened for its children, then renamed away and
  // another folder put in its place (Wine cannot make that one a link, see
  // below); "c" is listed, then becomes a file. Opened relative to their
  // parents' handles, and by path where relative opens are not supported.
  TempDir tmp;
  const fs::path tree = tmp.path() / "tree";
  fs::create_directories(tree / "a" / "b");
  write_file(tree / "a" / "b" / "inside", "in");
  fs::create_directory(tree / "c");
  fs::create_directories(tmp.path() / "outside" / "b");
  write_file(tmp.path() / "outside" / "b" / "secret", "outside the tree");

  DirectoryReader reader;
  DirHandle root, a;
  ASSERT_EQ(reader.open_root(tree.wstring(), root), OpenStatus::ok);
  ASSERT_EQ(reader.open(root, L"a", a), OpenStatus::ok);
  fs::rename(tree / "a", tmp.path() / "a_away");
  fs::rename(tmp.path() / "outside", tree / "a");
  fs::remove(tree / "c");
  write_file(tree / "c", "now a file");

  DirHandle b;
  ASSERT_EQ(reader.open(a, L"b", b), OpenStatus::ok);
  RecordList records;
  EXPECT_EQ(reader.read(b, records), ListStatus::ok);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records.name(records[0]), L"inside");
  DirHandle c;
  EXPECT_EQ(reader.open(root, L"c", c), OpenStatus::failed);

  const win32::ComponentOpener system = win32::system_opener();
  win32::VolumeMemory by_path;
  by_path.relative_opens_unsupported();
  std::intptr_t out = 0;
  // "a" by its path is another folder than the one open.
  EXPECT_FALSE(win32::open_below(system, by_path, a.native(), (tree / "a").wstring(), L"b", out));
  EXPECT_FALSE(win32::open_below(system, by_path, root.native(), tree.wstring(), L"c", out));
  ASSERT_TRUE(win32::open_below(system, by_path, root.native(), tree.wstring(), L"a\\b", out));
  const DirHandle moved_in(out, root.shared_context());
  records = RecordList();
  EXPECT_EQ(reader.read(moved_in, records), ListStatus::ok);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records.name(records[0]), L"secret");

  // Swapped for a junction: Wine 8 makes no junction or directory link
  // (CreateSymbolicLinkW does nothing, FSCTL_SET_REPARSE_POINT is not
  // supported) and follows a Unix link even when told not to, so the tree
  // is a fake: "j" and "a\j" are folders that became junctions after their
  // parent's listing; "cloud" a placeholder folder whose listing would be
  // fetched, "onedrive" a cloud folder whose listing is on the disk.
  constexpr DWORD DIR = FILE_ATTRIBUTE_DIRECTORY, REPARSE = DIR | FILE_ATTRIBUTE_REPARSE_POINT;
  constexpr DWORD JUNCTION = IO_REPARSE_TAG_MOUNT_POINT;
  struct Row {
    std::wstring rel;
    bool relative;  // relative opens work, as far as the volume knows
    bool base_moved;
    bool ok;
    std::vector<std::wstring> asked;
    bool relative_after;  // what the volume knows afterwards
  };
  // clang-format off
  const std::vector<Row> table = {
      {L"a", true, false, true, {L"rel:a"}, true},
      {L"a\\b", true, false, true, {L"rel:a", L"rel:a\\b"}, true},
      {L"j", true, false, false, {L"rel:j"}, true},
      {L"a\\j\\b", true, false, false, {L"rel:a", L"rel:a\\j"}, true},
      {L"cloud", true, false, false, {L"rel:cloud"}, true},
      {L"onedrive", true, false, true, {L"rel:onedrive"}, true},
      {L"gone\\b", true, false, false, {L"rel:gone"}, true},
      {L"a\\file", true, false, false, {L"rel:a", L"rel:a\\file"}, true},
      {L"a\\\\b", true, false, false, {L"rel:a"}, true},
      {L"", true, false, false, {}, true},
      // Not supported at the second step: by path from the base, which is
      // held open, as is each component until the next is.
      {L"a\\odd", true, false, true,
       {L"rel:a", L"rel:a\\odd", L"held:", L"held:a", L"path:a\\odd"}, false},
      {L"a\\odd\\j", true, false, false,
       {L"rel:a", L"rel:a\\odd", L"held:", L"held:a", L"held:a\\odd", L"path:a\\odd\\j"}, false},
      // Known not to work: by path straight away.
      {L"a\\b", false, false, true, {L"held:", L"held:a", L"path:a\\b"}, false},
      {L"j", false, false, false, {L"held:", L"path:j"}, false},
      {L"a\\j\\b", false, false, false, {L"held:", L"held:a", L"held:a\\j"}, false},
      {L"cloud", false, false, false, {L"held:", L"path:cloud"}, false},
      {L"onedrive", false, false, true, {L"held:", L"path:onedrive"}, false},
      {L"a", false, true, false, {L"held:"}, false},
  };
  // clang-format on
  for (const Row& row : table) {
    SCOPED_TRACE(to_utf8_lossy(row.rel) + (row.relative ? " relative" : " by path"));
    FakeTree fake;
    fake.base_moved = row.base_moved;
    fake.entries = {{L"a", {0, DIR, 0}},
                    {L"a\\b", {0, DIR, 0}},
                    {L"j", {0, REPARSE, JUNCTION}},
                    {L"a\\j", {0, REPARSE, JUNCTION}},
                    {L"a\\j\\b", {0, DIR, 0}},
                    {L"cloud", {0, REPARSE | win32::ATTRIBUTE_RECALL_ON_OPEN, 0x9000701A}},
                    {L"onedrive", {0, REPARSE, 0x9000701A}},
                    {L"a\\file", {ERROR_DIRECTORY, 0, 0}},
                    {L"a\\odd", {0, DIR, 0}},
                    {L"a\\odd\\j", {0, REPARSE, JUNCTION}}};
    const win32::ComponentOpener relative_then_path = fake.opener();
    win32::ComponentOpener opener = relative_then_path;
    // "odd" cannot be opened relative to a handle.
    opener.open = [&](std::intptr_t parent, std::wstring_view name, win32::Opened& opened) {
      if (name == L"odd") {
        fake.asked.push_back(L"rel:a\\odd");
        return static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER);
      }
      return relative_then_path.open(parent, name, opened);
    };
    win32::VolumeMemory volume;
    if (!row.relative) volume.relative_opens_unsupported();
    std::intptr_t got = 0;
    EXPECT_EQ(win32::open_below(opener, volume, 1, L"B", row.rel, got), row.ok);
    EXPECT_EQ(fake.asked, row.asked);
    EXPECT_EQ(volume.relative_opens(), row.relative_after);
    // Only the handle handed out stays open.
    if (row.ok) {
      ASSERT_EQ(fake.open.size(), 1u);
      EXPECT_EQ(fake.open.begin()->first, got);
      EXPECT_EQ(fake.open.begin()->second, row.rel);
    } else {
      EXPECT_TRUE(fake.open.empty());
    }
  }
}

TEST(Win32Paths, ExistsAndCanonicalize) {
  TempDir tmp;
  fs::create_directory(tmp.path() / "Dir");
  write_file(tmp.path() / "Dir" / "f.txt", "f");
  const std::string dir = to_utf8_lossy((tmp.path() / "Dir").wstring());

  EXPECT_TRUE(exists(dir));
  EXPECT_TRUE(exists(dir + "\\f.txt"));
  EXPECT_FALSE(exists(dir + "\\missing"));
  EXPECT_FALSE(exists(""));
  EXPECT_FALSE(exists(dir + std::string(1, '\0') + "x"));

  const auto canonical = canonicalize(dir + "\\.\\..\\Dir\\");
  ASSERT_TRUE(canonical.has_value());
  EXPECT_TRUE(canonical->starts_with(L"\\\\?\\")) << to_utf8_lossy(*canonical);
  EXPECT_TRUE(canonical->ends_with(L"\\Dir")) << to_utf8_lossy(*canonical);
  EXPECT_EQ(canonicalize(dir), canonical);
  const auto file = canonicalize(dir + "\\f.txt");
  ASSERT_TRUE(file.has_value());
  EXPECT_EQ(*file, *canonical + L"\\f.txt");
  EXPECT_FALSE(canonicalize(dir + "\\missing").has_value());

  // A relative path resolves against the current directory.
  const fs::path before = fs::current_path();
  fs::current_path(tmp.path() / "Dir");
  const auto dot = canonicalize(".");
  fs::current_path(before);
  EXPECT_EQ(dot, canonical);
}

TEST(Win32Paths, AFilesOwnSizeIsAskedOfTheFileItself) {
  TempDir tmp;
  fs::create_directory(tmp.path() / "d");
  const std::wstring base = listing_path(tmp.path().wstring());
  {
    // Open and growing, as a log is while the listing says less.
    std::ofstream growing(tmp.path() / "f.bin", std::ios::binary);
    growing << std::string(1234, 'x') << std::flush;
    EXPECT_EQ(own_file_size(base + L"\\f.bin"), 1234u);
  }
  EXPECT_EQ(own_file_size(base + L"\\d"), std::nullopt);
  EXPECT_EQ(own_file_size(base + L"\\missing"), std::nullopt);
}

TEST(Win32Paths, AFileWindowsHoldsOpenIsReadFromItsFolder) {
  // Which failures of the metadata call or the open are looked up there.
  for (const DWORD error : {ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED}) {
    EXPECT_TRUE(win32::look_up_in_folder(error)) << error;
  }
  for (const DWORD error : {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_INVALID_NAME,
                            ERROR_NOT_READY, ERROR_LOCK_VIOLATION}) {
    EXPECT_FALSE(win32::look_up_in_folder(error)) << error;
  }
  // Only a path ending in one entry's name is looked up.
  const auto entry = win32::folder_entry(L"\\\\?\\D:\\x\\hiberfil.sys");
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(entry->folder, L"\\\\?\\D:\\x");
  EXPECT_EQ(entry->name, L"hiberfil.sys");
  for (const std::wstring path :
       {L"C:\\", L"C:\\x\\", L"C:\\*.sys", L"C:\\pagefile.sy?", L"C:\\x\\..", L"pagefile.sys"}) {
    EXPECT_FALSE(win32::folder_entry(path).has_value()) << to_utf8_lossy(path);
  }

  // On the real file system, with the open of anything inside the folder
  // refused as Windows refuses it for pagefile.sys: the folder is resolved
  // and the file takes the name the folder lists.
  TempDir tmp;
  write_file(tmp.path() / "pagefile.sys", "12345");
  fs::create_directory(tmp.path() / "sub");
  const std::wstring folder = tmp.path().wstring();
  const auto refusing = [&folder](DWORD refusal) {
    return [&folder, refusal](const std::wstring& path, std::uint32_t& error) {
      if (path.size() > folder.size()) {
        error = refusal;
        return win32::UniqueHandle();
      }
      return win32::own_handle(
          CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    };
  };
  const std::string dir = to_utf8_lossy(folder);
  const auto plain = canonicalize(dir + "\\pagefile.sys");
  ASSERT_TRUE(plain.has_value());
  const auto folder_resolved = canonicalize(dir);
  ASSERT_TRUE(folder_resolved.has_value());
  EXPECT_EQ(*plain, *folder_resolved + L"\\pagefile.sys");
  for (const DWORD refusal : {ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED}) {
    EXPECT_EQ(win32::canonical_argument(dir + "\\PAGEFILE.SYS", refusing(refusal)), plain);
  }
  // A missing file, a folder, a wildcard and any other failure stay
  // unresolved, as before.
  for (const char* name : {"\\hiberfil.sys", "\\sub", "\\pagefile.*"}) {
    EXPECT_FALSE(win32::canonical_argument(dir + name, refusing(ERROR_SHARING_VIOLATION))) << name;
  }
  EXPECT_FALSE(win32::canonical_argument(dir + "\\pagefile.sys", refusing(ERROR_NOT_READY)));
}

TEST(Win32Paths, LongPathsWork) {
  TempDir tmp;
  fs::path deep = L"\\\\?\\" + tmp.path().wstring();
  for (int i = 0; i < 12; ++i) deep /= std::string(30, static_cast<char>('a' + i));
  fs::create_directories(deep);
  write_file(deep / "leaf", "leaf");
  const std::string typed = to_utf8_lossy(deep.wstring().substr(4));
  ASSERT_GT(typed.size(), 300u);

  EXPECT_TRUE(exists(typed));
  EXPECT_TRUE(exists(typed + "\\leaf"));
  EXPECT_FALSE(exists(typed + "\\missing"));
  ListStatus status{};
  const std::vector<Entry> entries = list_all(deep.wstring(), status);
  EXPECT_EQ(status, ListStatus::ok);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, L"leaf");
  EXPECT_EQ(entries[0].size, 4u);
  // Wine 8 cannot give the final name of a path this long (ERROR_MORE_DATA
  // at any buffer size), so there the path's full form stands in for it.
  const auto canonical = canonicalize(typed);
  ASSERT_TRUE(canonical.has_value());
  EXPECT_TRUE(canonical->starts_with(L"\\\\?\\"));
  EXPECT_TRUE(canonical->ends_with(deep.filename().wstring()));
}

TEST(Win32Start, ArgumentPathTakesALoneDriveLetterForItsRoot) {
  const std::vector<std::pair<std::wstring, std::wstring>> table = {
      {L"D:", L"D:\\"},
      {L"d:", L"d:\\"},
      {L"Z:", L"Z:\\"},
      // Everything else stays as typed, relative drive forms included.
      {L"D:\\", L"D:\\"},
      {L"D:.", L"D:."},
      {L"D:sub", L"D:sub"},
      {L"D:/", L"D:/"},
      {L"D", L"D"},
      {L":", L":"},
      {L"1:", L"1:"},
      {L"DD:", L"DD:"},
      {L"\uFF24:", L"\uFF24:"},  // a full-width letter names no drive
      {L"\\\\?\\D:", L"\\\\?\\D:"},
      {L"", L""},
  };
  for (const auto& [typed, expected] : table) {
    EXPECT_EQ(win32::argument_path(typed), expected) << to_utf8_lossy(typed);
  }
}

// The arguments of a command line by the system's own splitting, the
// program name first.
std::vector<std::wstring> split_by_system(const std::wstring& line) {
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(line.c_str(), &count);
  std::vector<std::wstring> out(argv, argv + (argv != nullptr ? count : 0));
  LocalFree(argv);
  return out;
}

TEST(Win32Start, QuotedPathsEndingInABackslashMeanWhatTheySay) {
  // Command lines as typed, after the program's name.
  const std::vector<std::pair<std::wstring, std::vector<std::wstring>>> table = {
      {LR"("F:\")", {L"F:"}},
      {LR"("F:\" --json --depth 0)", {L"F:", L"--json", L"--depth", L"0"}},
      {LR"("C:\Program Files\" --top 5)", {L"C:\\Program Files", L"--top", L"5"}},
      {LR"(--json "D:\My Files\")", {L"--json", L"D:\\My Files"}},
      {LR"("a\" "b\")", {L"a", L"b"}},
      {LR"(c\"d)", {L"c", L"d"}},
      {LR"("x\"   )", {L"x"}},
      // Nothing to mend.
      {LR"("C:\Program Files" --top 5)", {L"C:\\Program Files", L"--top", L"5"}},
      {LR"("D:\My Files\\" --json)", {L"D:\\My Files\\", L"--json"}},
      {LR"(C:\ "" e\\"f g" h\\i)", {L"C:\\", L"", L"e\\f g", L"h\\\\i"}},
      {L"\u4E2D\u6587 \"\u6587\\\"", {L"\u4E2D\u6587", L"\u6587"}},
  };
  for (const auto& [typed, expected] : table) {
    std::vector<std::wstring> split = split_by_system(L"oskra-cli.exe " + typed);
    ASSERT_FALSE(split.empty());
    split.erase(split.begin());
    EXPECT_EQ(win32::mended_arguments(split, split_by_system), expected) << to_utf8_lossy(typed);
  }
}

// A GetFinalPathNameByHandleW that answers from a table by flags, keeping
// to its buffer contract, and notes what it was asked.
struct Answer {
  DWORD error;  // fails with this code unless 0
  std::wstring path;
  bool stuck;  // asks for the buffer size it was given, for ever
};
Answer fails(DWORD error) { return {error, L"", false}; }
Answer gives(std::wstring path) { return {0, std::move(path), false}; }

struct FakeFinalPath {
  std::map<DWORD, Answer> answers;
  std::vector<DWORD> asked;

  std::uint32_t operator()(wchar_t* buffer, std::uint32_t size, std::uint32_t flags) {
    if (asked.empty() || asked.back() != flags) asked.push_back(flags);
    const Answer& a = answers.at(flags);
    if (a.stuck) return size;
    if (a.error != 0) {
      SetLastError(a.error);
      return 0;
    }
    if (a.path.size() + 1 > size) return static_cast<std::uint32_t>(a.path.size() + 1);
    std::copy(a.path.begin(), a.path.end(), buffer);
    buffer[a.path.size()] = L'\0';
    return static_cast<std::uint32_t>(a.path.size());
  }
};

TEST(Win32Start, CanonicalPathTriesEachNameInTurn) {
  constexpr DWORD DOS = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
  constexpr DWORD OPENED = FILE_NAME_OPENED | VOLUME_NAME_DOS;
  constexpr DWORD GUID = FILE_NAME_NORMALIZED | VOLUME_NAME_GUID;
  // Tries after the one that answers are never made; `asked` shows it.
  const Answer unused = gives(L"unused");
  const Answer no_letter = fails(ERROR_PATH_NOT_FOUND);
  const std::wstring long_name = L"\\\\?\\C:\\" + std::wstring(300, L'x');
  struct Row {
    const char* what;
    Answer dos, opened, guid;
    std::wstring full;  // the argument's full path
    std::optional<std::wstring> expected;
    std::vector<DWORD> asked;
    std::string shown;
  };
  // clang-format off
  const std::vector<Row> table = {
      {"normalised name", gives(L"\\\\?\\C:\\Data"), unused, unused,
       L"C:\\data", L"\\\\?\\C:\\Data", {DOS}, "C:\\Data"},
      {"a share", gives(L"\\\\?\\UNC\\srv\\share\\x"), unused, unused,
       L"\\\\srv\\share\\x", L"\\\\?\\UNC\\srv\\share\\x", {DOS}, "UNC\\srv\\share\\x"},
      {"longer than the first buffer", gives(long_name), unused, unused,
       L"", long_name, {DOS}, to_utf8_lossy(long_name.substr(4))},
      {"share with an unreadable ancestor",
       fails(ERROR_ACCESS_DENIED), gives(L"\\\\?\\UNC\\s\\h\\a\\b"), unused,
       L"\\\\s\\h\\a\\b", L"\\\\?\\UNC\\s\\h\\a\\b", {DOS, OPENED}, "UNC\\s\\h\\a\\b"},
      {"volume without a letter", no_letter, no_letter, gives(L"\\\\?\\Volume{5e1f}\\d"),
       L"\\\\?\\Volume{5e1f}\\d", L"\\\\?\\Volume{5e1f}\\d", {DOS, OPENED, GUID},
       "Volume{5e1f}\\d"},
      {"root of a volume without a letter", no_letter, no_letter,
       gives(L"\\\\?\\Volume{5e1f}\\"),
       L"\\\\?\\Volume{5e1f}\\", L"\\\\?\\Volume{5e1f}\\", {DOS, OPENED, GUID},
       "Volume{5e1f}\\"},
      {"volume root that Wine opens but cannot name",
       fails(ERROR_GEN_FAILURE), fails(ERROR_GEN_FAILURE), fails(ERROR_GEN_FAILURE),
       L"\\\\?\\Volume{5e1f}\\", L"\\\\?\\Volume{5e1f}\\", {DOS, OPENED, GUID},
       "Volume{5e1f}\\"},
      {"RAM disk",
       fails(ERROR_INVALID_FUNCTION), fails(ERROR_INVALID_FUNCTION), fails(ERROR_INVALID_FUNCTION),
       L"R:\\x\\", L"\\\\?\\R:\\x", {DOS, OPENED, GUID}, "R:\\x"},
      {"user-mode file system",
       fails(ERROR_UNRECOGNIZED_VOLUME), fails(ERROR_UNRECOGNIZED_VOLUME),
       fails(ERROR_UNRECOGNIZED_VOLUME),
       L"\\\\fs\\share\\", L"\\\\?\\UNC\\fs\\share", {DOS, OPENED, GUID}, "UNC\\fs\\share"},
      {"drive root, path not found", no_letter, no_letter, no_letter,
       L"M:\\", L"\\\\?\\M:\\", {DOS, OPENED, GUID}, "M:\\"},
      {"Wine past 260 characters",
       fails(ERROR_MORE_DATA), fails(ERROR_MORE_DATA), fails(ERROR_MORE_DATA),
       L"C:\\deep\\", L"\\\\?\\C:\\deep", {DOS, OPENED, GUID}, "C:\\deep"},
      {"typed verbatim",
       fails(ERROR_INVALID_FUNCTION), fails(ERROR_INVALID_FUNCTION), fails(ERROR_INVALID_FUNCTION),
       L"\\\\?\\GLOBALROOT\\Device\\Shadow1\\", L"\\\\?\\GLOBALROOT\\Device\\Shadow1\\",
       {DOS, OPENED, GUID}, "GLOBALROOT\\Device\\Shadow1\\"},
      {"out of memory, then a device path",
       fails(ERROR_NOT_ENOUGH_MEMORY), fails(ERROR_NOT_ENOUGH_MEMORY),
       fails(ERROR_NOT_ENOUGH_MEMORY),
       L"\\\\.\\C:\\x", L"\\\\?\\C:\\x", {DOS, OPENED, GUID}, "C:\\x"},
      {"a query that never has room", {0, L"", true}, gives(L"\\\\?\\C:\\y"), unused,
       L"", L"\\\\?\\C:\\y", {DOS, OPENED}, "C:\\y"},
      {"everything fails",
       fails(ERROR_ACCESS_DENIED), fails(ERROR_ACCESS_DENIED), fails(ERROR_ACCESS_DENIED),
       L"", std::nullopt, {DOS, OPENED, GUID}, ""},
  };
  // clang-format on
  for (const Row& row : table) {
    SCOPED_TRACE(row.what);
    FakeFinalPath fake;
    fake.answers = {{DOS, row.dos}, {OPENED, row.opened}, {GUID, row.guid}};
    const auto got = win32::canonical_path(std::ref(fake), row.full);
    EXPECT_EQ(got, row.expected);
    EXPECT_EQ(fake.asked, row.asked);
    if (got) {
      EXPECT_EQ(display_path(*got), row.shown);
    }
  }
}

TEST(Win32Start, EnablesTheBackupPrivilegeOnlyWhereTheTokenHoldsIt) {
  using win32::Privilege;
  constexpr std::uint64_t BACKUP = 17;
  struct Row {
    const char* what;
    bool opens, looks_up;
    DWORD adjusted;
    Privilege result;
  };
  const std::vector<Row> table = {
      {"elevated", true, true, ERROR_SUCCESS, Privilege::enabled},
      {"not elevated", true, true, ERROR_NOT_ALL_ASSIGNED, Privilege::not_held},
      {"adjusting fails", true, true, ERROR_ACCESS_DENIED, Privilege::failed},
      {"no such privilege", true, false, ERROR_SUCCESS, Privilege::failed},
      {"no token", false, true, ERROR_SUCCESS, Privilege::failed},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.what);
    std::vector<std::string> calls;
    win32::TokenCalls fake;
    fake.open = [&](std::intptr_t& token) {
      calls.push_back("open");
      token = 7;
      return row.opens;
    };
    fake.lookup = [&](std::uint64_t& luid) {
      calls.push_back("lookup");
      luid = BACKUP;
      return row.looks_up;
    };
    fake.enable = [&](std::intptr_t token, std::uint64_t luid) {
      calls.push_back("enable " + std::to_string(token) + " " + std::to_string(luid));
      return static_cast<std::uint32_t>(row.adjusted);
    };
    fake.close = [&](std::intptr_t token) { calls.push_back("close " + std::to_string(token)); };
    EXPECT_EQ(win32::enable_backup_privilege(fake), row.result);
    // The token, once open, is closed again whatever happens.
    std::vector<std::string> expected = {"open"};
    if (row.opens) {
      expected.push_back("lookup");
      if (row.looks_up) expected.push_back("enable 7 17");
      expected.push_back("close 7");
    }
    EXPECT_EQ(calls, expected);
  }
}

TEST(Win32Start, AsksToSeeCloudPlaceholdersExposed) {
  using win32::Placeholders;
  EXPECT_EQ(win32::expose_placeholders({}), Placeholders::unavailable);
  // Answers: the mode before, or PHCM_ERROR_INVALID_PARAMETER, PHCM_ERROR_NO_TEB.
  const std::map<int, Placeholders> table = {{0, Placeholders::exposed},
                                             {1, Placeholders::exposed},
                                             {-1, Placeholders::refused},
                                             {-2, Placeholders::refused}};
  for (const auto& [answer, result] : table) {
    int asked = 0;
    const auto set = [&asked, answer](std::int8_t mode) {
      asked = mode;
      return static_cast<std::int8_t>(answer);
    };
    EXPECT_EQ(win32::expose_placeholders(set), result) << answer;
    EXPECT_EQ(asked, 2) << answer;  // PHCM_EXPOSE_PLACEHOLDERS
  }
}

TEST(Win32Start, TheRotatingDiskCheckAsksTheRootsOwnVolume) {
  const std::map<std::wstring, std::wstring> names = {
      {L"C:\\", L"\\\\?\\Volume{c}\\"},
      {L"C:\\mnt\\data\\", L"\\\\?\\Volume{d}\\"},
      {L"E:\\", L"not a volume name"},
  };
  const win32::VolumeNameQuery volume_name = [&](const std::wstring& mount_point) {
    const auto it = names.find(mount_point);
    return it == names.end() ? std::nullopt : std::optional<std::wstring>(it->second);
  };
  const std::vector<std::pair<std::wstring, std::optional<std::wstring>>> table = {
      {L"\\\\?\\C:\\", L"\\\\?\\Volume{c}"},
      {L"C:\\", L"\\\\?\\Volume{c}"},
      // A volume mounted in a folder is its own disk, not C:'s.
      {L"\\\\?\\C:\\mnt\\data\\", L"\\\\?\\Volume{d}"},
      {L"C:\\mnt\\data", L"\\\\?\\Volume{d}"},
      {L"\\\\?\\Volume{v}\\", L"\\\\?\\Volume{v}"},
      // A letter whose volume goes unnamed, as under Wine: the letter's device.
      {L"\\\\?\\Z:\\", L"\\\\.\\Z:"},
      {L"\\\\?\\C:\\mnt\\other\\", std::nullopt},
      {L"E:\\", std::nullopt},
      // A share's disk is not here.
      {L"\\\\?\\UNC\\srv\\share\\", std::nullopt},
      {L"\\\\srv\\share\\", std::nullopt},
      {L"", std::nullopt},
  };
  for (const auto& [volume_path, device] : table) {
    EXPECT_EQ(win32::volume_device(volume_path, volume_name), device) << to_utf8_lossy(volume_path);
  }
}

// The test program's own path, as the C runtime saw it at start.
fs::path own_path() {
  if (_wpgmptr != nullptr && *_wpgmptr != L'\0') return fs::path(_wpgmptr);
  return fs::path(_pgmptr != nullptr ? _pgmptr : "");
}

// Its directory, where the rules file would sit.
fs::path executable_dir() { return own_path().parent_path(); }

TEST(Win32Table, ReadOnlyOnAnElevatedLocalFixedNtfsDriveLetter) {
  struct Where {
    std::wstring_view canonical;
    std::optional<std::array<std::wstring_view, 3>> volume;  // device, root, folder
  } wheres[] = {
      {L"\\\\?\\C:\\", {{L"\\\\.\\C:", L"C:\\", L""}}},
      {L"\\\\?\\d:\\x\\y z\\", {{L"\\\\.\\d:", L"d:\\", L"x\\y z"}}},
      {L"\\\\?\\C:", {{L"\\\\.\\C:", L"C:\\", L""}}},
      {L"\\\\?\\UNC\\srv\\share\\x", std::nullopt},
      {L"\\\\?\\Volume{0b1c2d3e-0000-0000-0000-100000000000}\\x", std::nullopt},
      {L"C:\\x", std::nullopt},  // never canonical
      {L"\\\\?\\C:x", std::nullopt},
  };
  for (const Where& w : wheres) {
    const std::optional<win32::TableVolume> got = win32::table_volume(w.canonical);
    ASSERT_EQ(got.has_value(), w.volume.has_value()) << std::wstring(w.canonical);
    if (!got) continue;
    EXPECT_EQ(got->device, (*w.volume)[0]);
    EXPECT_EQ(got->root, (*w.volume)[1]);
    EXPECT_EQ(got->folder, (*w.volume)[2]);
  }

  using win32::Privilege;
  EXPECT_EQ(win32::why_no_table({false, Privilege::enabled, DRIVE_FIXED}), "");
  // The first condition that fails is the one said.
  const std::pair<win32::TableConditions, std::string_view> no[] = {
      {{true, Privilege::not_held, DRIVE_REMOTE}, "OSKRA_NO_MFT 已设置"},
      {{false, Privilege::not_held, DRIVE_REMOTE}, "没有备份特权(未以管理员身份运行)"},
      {{false, Privilege::failed, DRIVE_FIXED}, "备份特权无法启用"},
      {{false, Privilege::enabled, DRIVE_REMOVABLE}, "不是本地固定磁盘"},
      {{false, Privilege::enabled, DRIVE_REMOTE}, "不是本地固定磁盘"},
      {{false, Privilege::enabled, DRIVE_RAMDISK}, "不是本地固定磁盘"},
      {{false, Privilege::enabled, DRIVE_CDROM}, "不是本地固定磁盘"},
      {{false, Privilege::enabled, DRIVE_UNKNOWN}, "不是本地固定磁盘"},  // GetDriveTypeW failed
  };
  for (const auto& [c, why] : no) {
    EXPECT_EQ(win32::why_no_table(c), why)
        << c.switched_off << static_cast<int>(c.privilege) << c.drive_type;
  }
  EXPECT_TRUE(win32::table_understood(L"NTFS"));
  // GetVolumeInformationW failed (""), or another file system.
  for (const std::wstring_view other : {L"", L"ReFS", L"FAT32", L"exFAT", L"ntfs", L"NTFS "}) {
    EXPECT_FALSE(win32::table_understood(other)) << std::wstring(other);
  }
  // Under Wine the volume does not open (or is no NTFS): the folders are listed.
  const std::optional<NativeString> here = canonicalize(".");
  ASSERT_TRUE(here);
  std::string why_not;
  EXPECT_FALSE(open_volume(*here, why_not));
  EXPECT_FALSE(why_not.empty());
}

TEST(Win32Files, ReadFileBesideExecutable) {
  const fs::path dir = executable_dir();
  ASSERT_TRUE(fs::is_directory(dir)) << dir.string();
  const std::string name = "oskra_win32_test_beside.json";
  const fs::path file = dir / name;
  // Bytes come back as they are: a byte-order mark, NUL and CR stay.
  const std::string bytes = std::string("\xEF\xBB\xBF[\r\n\0]", 7) + std::string(100000, 'x');
  write_file(file, bytes);
  const auto got = read_file_beside_executable(name);
  std::error_code ec;
  fs::remove(file, ec);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, bytes);

  EXPECT_FALSE(read_file_beside_executable(name).has_value());
  fs::create_directory(file);
  EXPECT_FALSE(read_file_beside_executable(name).has_value());
  fs::remove(file, ec);
}

// The command line is UTF-16 and may hold what no argv can carry (an
// unpaired surrogate), so the test runs itself as a child with a raw
// command line. `_wspawnv` joins its arguments with spaces, unquoted.
constexpr const char* CHILD_ENV = "OSKRA_WIN32_ARGS_CHILD";

int run_child(const char* role, std::wstring_view raw_arguments) {
  const std::wstring filter = L"--gtest_filter=Win32Args.CommandLine";
  const std::wstring raw(raw_arguments);
  const wchar_t* argv[] = {L"prog name", filter.c_str(), raw.c_str(), nullptr};
  _putenv_s(CHILD_ENV, role);
  const auto status = _wspawnv(_P_WAIT, own_path().c_str(), argv);
  _putenv_s(CHILD_ENV, "");
  return static_cast<int>(status);
}

TEST(Win32Args, CommandLine) {
  std::string bad;
  const char* role = std::getenv(CHILD_ENV);
  if (role != nullptr && std::string_view(role) == "split") {
    // The program name ("prog" then "name") is dropped; the platform's
    // quoting rules apply to the rest.
    const auto args = arguments(0, nullptr, bad);
    ASSERT_TRUE(args.has_value());
    // No quote is part of a file name, so "c\"d" means "c" and "d".
    const std::vector<std::string> expected = {"name",
                                               "--gtest_filter=Win32Args.CommandLine",
                                               "a b",
                                               "",
                                               "c",
                                               "d",
                                               "e\\f g",
                                               "h\\\\i",
                                               "\u4E2D\u6587",
                                               "\U0001F600"};
    EXPECT_EQ(*args, expected);
    return;
  }
  if (role != nullptr && std::string_view(role) == "surrogate") {
    EXPECT_FALSE(arguments(0, nullptr, bad).has_value());
    EXPECT_EQ(bad, "x\uFFFDy");
    return;
  }
  ASSERT_TRUE(fs::is_regular_file(own_path())) << own_path().string();
  EXPECT_EQ(run_child("split", L"\"a b\" \"\" c\\\"d e\\\\\"f g\" h\\\\i \u4E2D\u6587 \U0001F600"),
            0);
  EXPECT_EQ(run_child("surrogate", std::wstring{L'x', 0xD800, L'y'}), 0);
}

}  // namespace
}  // namespace oskra::platform
