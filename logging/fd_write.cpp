#include <cerrno>

#include "logging/fd_write_internal.h"

bool LGWriteFully(int fileDescriptor, iovec* pieces, int count) {
  while (count > 0) {
    ssize_t written = ::writev(fileDescriptor, pieces, count);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    auto left = static_cast<std::size_t>(written);
    while (count > 0 && left >= pieces->iov_len) {
      left -= pieces->iov_len;
      ++pieces;
      --count;
    }
    if (count > 0 && written == 0 && left == 0) {
      errno = EIO;  // the descriptor takes nothing more
      return false;
    }
    if (count > 0) {
      pieces->iov_base = static_cast<char*>(pieces->iov_base) + left;
      pieces->iov_len -= left;
    }
  }
  return true;
}
