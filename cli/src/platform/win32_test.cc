// The Windows realisation of the platform layer, against the real file
// system (run under Wine on Linux).
#include <gtest/gtest.h>
#include <process.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win32_decisions.h"

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

std::vector<Entry> list_all(const std::wstring& dir, ListStatus& status) {
  RecordList records;
  status = make_directory_source()->list(dir, records);
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
  constexpr std::uint32_t DIR = 0x10, REPARSE = 0x400, ARCHIVE = 0x20;
  struct Case {
    std::uint32_t attributes, tag;
    EntryKind kind;
  } cases[] = {
      {ARCHIVE, 0, EntryKind::file},
      {DIR, 0, EntryKind::directory},
      {DIR, 0xA000000C, EntryKind::directory},           // a stale tag without the reparse bit
      {DIR | REPARSE, 0xA0000003, EntryKind::link},      // mount point, junction
      {DIR | REPARSE, 0xA000000C, EntryKind::link},      // directory symbolic link
      {DIR | REPARSE, 0x9000701A, EntryKind::skip},      // cloud-file folder
      {DIR | REPARSE, 0x80000013, EntryKind::skip},      // no name surrogate
      {REPARSE | ARCHIVE, 0xA000000C, EntryKind::file},  // file symbolic link
      {REPARSE | ARCHIVE, 0x8000001B, EntryKind::file},  // app execution alias
      {REPARSE | ARCHIVE, 0x80000013, EntryKind::file},  // deduplicated file
  };
  for (const Case& c : cases) {
    EXPECT_EQ(classify_record(c.attributes, c.tag), c.kind)
        << std::hex << c.attributes << " " << c.tag;
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
  ASSERT_EQ(make_directory_source()->list(tmp.path().wstring(), records), ListStatus::ok);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records.name(records[0]), L"earlier");
  EXPECT_EQ(records.name(records[1]), L"only");
  EXPECT_EQ(records[1].size, 1u);
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
  // at any buffer size); Windows can, and then it must be this folder.
  if (const auto canonical = canonicalize(typed)) {
    EXPECT_TRUE(canonical->starts_with(L"\\\\?\\"));
    EXPECT_TRUE(canonical->ends_with(deep.filename().wstring()));
  }
}

// The test program's own path, as the C runtime saw it at start.
fs::path own_path() {
  if (_wpgmptr != nullptr && *_wpgmptr != L'\0') return fs::path(_wpgmptr);
  return fs::path(_pgmptr != nullptr ? _pgmptr : "");
}

// Its directory, where the rules file would sit.
fs::path executable_dir() { return own_path().parent_path(); }

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
    const std::vector<std::string> expected = {"name",      "--gtest_filter=Win32Args.CommandLine",
                                               "a b",       "",
                                               "c\"d",      "e\\f g",
                                               "h\\\\i",    "\u4E2D\u6587",
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
