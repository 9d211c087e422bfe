#pragma once

// Helpers for tests of journal entries: a listener of the journal's native protocol on a socket
// of the test's own, and reading this process's entries back from a real journal.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "logging/journal.h"
#include "platform/system/process.h"

namespace journaltest {

using Entry = std::map<std::string, std::string>;

// A journal socket of our own: receives datagrams (or memory files passed with them) and parses
// the native protocol.
class NativeListener {
 public:
  explicit NativeListener(std::string path) : path_(std::move(path)) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~NativeListener() { ::close(fd_); }
  NativeListener(const NativeListener&) = delete;
  NativeListener& operator=(const NativeListener&) = delete;
  bool bound() const { return bound_; }

  // The next entry, its raw bytes in *raw; nullopt after a second without one.
  std::optional<Entry> receive(std::string* raw = nullptr, bool* viaMemoryFile = nullptr) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 1000) != 1) return std::nullopt;
    std::string bytes(256 * 1024, '\0');
    iovec piece{bytes.data(), bytes.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr header{};
    header.msg_iov = &piece;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    ssize_t n = ::recvmsg(fd_, &header, MSG_CMSG_CLOEXEC);
    if (n < 0) return std::nullopt;
    bytes.resize(static_cast<std::size_t>(n));
    cmsghdr* message = CMSG_FIRSTHDR(&header);
    if (viaMemoryFile) *viaMemoryFile = false;
    if (message && message->cmsg_type == SCM_RIGHTS) {
      int memory;
      std::memcpy(&memory, CMSG_DATA(message), sizeof memory);
      EXPECT_NE(::fcntl(memory, F_GET_SEALS) & F_SEAL_WRITE, 0) << "the memory file must be sealed";
      bytes.clear();
      char buffer[65536];
      for (ssize_t got; (got = ::pread(memory, buffer, sizeof buffer, static_cast<off_t>(bytes.size()))) > 0;)
        bytes.append(buffer, static_cast<std::size_t>(got));
      ::close(memory);
      if (viaMemoryFile) *viaMemoryFile = true;
    }
    if (raw) *raw = bytes;
    return parse(bytes);
  }

  static std::optional<Entry> parse(std::string_view bytes) {
    Entry entry;
    while (!bytes.empty()) {
      std::size_t end = bytes.find_first_of("=\n");
      if (end == std::string_view::npos) return std::nullopt;
      std::string name(bytes.substr(0, end));
      if (bytes[end] == '=') {
        std::size_t newline = bytes.find('\n', end);
        if (newline == std::string_view::npos) return std::nullopt;
        entry[name] = std::string(bytes.substr(end + 1, newline - end - 1));
        bytes.remove_prefix(newline + 1);
      } else {
        if (bytes.size() < end + 1 + 8) return std::nullopt;
        std::uint64_t length = 0;
        for (int i = 0; i < 8; ++i)
          length |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[end + 1 + i])) << (8 * i);
        std::size_t start = end + 9;
        if (bytes.size() < start + length + 1 || bytes[start + length] != '\n') return std::nullopt;
        entry[name] = std::string(bytes.substr(start, length));
        bytes.remove_prefix(start + length + 1);
      }
    }
    return entry;
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

// This process's entries in the machine's journal with the identifier and the extra matches
// ("NAME=value") that `accept` takes, read back until `count` are there or ten seconds pass.
inline std::vector<LGJournalEntry> readBackOwnEntries(std::size_t count, const std::string& identifier,
                                                      const std::vector<std::string>& matches,
                                                      const std::function<bool(const LGJournalEntry&)>& accept = {}) {
  std::vector<LGJournalEntry> found;
  platform::ErrorPtr error;
  auto reader = LGJournalReader::openLocal(&error);
  EXPECT_TRUE(reader) << (error ? error->description() : "");
  if (!reader) return found;
  reader->addMatch("_PID=" + std::to_string(platform::ProcessInfo::processIdentifier()));
  reader->addMatch("SYSLOG_IDENTIFIER=" + identifier);
  for (const std::string& match : matches) reader->addMatch(match);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (found.size() < count && std::chrono::steady_clock::now() < deadline) {
    while (auto entry = reader->next())
      if (!accept || accept(*entry)) found.push_back(std::move(*entry));
    if (found.size() < count) reader->wait(0.1);
  }
  return found;
}

}  // namespace journaltest
