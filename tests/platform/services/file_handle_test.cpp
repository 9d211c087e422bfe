#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/dispatch/run_loop.h"
#include "platform/runtime/thread.h"
#include "platform/services/file_handle.h"
#include "platform/services/files.h"
#include "platform/services/notification_center.h"
#include "tests/support/temp_dir.h"

namespace {

using platform::Bytes;
using platform::FileHandle;
using platform::FileHandlePtr;
using platform::Value;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

// The completion notifications posted for one handle.
struct Completions {
  explicit Completions(const FileHandlePtr& handle) {
    token = platform::NotificationCenter::defaultCenter()->addObserver(
        std::string(platform::kFileHandleReadCompletionNotification), handle, nullptr,
        [this](const platform::NotificationPtr& n) {
          EXPECT_TRUE(platform::isMainThread());
          infos.push_back(n->userInfo());
        });
  }
  ~Completions() { platform::NotificationCenter::defaultCenter()->removeObserver(token); }
  bool waitFor(std::size_t count) {
    return platform::runMainLoopUntil([&] { return infos.size() >= count; }, 5.0);
  }
  Bytes data(std::size_t i) const { return infos[i][platform::kFileHandleNotificationDataItem].asData(); }
  platform::NotificationCenter::ObserverToken token;
  std::vector<Value> infos;
};

struct Pipe {
  int read = -1, write = -1;
  Pipe() {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    read = fds[0];
    write = fds[1];
  }
  ~Pipe() {
    if (write >= 0) ::close(write);
  }
  void closeWriteEnd() {
    ::close(write);
    write = -1;
  }
};

TEST(FileHandle, ReadsAFileInTheBackgroundChunkByChunkUntilAnEmptyChunk) {
  zorvel::test::TempDir dir;
  std::string contents(platform::kFileHandleBackgroundChunkSize + 10, 'x');
  ASSERT_TRUE(platform::FileManager::defaultManager().writeFileAtomically(dir / "f", bytesOf(contents)));
  FileHandlePtr handle = FileHandle::fileHandleForReadingAtPath(dir / "f");
  ASSERT_TRUE(handle);
  Completions completions(handle);
  std::size_t total = 0;
  for (std::size_t i = 0;; ++i) {
    handle->readInBackgroundAndNotify();
    ASSERT_TRUE(completions.waitFor(i + 1));
    if (completions.data(i).empty()) break;
    total += completions.data(i).size();
  }
  EXPECT_EQ(total, contents.size());
  EXPECT_EQ(completions.data(0).size(), platform::kFileHandleBackgroundChunkSize);
}

TEST(FileHandle, APipeNotifiesWhenDataArrivesAndAtItsEnd) {
  Pipe pipe;
  FileHandlePtr handle = FileHandle::fileHandleWithFileDescriptor(pipe.read, true);
  Completions completions(handle);
  handle->readInBackgroundAndNotify();
  platform::RunLoop::main().runFor(0.05);
  EXPECT_TRUE(completions.infos.empty()) << "nothing before data arrives";
  ASSERT_EQ(::write(pipe.write, "hello", 5), 5);
  ASSERT_TRUE(completions.waitFor(1));
  EXPECT_EQ(completions.data(0), bytesOf("hello"));
  handle->readInBackgroundAndNotify();
  pipe.closeWriteEnd();
  ASSERT_TRUE(completions.waitFor(2));
  EXPECT_TRUE(completions.data(1).empty());
  EXPECT_TRUE(completions.infos[1][platform::kFileHandleError].isNil());
}

TEST(FileHandle, OneBackgroundReadAtATimeAndClosingAbandonsIt) {
  Pipe pipe;
  std::weak_ptr<FileHandle> weak;
  {
    FileHandlePtr handle = FileHandle::fileHandleWithFileDescriptor(pipe.read, true);
    weak = handle;
    handle->readInBackgroundAndNotify();
    try {
      handle->readInBackgroundAndNotify();
      ADD_FAILURE() << "a second read while one is pending";
    } catch (const platform::Exception& e) {
      EXPECT_EQ(e.name(), platform::kFileHandleOperationException);
    }
    Completions completions(handle);
    handle->closeFile();
    EXPECT_EQ(handle->fileDescriptor(), -1);
    platform::RunLoop::main().runFor(0.05);
    EXPECT_TRUE(completions.infos.empty());
    EXPECT_THROW(handle->readInBackgroundAndNotify(), platform::Exception);
  }
  EXPECT_TRUE(weak.expired()) << "an abandoned read lets go of the handle";
}

TEST(FileHandle, AFailedBackgroundReadReportsItsErrno) {
  zorvel::test::TempDir dir;
  int fd = ::open((dir / "w").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  FileHandlePtr handle = FileHandle::fileHandleWithFileDescriptor(fd, true);
  Completions completions(handle);
  handle->readInBackgroundAndNotify();
  ASSERT_TRUE(completions.waitFor(1));
  EXPECT_EQ(completions.infos[0][platform::kFileHandleError], Value(EBADF));
  EXPECT_TRUE(completions.data(0).empty());
}

TEST(FileHandle, ReadsAndWritesAtOnce) {
  zorvel::test::TempDir dir;
  platform::ErrorPtr error;
  EXPECT_EQ(FileHandle::fileHandleForReadingAtPath(dir / "missing", &error), nullptr);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), ENOENT);
  EXPECT_EQ(error->userInfo()[platform::kFilePathErrorKey], Value((dir / "missing").string()));

  Pipe pipe;
  FileHandlePtr writer = FileHandle::fileHandleWithFileDescriptor(pipe.write, false);
  FileHandlePtr reader = FileHandle::fileHandleWithFileDescriptor(pipe.read, true);
  ASSERT_TRUE(writer->writeData(bytesOf("abcdef")));
  EXPECT_EQ(reader->readDataOfLength(4), bytesOf("abcd"));
  pipe.closeWriteEnd();
  EXPECT_EQ(reader->readDataToEndOfFile(), bytesOf("ef"));
}

}  // namespace
