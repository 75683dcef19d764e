// The Windows directory reader: opening directories below an open one and
// listing them, and what a scan asks of the volume it runs on.
#include "platform/win32_listing.h"

#include <windows.h>
// After <windows.h>, which they need.
#include <winioctl.h>
#include <winternl.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/win32_decisions.h"

namespace oskra::platform {
namespace {

using win32::own_handle;
using win32::UniqueHandle;
using win32::VERBATIM;

struct FindCloser {
  void operator()(HANDLE h) const noexcept { FindClose(h); }
};
using UniqueFind = std::unique_ptr<void, FindCloser>;

// Appends one record of a listing.
void deliver(const WIN32_FIND_DATAW& data, RecordList& out) {
  const std::wstring_view field(data.cFileName, std::size(data.cFileName));
  const std::wstring_view name = field.substr(0, field.find(L'\0'));
  if (name == L"." || name == L"..") return;
  const std::uint64_t size =
      (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  out.add(name, win32::classify_record(data.dwFileAttributes, data.dwReserved0), size);
}

}  // namespace

// What a directory's handle carries: its full path, for listing it by path
// where listing through the handle is not supported.
struct DirContext {
  std::wstring path;
};

namespace win32 {

std::optional<ListStatus> list_by_handle(std::intptr_t dir, std::vector<std::uint64_t>& buffer,
                                         RecordList& out) {
  constexpr std::size_t BUFFER_BYTES = 64 * 1024;
  if (buffer.size() * sizeof(std::uint64_t) < BUFFER_BYTES) {
    buffer.assign(BUFFER_BYTES / sizeof(std::uint64_t), 0);
  }
  const auto handle = reinterpret_cast<HANDLE>(dir);
  const auto* const bytes = reinterpret_cast<const unsigned char*>(buffer.data());
  const std::size_t size = buffer.size() * sizeof(std::uint64_t);
  constexpr std::size_t NAME_AT = offsetof(FILE_ID_BOTH_DIR_INFO, FileName);
  ListingStep step = ListingStep::first;
  for (;;) {
    const FILE_INFO_BY_HANDLE_CLASS query =
        step == ListingStep::first ? FileIdBothDirectoryRestartInfo : FileIdBothDirectoryInfo;
    if (GetFileInformationByHandleEx(handle, query, buffer.data(), static_cast<DWORD>(size)) == 0) {
      const DWORD error = GetLastError();
      // A handle that is no directory gets the same answer; listed by path,
      // it then fails as it should.
      if (step == ListingStep::first && listing_unsupported(error)) return std::nullopt;
      return listing_status(step, error);
    }
    step = ListingStep::next;
    for (std::size_t at = 0;;) {
      // A record reaching past the buffer is not one to trust.
      if (at + NAME_AT > size) return ListStatus::cut_short;
      const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(bytes + at);
      if (at + NAME_AT + info->FileNameLength > size) return ListStatus::cut_short;
      const std::wstring_view name(info->FileName, info->FileNameLength / sizeof(wchar_t));
      if (name != L"." && name != L"..") {
        // The reparse tag shares its place with the extended attributes'
        // size, which a reparse point cannot have.
        const DWORD attributes = info->FileAttributes;
        const DWORD tag = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? info->EaSize : 0;
        out.add(name, classify_record(attributes, tag),
                static_cast<std::uint64_t>(info->EndOfFile.QuadPart));
      }
      if (info->NextEntryOffset == 0) break;
      at += info->NextEntryOffset;
    }
  }
}

ListStatus list_by_path(NativeStringView path, RecordList& out) {
  std::wstring pattern(path);
  pattern.append(L"\\*");
  WIN32_FIND_DATAW data{};
  const HANDLE first = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data,
                                        FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (first == INVALID_HANDLE_VALUE) return listing_status(ListingStep::first, GetLastError());
  const UniqueFind find(first);
  for (;;) {
    deliver(data, out);
    if (FindNextFileW(find.get(), &data) == 0) {
      return listing_status(ListingStep::next, GetLastError());
    }
  }
}

}  // namespace win32

namespace {

// A function of ntdll, looked up at run time: the executable imports nothing
// from ntdll. Null when it is missing.
template <class Function>
Function ntdll_function(const char* name) {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr) return nullptr;
  // Through the one function type that converts to any other.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(ntdll, name)));
}

using NtCreateFileFunction = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                              PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG,
                                              ULONG, PVOID, ULONG);
using NtStatusToWin32Function = ULONG(NTAPI*)(NTSTATUS);

// Opens directories below an open one with NtCreateFile, the one call that
// opens relative to a handle without following a reparse point; nothing
// where ntdll lacks it.
win32::ComponentOpener relative_opener() {
  const auto create = ntdll_function<NtCreateFileFunction>("NtCreateFile");
  const auto to_win32 = ntdll_function<NtStatusToWin32Function>("RtlNtStatusToDosError");
  if (create == nullptr || to_win32 == nullptr) return {};
  win32::ComponentOpener opener;
  opener.open = [create, to_win32](std::intptr_t parent, std::wstring_view name,
                                   std::intptr_t& opened, std::uint32_t& attributes) {
    // A counted name of at most 32767 characters.
    if (name.size() > 0x7FFF) return static_cast<std::uint32_t>(ERROR_FILENAME_EXCED_RANGE);
    UNICODE_STRING object_name;
    object_name.Buffer = const_cast<PWSTR>(name.data());
    object_name.Length = object_name.MaximumLength =
        static_cast<USHORT>(name.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES object{};
    object.Length = sizeof object;
    object.RootDirectory = reinterpret_cast<HANDLE>(parent);
    object.ObjectName = &object_name;
    object.Attributes = OBJ_CASE_INSENSITIVE;
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    const NTSTATUS status =
        create(&handle, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE, &object, &io,
               nullptr, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
               FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT |
                   FILE_OPEN_FOR_BACKUP_INTENT,
               nullptr, 0);
    if (status < 0) {
      const ULONG error = to_win32(status);
      return static_cast<std::uint32_t>(error != 0 ? error : ERROR_GEN_FAILURE);
    }
    FILE_BASIC_INFO info{};
    if (GetFileInformationByHandleEx(handle, FileBasicInfo, &info, sizeof info) == 0) {
      const DWORD error = GetLastError();
      CloseHandle(handle);
      return static_cast<std::uint32_t>(error != 0 ? error : ERROR_GEN_FAILURE);
    }
    opened = reinterpret_cast<std::intptr_t>(handle);
    attributes = info.FileAttributes;
    return std::uint32_t{0};
  };
  opener.close = [](std::intptr_t handle) { CloseHandle(reinterpret_cast<HANDLE>(handle)); };
  return opener;
}

}  // namespace

// `native` is the directory's HANDLE, or 0 where it is listed by path alone.
DirHandle::DirHandle() : native_(0) {}
DirHandle::DirHandle(std::intptr_t native, std::shared_ptr<const DirContext> context)
    : native_(native), context_(std::move(context)) {}
DirHandle::DirHandle(DirHandle&& other) noexcept
    : native_(other.native_), context_(std::move(other.context_)) {
  other.native_ = 0;
}
DirHandle& DirHandle::operator=(DirHandle&& other) noexcept {
  if (this != &other) {
    reset();
    native_ = other.native_;
    context_ = std::move(other.context_);
    other.native_ = 0;
  }
  return *this;
}
DirHandle::~DirHandle() { reset(); }
void DirHandle::reset() {
  if (native_ != 0) CloseHandle(reinterpret_cast<HANDLE>(native_));
  native_ = 0;
  context_.reset();
}

struct DirectoryReader::State {
  win32::ComponentOpener opener = relative_opener();
  std::vector<std::uint64_t> buffer;
};

DirectoryReader::DirectoryReader() : state_(std::make_unique<State>()) {}
DirectoryReader::~DirectoryReader() = default;

OpenStatus DirectoryReader::open_root(NativeStringView path, DirHandle& out) {
  std::wstring listing = listing_path(path);
  // A root keeps its separator: "\\?\C:" alone is the volume, not the
  // folder at its root. Links on the way are followed; the path is
  // canonical already.
  std::wstring name = listing;
  if (path.ends_with(L'\\') || entry_name(path).empty()) name.push_back(L'\\');
  const HANDLE handle = CreateFileW(name.c_str(), FILE_LIST_DIRECTORY | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return OpenStatus::failed;
  out = DirHandle(reinterpret_cast<std::intptr_t>(handle),
                  std::make_shared<const DirContext>(DirContext{std::move(listing)}));
  return OpenStatus::ok;
}

OpenStatus DirectoryReader::open(const DirHandle& base, NativeStringView rel, DirHandle& out) {
  std::intptr_t handle = 0;
  // Below a directory listed by path, or without the call for it, by path.
  if (base.native() != 0 && state_->opener.open) {
    switch (win32::open_below(state_->opener, base.native(), rel, handle)) {
      case win32::OpenBelow::ok:
        break;
      case win32::OpenBelow::failed:
        return OpenStatus::failed;
      case win32::OpenBelow::by_path:
        handle = 0;
        break;
    }
  }
  std::wstring path = base.context().path;
  path.push_back(L'\\');
  path.append(rel);
  out = DirHandle(handle, std::make_shared<const DirContext>(DirContext{std::move(path)}));
  return OpenStatus::ok;
}

ListStatus DirectoryReader::read(const DirHandle& dir, RecordList& out) {
  if (dir.native() != 0) {
    if (const auto status = win32::list_by_handle(dir.native(), state_->buffer, out)) {
      return *status;
    }
  }
  return win32::list_by_path(dir.context().path, out);
}

// Handles are not the scarce resource descriptors are on Linux.
std::size_t descriptor_budget() { return 1024; }

bool on_rotating_disk(NativeStringView root) {
  // The volume of a drive-letter path ("\\?\C:\..." or "C:\..."); shares and
  // volumes without a letter report no disk.
  std::wstring_view p = root;
  while (p.starts_with(VERBATIM)) p.remove_prefix(VERBATIM.size());
  if (!win32::has_drive_at(p, 0)) return false;
  const std::wstring volume = std::wstring(L"\\\\.\\") + p[0] + L":";
  const UniqueHandle device = own_handle(CreateFileW(
      volume.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!device) return false;
  STORAGE_PROPERTY_QUERY query{};
  query.PropertyId = StorageDeviceSeekPenaltyProperty;
  query.QueryType = PropertyStandardQuery;
  DEVICE_SEEK_PENALTY_DESCRIPTOR penalty{};
  DWORD got = 0;
  if (DeviceIoControl(device.get(), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &penalty,
                      sizeof penalty, &got, nullptr) == 0 ||
      got < sizeof penalty) {
    return false;
  }
  return penalty.IncursSeekPenalty != FALSE;
}

}  // namespace oskra::platform
