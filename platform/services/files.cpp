#include "platform/services/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "platform/system/crypto.h"

namespace platform {

namespace {

constexpr std::string_view kUserNamespace = "user.";

// Records a failure with the given errno; always returns false so callers can `return fail(...)`.
bool fail(ErrorPtr* error, int code, std::string_view operation, const std::filesystem::path& path) {
  if (error) *error = posixError(code, operation, path.string());
  return false;
}

bool failWith(ErrorPtr* error, const std::error_code& ec, std::string_view operation,
              const std::filesystem::path& path) {
  // std::filesystem reports system errors with their errno value.
  return fail(error, ec.value() ? ec.value() : EIO, operation, path);
}

Date dateFromTimestamp(std::int64_t seconds, std::uint32_t nanoseconds) {
  return Date::fromTimeIntervalSince1970(static_cast<double>(seconds) + nanoseconds / 1e9);
}

std::string userAttributeName(std::string_view name) { return std::string(kUserNamespace) + std::string(name); }

std::string environmentPath(const char* name) {
  const char* value = std::getenv(name);
  // Relative values are invalid for these variables and are ignored, as the base-directory rules say.
  if (value && value[0] == '/') return value;
  return {};
}

bool existsWithoutFollowing(const std::filesystem::path& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

bool writeAll(int fd, const Bytes& contents) {
  std::size_t written = 0;
  while (written < contents.size()) {
    ssize_t n = ::write(fd, contents.data() + written, contents.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    written += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

FileManager& FileManager::defaultManager() {
  static FileManager manager;
  return manager;
}

bool FileManager::createDirectory(const Path& path, bool withIntermediates, ErrorPtr* error) const {
  if (!withIntermediates) {
    if (mkdir(path.c_str(), 0777) != 0) return fail(error, errno, "Cannot create folder", path);
    return true;
  }
  Path partial;
  for (const auto& component : path) {
    partial /= component;
    if (mkdir(partial.c_str(), 0777) == 0) continue;
    int code = errno;
    if (code == EEXIST || code == EISDIR) {
      struct stat info;
      if (stat(partial.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) continue;
      return fail(error, code == EISDIR ? EEXIST : ENOTDIR, "Cannot create folder", partial);
    }
    return fail(error, code, "Cannot create folder", partial);
  }
  return true;
}

bool FileManager::moveItem(const Path& from, const Path& to, ErrorPtr* error) const {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  int code = errno;
  if (code == EINVAL || code == ENOSYS) {
    // The file system cannot refuse to replace atomically; check, then rename.
    if (!existsWithoutFollowing(from)) return fail(error, ENOENT, "Cannot move", from);
    if (existsWithoutFollowing(to)) return fail(error, EEXIST, "Cannot move onto", to);
    if (std::rename(from.c_str(), to.c_str()) == 0) return true;
    code = errno;
  }
  if (code == EXDEV) return copyItem(from, to, error) && removeItem(from, error);
  return fail(error, code, code == EEXIST ? "Cannot move onto" : "Cannot move", code == EEXIST ? to : from);
}

bool FileManager::copyItem(const Path& from, const Path& to, ErrorPtr* error) const {
  if (!existsWithoutFollowing(from)) return fail(error, ENOENT, "Cannot copy", from);
  if (existsWithoutFollowing(to)) return fail(error, EEXIST, "Cannot copy onto", to);
  std::error_code ec;
  std::filesystem::copy(from, to,
                        std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks, ec);
  if (ec) return failWith(error, ec, "Cannot copy", from);
  return true;
}

bool FileManager::removeItem(const Path& path, ErrorPtr* error) const {
  if (!existsWithoutFollowing(path)) return fail(error, ENOENT, "Cannot remove", path);
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
  if (ec) return failWith(error, ec, "Cannot remove", path);
  return true;
}

bool FileManager::fileExists(const Path& path) const {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

bool FileManager::isDirectory(const Path& path) const {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::optional<std::vector<std::string>> FileManager::contentsOfDirectory(const Path& path, ErrorPtr* error) const {
  DIR* dir = opendir(path.c_str());
  if (!dir) {
    fail(error, errno, "Cannot list folder", path);
    return std::nullopt;
  }
  std::vector<std::string> names;
  errno = 0;
  while (dirent* entry = readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  int code = errno;
  closedir(dir);
  if (code != 0) {
    fail(error, code, "Cannot list folder", path);
    return std::nullopt;
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<FileAttributes> FileManager::attributesOfItem(const Path& path, ErrorPtr* error) const {
  struct statx info;
  if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &info) != 0) {
    fail(error, errno, "Cannot read attributes of", path);
    return std::nullopt;
  }
  FileAttributes attributes;
  if (S_ISREG(info.stx_mode)) {
    attributes.type = FileType::Regular;
  } else if (S_ISDIR(info.stx_mode)) {
    attributes.type = FileType::Directory;
  } else if (S_ISLNK(info.stx_mode)) {
    attributes.type = FileType::SymbolicLink;
  }
  attributes.size = info.stx_size;
  const struct statx_timestamp& created = (info.stx_mask & STATX_BTIME) ? info.stx_btime : info.stx_ctime;
  attributes.creationDate = dateFromTimestamp(created.tv_sec, created.tv_nsec);
  attributes.modificationDate = dateFromTimestamp(info.stx_mtime.tv_sec, info.stx_mtime.tv_nsec);
  attributes.permissions = info.stx_mode & 07777;
  return attributes;
}

bool FileManager::setModificationDate(const Path& path, Date date, ErrorPtr* error) const {
  double unixSeconds = date.timeIntervalSince1970();
  double whole = std::floor(unixSeconds);
  long nanoseconds = std::lround((unixSeconds - whole) * 1e9);
  if (nanoseconds >= 1000000000L) {
    whole += 1;
    nanoseconds -= 1000000000L;
  }
  timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;  // leave the access time alone
  times[1].tv_sec = static_cast<time_t>(whole);
  times[1].tv_nsec = nanoseconds;
  if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
    return fail(error, errno, "Cannot set modification date of", path);
  }
  return true;
}

bool FileManager::setExtendedAttribute(const Path& path, std::string_view name, const Bytes& value,
                                       ErrorPtr* error) const {
  if (setxattr(path.c_str(), userAttributeName(name).c_str(), value.data(), value.size(), 0) != 0) {
    return fail(error, errno, "Cannot set extended attribute " + std::string(name) + " of", path);
  }
  return true;
}

std::optional<Bytes> FileManager::extendedAttribute(const Path& path, std::string_view name, ErrorPtr* error) const {
  std::string fullName = userAttributeName(name);
  // The value may change between asking for its size and reading it; retry while it grows.
  for (;;) {
    ssize_t size = getxattr(path.c_str(), fullName.c_str(), nullptr, 0);
    if (size < 0) break;
    Bytes value(static_cast<std::size_t>(size));
    ssize_t read = getxattr(path.c_str(), fullName.c_str(), value.data(), value.size());
    if (read >= 0) {
      value.resize(static_cast<std::size_t>(read));
      return value;
    }
    if (errno != ERANGE) break;
  }
  fail(error, errno, "Cannot read extended attribute " + std::string(name) + " of", path);
  return std::nullopt;
}

bool FileManager::hasExtendedAttribute(const Path& path, std::string_view name) const {
  return getxattr(path.c_str(), userAttributeName(name).c_str(), nullptr, 0) >= 0;
}

bool FileManager::removeExtendedAttribute(const Path& path, std::string_view name, ErrorPtr* error) const {
  if (removexattr(path.c_str(), userAttributeName(name).c_str()) != 0) {
    return fail(error, errno, "Cannot remove extended attribute " + std::string(name) + " of", path);
  }
  return true;
}

std::optional<std::vector<std::string>> FileManager::extendedAttributeNames(const Path& path, ErrorPtr* error) const {
  std::string list;
  for (;;) {
    ssize_t size = listxattr(path.c_str(), nullptr, 0);
    if (size < 0) break;
    list.resize(static_cast<std::size_t>(size));
    ssize_t read = listxattr(path.c_str(), list.data(), list.size());
    if (read >= 0) {
      list.resize(static_cast<std::size_t>(read));
      std::vector<std::string> names;
      std::size_t start = 0;
      while (start < list.size()) {
        std::size_t end = list.find('\0', start);
        if (end == std::string::npos) end = list.size();
        std::string_view entry(list.data() + start, end - start);
        if (entry.starts_with(kUserNamespace)) names.emplace_back(entry.substr(kUserNamespace.size()));
        start = end + 1;
      }
      return names;
    }
    if (errno != ERANGE) break;
  }
  fail(error, errno, "Cannot list extended attributes of", path);
  return std::nullopt;
}

std::string FileManager::temporaryDirectory() const {
  std::string dir = environmentPath("TMPDIR");
  return dir.empty() ? "/tmp" : dir;
}

std::string FileManager::homeDirectory() const {
  std::string home = environmentPath("HOME");
  if (!home.empty()) return home;
  long bufferSize = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(bufferSize > 0 ? static_cast<std::size_t>(bufferSize) : 16384);
  passwd entry;
  passwd* result = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result && result->pw_dir) {
    return result->pw_dir;
  }
  return "/";
}

std::string FileManager::applicationSupportDirectory() const {
  std::string dir = environmentPath("XDG_DATA_HOME");
  return dir.empty() ? (Path(homeDirectory()) / ".local" / "share").string() : dir;
}

std::string FileManager::cachesDirectory() const {
  std::string dir = environmentPath("XDG_CACHE_HOME");
  return dir.empty() ? (Path(homeDirectory()) / ".cache").string() : dir;
}

std::string FileManager::configurationDirectory() const {
  std::string dir = environmentPath("XDG_CONFIG_HOME");
  return dir.empty() ? (Path(homeDirectory()) / ".config").string() : dir;
}

std::string FileManager::stateDirectory() const {
  std::string dir = environmentPath("XDG_STATE_HOME");
  return dir.empty() ? (Path(homeDirectory()) / ".local" / "state").string() : dir;
}

std::optional<Bytes> FileManager::readFile(const Path& path, ErrorPtr* error) const {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    fail(error, errno, "Cannot open", path);
    return std::nullopt;
  }
  Bytes contents;
  struct stat info;
  if (fstat(fd, &info) == 0 && info.st_size > 0) contents.reserve(static_cast<std::size_t>(info.st_size));
  std::uint8_t buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      int code = errno;
      close(fd);
      fail(error, code, "Cannot read", path);
      return std::nullopt;
    }
    contents.insert(contents.end(), buffer, buffer + n);
  }
  close(fd);
  return contents;
}

bool FileManager::writeFileAtomically(const Path& path, const Bytes& contents, ErrorPtr* error) const {
  Path folder = path.parent_path();
  if (folder.empty()) folder = ".";
  Path temporary = folder / ("." + path.filename().string() + ".tmp-" + UUID::random().lowercaseHexString());
  // 0666 less the umask, like any newly created file; an existing file keeps its permissions.
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return fail(error, errno, "Cannot create", temporary);
  auto abandon = [&](int code, std::string_view operation, const Path& concerned) {
    close(fd);
    unlink(temporary.c_str());
    return fail(error, code, operation, concerned);
  };
  struct stat existing;
  if (stat(path.c_str(), &existing) == 0 && fchmod(fd, existing.st_mode & 07777) != 0) {
    return abandon(errno, "Cannot set permissions of", temporary);
  }
  if (!writeAll(fd, contents)) return abandon(errno, "Cannot write", temporary);
  if (fsync(fd) != 0) return abandon(errno, "Cannot write", temporary);
  if (close(fd) != 0) {
    int code = errno;
    unlink(temporary.c_str());
    return fail(error, code, "Cannot write", temporary);
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    int code = errno;
    unlink(temporary.c_str());
    return fail(error, code, "Cannot replace", path);
  }
  // Make the rename itself durable; a failure here does not undo the write.
  int dirFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    fsync(dirFd);
    close(dirFd);
  }
  return true;
}

}  // namespace platform
