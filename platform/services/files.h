#pragma once

// The file manager: folders, moving, copying and removing items, item attributes and dates,
// extended attributes, the user's standard folders, and whole-file reads and atomic writes.
//
// Paths are UTF-8 text. Failures return false or nullopt and, when an ErrorPtr* is given, set it
// to an error in the domain "NSPOSIXErrorDomain" whose code is the errno of the failing system
// call and whose user info holds "NSFilePath" (the path concerned) and "NSLocalizedDescription"
// (the system's text for that errno, prefixed by the operation).
//
// The file manager keeps no state: the shared instance may be used from any thread at once.
// Operations on the same paths from several threads race as they do in the file system itself.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/runtime/error.h"
#include "platform/runtime/value.h"
#include "platform/system/date.h"

namespace platform {

enum class FileType { Regular, Directory, SymbolicLink, Other };

struct FileAttributes {
  FileType type = FileType::Other;
  std::uint64_t size = 0;  // bytes
  // The file's birth time when the file system records it, else its status-change time.
  Date creationDate;
  Date modificationDate;
  std::uint32_t permissions = 0;  // the mode's permission bits, e.g. 0644
};

class FileManager {
 public:
  using Path = std::filesystem::path;

  static FileManager& defaultManager();

  // Creates the folder; with `withIntermediates`, also every missing parent, and succeeds when
  // the folder already exists. Without it, an existing item is an error (EEXIST).
  bool createDirectory(const Path& path, bool withIntermediates, ErrorPtr* error = nullptr) const;
  // Moves or renames. Fails with EEXIST when something already exists at `to`. Works across file
  // systems (copy, then remove the source).
  bool moveItem(const Path& from, const Path& to, ErrorPtr* error = nullptr) const;
  // Copies a file or a whole folder tree (symbolic links copied as links). Fails with EEXIST
  // when something already exists at `to`.
  bool copyItem(const Path& from, const Path& to, ErrorPtr* error = nullptr) const;
  // Removes a file, a link (not its target) or a whole folder tree. A missing item is an error
  // (ENOENT).
  bool removeItem(const Path& path, ErrorPtr* error = nullptr) const;

  // Whether an item exists at the path (a symbolic link is followed).
  bool fileExists(const Path& path) const;
  bool isDirectory(const Path& path) const;
  // The names of the folder's entries, without "." and "..", sorted by name.
  std::optional<std::vector<std::string>> contentsOfDirectory(const Path& path, ErrorPtr* error = nullptr) const;

  // The attributes of the item itself (a symbolic link is not followed).
  std::optional<FileAttributes> attributesOfItem(const Path& path, ErrorPtr* error = nullptr) const;
  bool setModificationDate(const Path& path, Date date, ErrorPtr* error = nullptr) const;

  // Extended attributes of the user namespace: `name` is stored as "user." + name. Missing
  // attributes fail with ENODATA; file systems without user attributes fail with ENOTSUP.
  bool setExtendedAttribute(const Path& path, std::string_view name, const Bytes& value,
                            ErrorPtr* error = nullptr) const;
  std::optional<Bytes> extendedAttribute(const Path& path, std::string_view name, ErrorPtr* error = nullptr) const;
  bool hasExtendedAttribute(const Path& path, std::string_view name) const;
  bool removeExtendedAttribute(const Path& path, std::string_view name, ErrorPtr* error = nullptr) const;
  // The names (without "user.") of the item's user attributes; other namespaces are left out.
  std::optional<std::vector<std::string>> extendedAttributeNames(const Path& path, ErrorPtr* error = nullptr) const;

  // $TMPDIR when set and absolute, else "/tmp".
  std::string temporaryDirectory() const;
  // The user's home folder: $HOME, else the password database's entry.
  std::string homeDirectory() const;
  // Where applications keep their data: $XDG_DATA_HOME when set and absolute, else
  // ~/.local/share. Not created here.
  std::string applicationSupportDirectory() const;
  // Where applications keep caches: $XDG_CACHE_HOME when set and absolute, else ~/.cache.
  std::string cachesDirectory() const;
  // Where applications keep state that outlives a restart but is not worth a backup (logs,
  // history): $XDG_STATE_HOME when set and absolute, else ~/.local/state. Not created here.
  std::string stateDirectory() const;
  // Where applications keep the user's settings: $XDG_CONFIG_HOME when set and absolute, else
  // ~/.config. Not created here.
  std::string configurationDirectory() const;

  std::optional<Bytes> readFile(const Path& path, ErrorPtr* error = nullptr) const;
  // Writes the bytes to a new file beside `path` and renames it over `path`, so readers see the
  // old content or the new one, never a part. A new file gets mode 0666 less the umask; an
  // existing file keeps its permission bits.
  bool writeFileAtomically(const Path& path, const Bytes& contents, ErrorPtr* error = nullptr) const;

 private:
  FileManager() = default;
};

}  // namespace platform
