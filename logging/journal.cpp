#include "logging/journal.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "platform/runtime/format.h"

using platform::ErrorPtr;

namespace {

bool fail(ErrorPtr* error, int code, std::string_view operation) {
  if (error) {
    platform::ValueDictionary info;
    info.set(std::string(platform::kLocalizedDescriptionKey),
             platform::format("%@: %s", operation, std::strerror(code)));
    *error = platform::Error::make(std::string(platform::kPOSIXErrorDomain), code, platform::Value(std::move(info)));
  }
  return false;
}

void appendLittleEndian64(std::string& out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

// One field of the native protocol.
void appendNativeField(std::string& out, std::string_view field) {
  std::size_t equals = field.find('=');
  std::string_view name = field.substr(0, equals);
  std::string_view value = field.substr(equals + 1);
  if (value.find('\n') == std::string_view::npos) {
    out.append(field);
    out.push_back('\n');
    return;
  }
  out.append(name);
  out.push_back('\n');
  appendLittleEndian64(out, value.size());
  out.append(value);
  out.push_back('\n');
}

}  // namespace

LGJournalWriter::LGJournalWriter(std::string socketPath)
    : socketPath_(std::move(socketPath)), throughDaemonLibrary_(socketPath_ == kDaemonSocketPath) {
  if (!throughDaemonLibrary_) socket_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

LGJournalWriter::~LGJournalWriter() {
  if (socket_ >= 0) ::close(socket_);
}

LGJournalWriter& LGJournalWriter::daemon() {
  static LGJournalWriter* writer = new LGJournalWriter;  // used up to the process's end
  return *writer;
}

namespace {
bool isSocketAt(const std::string& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}
}  // namespace

bool LGJournalWriter::isDaemonAvailable() { return isSocketAt(std::string(kDaemonSocketPath)); }

bool LGJournalWriter::isSocketPresent() const { return isSocketAt(socketPath_); }

bool LGJournalWriter::isValidFieldName(std::string_view name) {
  if (name.empty() || name.size() > 64) return false;
  if (name[0] == '_' || (name[0] >= '0' && name[0] <= '9')) return false;
  for (char c : name)
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
  return true;
}

bool LGJournalWriter::send(int priority, std::string_view identifier, std::string_view message,
                           std::span<const LGJournalField> fields, ErrorPtr* error) const {
  if (priority < 0 || priority > 7) return fail(error, EINVAL, "Invalid journal priority");
  for (const LGJournalField& field : fields)
    if (!isValidFieldName(field.name)) return fail(error, EINVAL, "Invalid journal field name");
  std::vector<std::string> entry;
  entry.reserve(3 + fields.size());
  entry.push_back("PRIORITY=" + std::to_string(priority));
  if (!identifier.empty()) entry.push_back("SYSLOG_IDENTIFIER=" + std::string(identifier));
  entry.push_back("MESSAGE=" + std::string(message));
  for (const LGJournalField& field : fields) entry.push_back(field.name + "=" + field.value);

  if (!throughDaemonLibrary_) return sendNative(entry, error);
  std::vector<iovec> pieces;
  pieces.reserve(entry.size());
  for (std::string& field : entry) pieces.push_back(iovec{field.data(), field.size()});
  int result = sd_journal_sendv(pieces.data(), static_cast<int>(pieces.size()));
  if (result < 0) return fail(error, -result, "Cannot write to the journal");
  return true;
}

bool LGJournalWriter::sendNative(const std::vector<std::string>& fields, ErrorPtr* error) const {
  if (socket_ < 0) return fail(error, EBADF, "No journal socket");
  std::string datagram;
  for (const std::string& field : fields) appendNativeField(datagram, field);

  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath_.size() >= sizeof address.sun_path) return fail(error, ENAMETOOLONG, "Journal socket path");
  std::memcpy(address.sun_path, socketPath_.c_str(), socketPath_.size() + 1);

  iovec piece{datagram.data(), datagram.size()};
  msghdr header{};
  header.msg_name = &address;
  header.msg_namelen = sizeof address;
  header.msg_iov = &piece;
  header.msg_iovlen = 1;
  for (;;) {
    if (::sendmsg(socket_, &header, MSG_NOSIGNAL) >= 0) return true;
    if (errno == EINTR) continue;
    if (errno != EMSGSIZE && errno != ENOBUFS) return fail(error, errno, "Cannot write to the journal");
    break;
  }

  // Too large for one datagram: the entry goes in a sealed memory file whose descriptor is sent.
  int memory = ::memfd_create("journal-entry", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (memory < 0) return fail(error, errno, "Cannot make a memory file for the journal");
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{memory};
  for (std::size_t done = 0; done < datagram.size();) {
    ssize_t n = ::write(memory, datagram.data() + done, datagram.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(error, errno, "Cannot fill the memory file for the journal");
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fcntl(memory, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) < 0)
    return fail(error, errno, "Cannot seal the memory file for the journal");
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr fdHeader{};
  fdHeader.msg_name = &address;
  fdHeader.msg_namelen = sizeof address;
  fdHeader.msg_control = control;
  fdHeader.msg_controllen = sizeof control;
  cmsghdr* message = CMSG_FIRSTHDR(&fdHeader);
  message->cmsg_level = SOL_SOCKET;
  message->cmsg_type = SCM_RIGHTS;
  message->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(message), &memory, sizeof(int));
  for (;;) {
    if (::sendmsg(socket_, &fdHeader, MSG_NOSIGNAL) >= 0) return true;
    if (errno != EINTR) return fail(error, errno, "Cannot write to the journal");
  }
}

// --- Reading -------------------------------------------------------------------------------------

namespace {
sd_journal* journalOf(void* journal) { return static_cast<sd_journal*>(journal); }
}  // namespace

const std::string* LGJournalEntry::field(std::string_view name) const {
  auto it = fields.find(name);
  return it == fields.end() ? nullptr : &it->second;
}

std::unique_ptr<LGJournalReader> LGJournalReader::openLocal(ErrorPtr* error) {
  sd_journal* journal = nullptr;
  int result = sd_journal_open(&journal, SD_JOURNAL_LOCAL_ONLY);
  if (result < 0) {
    fail(error, -result, "Cannot open the journal");
    return nullptr;
  }
  return std::unique_ptr<LGJournalReader>(new LGJournalReader(journal));
}

LGJournalReader::~LGJournalReader() { sd_journal_close(journalOf(journal_)); }

bool LGJournalReader::addMatch(std::string_view nameAndValue) {
  return sd_journal_add_match(journalOf(journal_), nameAndValue.data(), nameAndValue.size()) >= 0;
}

bool LGJournalReader::seekRealtime(std::uint64_t microseconds) {
  return sd_journal_seek_realtime_usec(journalOf(journal_), microseconds) >= 0;
}

bool LGJournalReader::seekCursor(const std::string& cursor) {
  sd_journal* journal = journalOf(journal_);
  if (sd_journal_seek_cursor(journal, cursor.c_str()) < 0) return false;
  // Step onto the entry of the cursor, so that next() reads the one after it.
  if (sd_journal_next(journal) > 0 && sd_journal_test_cursor(journal, cursor.c_str()) > 0) return true;
  return sd_journal_seek_cursor(journal, cursor.c_str()) >= 0;
}

bool LGJournalReader::seekTail() { return sd_journal_seek_tail(journalOf(journal_)) >= 0; }

std::optional<LGJournalEntry> LGJournalReader::next() {
  sd_journal* journal = journalOf(journal_);
  if (sd_journal_next(journal) <= 0) return std::nullopt;
  LGJournalEntry entry;
  const void* data = nullptr;
  std::size_t length = 0;
  SD_JOURNAL_FOREACH_DATA(journal, data, length) {
    std::string_view field(static_cast<const char*>(data), length);
    std::size_t equals = field.find('=');
    if (equals == std::string_view::npos) continue;
    entry.fields[std::string(field.substr(0, equals))] = std::string(field.substr(equals + 1));
  }
  std::uint64_t realtime = 0;
  if (sd_journal_get_realtime_usec(journal, &realtime) >= 0) entry.realtimeMicroseconds = realtime;
  char* cursor = nullptr;
  if (sd_journal_get_cursor(journal, &cursor) >= 0 && cursor) {
    entry.cursor = cursor;
    std::free(cursor);
  }
  return entry;
}

bool LGJournalReader::wait(double seconds) {
  std::uint64_t timeout = seconds > 0 ? static_cast<std::uint64_t>(std::llround(seconds * 1e6)) : 0;
  int result = sd_journal_wait(journalOf(journal_), timeout);
  return result > 0;  // SD_JOURNAL_APPEND or SD_JOURNAL_INVALIDATE
}

int LGJournalReader::fileDescriptor() {
  int fd = sd_journal_get_fd(journalOf(journal_));
  return fd < 0 ? -1 : fd;
}

bool LGJournalReader::process() { return sd_journal_process(journalOf(journal_)) > 0; }
