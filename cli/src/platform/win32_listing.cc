// The Windows directory reader: directories are opened below an open one
// and listed through their own handles, never by a path resolved again;
// and what a scan asks of the volume it runs on.
#include "platform/win32_listing.h"

#include <windows.h>
// After <windows.h>, which they need.
#include <winioctl.h>
#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/win32_decisions.h"

namespace oskra::platform {

// What a directory's handle carries: its full path, for opening below it by
// path where relative opens are not supported, and what the scan has learnt
// of its volume.
struct DirContext {
  std::wstring path;  // as it opens: a root keeps its separator ("\\?\C:\")
  std::shared_ptr<win32::VolumeMemory> volume;
};

namespace {

using win32::ntdll_function;
using win32::own_handle;
using win32::UniqueHandle;
using win32::VERBATIM;

using NtCreateFileFunction = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                              PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG,
                                              ULONG, PVOID, ULONG);
using NtStatusToWin32Function = ULONG(NTAPI*)(NTSTATUS);

std::uint32_t last_error() {
  const DWORD error = GetLastError();
  return error != 0 ? error : ERROR_GEN_FAILURE;
}

// The attributes and reparse tag of an open handle, which then belongs to
// `opened`; closes it and returns the error when they cannot be read.
std::uint32_t describe(HANDLE handle, win32::Opened& opened) {
  FILE_ATTRIBUTE_TAG_INFO info{};
  if (GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info) == 0) {
    const std::uint32_t error = last_error();
    CloseHandle(handle);
    return error;
  }
  opened.handle = reinterpret_cast<std::intptr_t>(handle);
  opened.attributes = info.FileAttributes;
  opened.tag = info.ReparseTag;
  return 0;
}

// What tells one file from another: the volume and the file's ID within it
// (128 bits where the file system has them, as ReFS does; the 64-bit index
// on older systems and some file systems).
std::optional<DirIdentity> identity(HANDLE handle) {
  FILE_ID_INFO info{};
  if (GetFileInformationByHandleEx(handle, FileIdInfo, &info, sizeof info) != 0) {
    DirIdentity out;
    out.volume = info.VolumeSerialNumber;
    static_assert(sizeof info.FileId.Identifier == sizeof out.file + sizeof out.file_high);
    std::memcpy(&out.file, info.FileId.Identifier, sizeof out.file);
    std::memcpy(&out.file_high, info.FileId.Identifier + sizeof out.file, sizeof out.file_high);
    return out;
  }
  BY_HANDLE_FILE_INFORMATION by_handle{};
  if (GetFileInformationByHandle(handle, &by_handle) == 0) return std::nullopt;
  return DirIdentity{by_handle.dwVolumeSerialNumber,
                     win32::join64(by_handle.nFileIndexHigh, by_handle.nFileIndexLow), 0};
}

}  // namespace

namespace win32 {

DirectoryRead directory_reader(std::intptr_t dir) {
  return [dir](DirectoryClass type, bool restart, void* buffer, std::uint32_t size) {
    const auto info_class =
        static_cast<FILE_INFO_BY_HANDLE_CLASS>(directory_info_class(type, restart));
    if (GetFileInformationByHandleEx(reinterpret_cast<HANDLE>(dir), info_class, buffer, size) ==
        0) {
      return last_error();
    }
    return std::uint32_t{0};
  };
}

ComponentOpener system_opener() {
  ComponentOpener opener;
  // Relative to a handle, without following a reparse point, only
  // NtCreateFile opens; nothing where ntdll lacks it, and every directory
  // is then opened by its path.
  const auto create = ntdll_function<NtCreateFileFunction>("NtCreateFile");
  const auto to_win32 = ntdll_function<NtStatusToWin32Function>("RtlNtStatusToDosError");
  if (create != nullptr && to_win32 != nullptr) {
    // Docs: NtCreateFile (RootDirectory, FILE_OPEN_REPARSE_POINT, FILE_OPEN_FOR_BACKUP_INTENT).
    opener.open = [create, to_win32](std::intptr_t parent, std::wstring_view name, Opened& opened) {
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
      return describe(handle, opened);
    };
  }
  // Docs: CreateFileW (FILE_FLAG_OPEN_REPARSE_POINT, FILE_FLAG_BACKUP_SEMANTICS, sharing).
  opener.open_path = [](const std::wstring& path, bool hold, Opened& opened) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | (hold ? 0 : FILE_SHARE_DELETE);
    const HANDLE handle = CreateFileW(
        path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE, share, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return last_error();
    return describe(handle, opened);
  };
  opener.same = [](std::intptr_t a, std::intptr_t b) {
    const auto first = identity(reinterpret_cast<HANDLE>(a));
    return first && first == identity(reinterpret_cast<HANDLE>(b));
  };
  opener.close = [](std::intptr_t handle) { CloseHandle(reinterpret_cast<HANDLE>(handle)); };
  return opener;
}

}  // namespace win32

// `native` is the directory's HANDLE; 0 for none.
void DirHandle::close(std::intptr_t native) { CloseHandle(reinterpret_cast<HANDLE>(native)); }

struct DirectoryReader::State {
  win32::ComponentOpener opener = win32::system_opener();
  std::vector<std::uint64_t> buffer;
};

DirectoryReader::DirectoryReader() : state_(std::make_unique<State>()) {}
DirectoryReader::~DirectoryReader() = default;

OpenStatus DirectoryReader::open_root(NativeStringView path, DirHandle& out) {
  // A root keeps its separator: "\\?\C:" alone is the volume, not the
  // folder at its root. Links on the way are followed; the path is
  // canonical already.
  std::wstring name = listing_path(path);
  if (path.ends_with(L'\\') || win32::is_root(path)) name.push_back(L'\\');
  UniqueHandle handle =
      own_handle(CreateFileW(name.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  // A file opens this way too; a directory query on it would fail as
  // "not supported" and mislead the volume's memory.
  FILE_BASIC_INFO info{};
  if (!handle ||
      GetFileInformationByHandleEx(handle.get(), FileBasicInfo, &info, sizeof info) == 0 ||
      (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return OpenStatus::failed;
  }
  out = DirHandle(reinterpret_cast<std::intptr_t>(handle.release()),
                  std::make_shared<const DirContext>(
                      DirContext{std::move(name), std::make_shared<win32::VolumeMemory>()}));
  return OpenStatus::ok;
}

OpenStatus DirectoryReader::open(const DirHandle& base, NativeStringView rel, DirHandle& out) {
  const DirContext& context = base.context();
  std::intptr_t handle = 0;
  if (!win32::open_below(state_->opener, *context.volume, base.native(), context.path, rel,
                         handle)) {
    return OpenStatus::failed;
  }
  std::wstring path = context.path;
  if (!path.ends_with(L'\\')) path.push_back(L'\\');
  path.append(rel);
  out = DirHandle(handle,
                  std::make_shared<const DirContext>(DirContext{std::move(path), context.volume}));
  return OpenStatus::ok;
}

ListStatus DirectoryReader::read(const DirHandle& dir, RecordList& out) {
  return win32::list_directory(win32::directory_reader(dir.native()), *dir.context().volume,
                               state_->buffer, out);
}

bool DirectoryReader::identify(const DirHandle& dir, DirIdentity& out) {
  if (dir.native() == 0) return false;
  const std::optional<DirIdentity> found = identity(reinterpret_cast<HANDLE>(dir.native()));
  if (found) out = *found;
  return found.has_value();
}

// A handle cannot be opened relative to another by "..": a directory given
// up is opened again from an ancestor instead.
OpenStatus DirectoryReader::open_parent(const DirHandle&, const DirIdentity&, DirHandle&) {
  return OpenStatus::failed;
}

// The listing buffer comes from the process heap, which has no per-thread
// reservation to fail; it is made on first use.
bool DirectoryReader::reserve() { return true; }

// Handles are not the scarce resource descriptors are on Linux.
std::size_t descriptor_budget() { return 1024; }

// A 64-bit process has more address space than it can use.
std::uint64_t address_space_limit() { return UINT64_MAX; }

bool on_rotating_disk(NativeStringView root) {
  const std::wstring path(root);
  // A prefix of the path, with a separator at the end.
  std::wstring volume(path.size() + MAX_PATH, L'\0');
  if (GetVolumePathNameW(path.c_str(), volume.data(), static_cast<DWORD>(volume.size())) == 0) {
    return false;
  }
  volume.resize(volume.find(L'\0'));
  const auto volume_name = [](const std::wstring& mount_point) -> std::optional<std::wstring> {
    wchar_t name[64] = {};  // "\\?\Volume{GUID}\" is 49 characters
    if (GetVolumeNameForVolumeMountPointW(mount_point.c_str(), name, std::size(name)) == 0) {
      return std::nullopt;
    }
    return std::wstring(name);
  };
  const std::optional<std::wstring> device = win32::volume_device(volume, volume_name);
  if (!device) return false;
  const UniqueHandle handle = own_handle(CreateFileW(
      device->c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!handle) return false;
  STORAGE_PROPERTY_QUERY query{};
  query.PropertyId = StorageDeviceSeekPenaltyProperty;
  query.QueryType = PropertyStandardQuery;
  DEVICE_SEEK_PENALTY_DESCRIPTOR penalty{};
  DWORD got = 0;
  if (DeviceIoControl(handle.get(), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &penalty,
                      sizeof penalty, &got, nullptr) == 0 ||
      got < sizeof penalty) {
    return false;
  }
  return penalty.IncursSeekPenalty != FALSE;
}

}  // namespace oskra::platform
