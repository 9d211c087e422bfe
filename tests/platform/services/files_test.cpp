#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>

#include "platform/services/files.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

using platform::Bytes;
using platform::Date;
using platform::ErrorPtr;
using platform::FileManager;
using ::testing::ElementsAre;
using zorvel::test::ScopedEnvironment;
using zorvel::test::TempDir;

namespace {

FileManager& files() { return FileManager::defaultManager(); }

Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

void writeText(const std::filesystem::path& path, std::string_view text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string readText(const std::filesystem::path& path) {
  auto contents = files().readFile(path);
  return contents ? std::string(contents->begin(), contents->end()) : "<unreadable>";
}

void expectPosixError(const ErrorPtr& error, int code, const std::filesystem::path& path) {
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), "NSPOSIXErrorDomain");
  EXPECT_EQ(error->code(), code);
  EXPECT_EQ(error->userInfo()["NSFilePath"].asString(), path.string());
  EXPECT_FALSE(error->localizedDescription().empty());
}

}  // namespace

TEST(FileManager, CreatesFolderWithIntermediatesAndAcceptsExistingOne) {
  TempDir dir;
  auto deep = dir / "a" / "b" / "c";
  ErrorPtr error;
  EXPECT_FALSE(files().createDirectory(deep, false, &error));
  expectPosixError(error, ENOENT, deep);

  EXPECT_TRUE(files().createDirectory(deep, true));
  EXPECT_TRUE(files().isDirectory(deep));
  EXPECT_TRUE(files().createDirectory(deep, true));  // already there: fine

  error.reset();
  EXPECT_FALSE(files().createDirectory(deep, false, &error));
  expectPosixError(error, EEXIST, deep);

  // A file in the way of an intermediate folder is an error, not a silent success.
  writeText(dir / "file", "x");
  error.reset();
  EXPECT_FALSE(files().createDirectory(dir / "file" / "sub", true, &error));
  expectPosixError(error, ENOTDIR, dir / "file");
}

TEST(FileManager, MovesCopiesAndRemovesTreesWithoutReplacing) {
  TempDir dir;
  ASSERT_TRUE(files().createDirectory(dir / "tree" / "inner", true));
  writeText(dir / "tree" / "top.txt", "top");
  writeText(dir / "tree" / "inner" / "deep.txt", "deep");

  EXPECT_TRUE(files().copyItem(dir / "tree", dir / "copy"));
  EXPECT_EQ(readText(dir / "copy" / "inner" / "deep.txt"), "deep");
  EXPECT_EQ(readText(dir / "tree" / "top.txt"), "top");

  ErrorPtr error;
  EXPECT_FALSE(files().copyItem(dir / "tree", dir / "copy", &error));
  expectPosixError(error, EEXIST, dir / "copy");

  error.reset();
  EXPECT_FALSE(files().moveItem(dir / "tree", dir / "copy", &error));
  expectPosixError(error, EEXIST, dir / "copy");
  EXPECT_EQ(readText(dir / "copy" / "top.txt"), "top");

  EXPECT_TRUE(files().moveItem(dir / "tree", dir / "moved"));
  EXPECT_FALSE(files().fileExists(dir / "tree"));
  EXPECT_EQ(readText(dir / "moved" / "inner" / "deep.txt"), "deep");

  EXPECT_TRUE(files().moveItem(dir / "moved" / "top.txt", dir / "renamed.txt"));
  EXPECT_EQ(readText(dir / "renamed.txt"), "top");

  EXPECT_TRUE(files().removeItem(dir / "moved"));
  EXPECT_FALSE(files().fileExists(dir / "moved"));
  error.reset();
  EXPECT_FALSE(files().removeItem(dir / "moved", &error));
  expectPosixError(error, ENOENT, dir / "moved");

  error.reset();
  EXPECT_FALSE(files().moveItem(dir / "missing", dir / "elsewhere", &error));
  expectPosixError(error, ENOENT, dir / "missing");
  error.reset();
  EXPECT_FALSE(files().copyItem(dir / "missing", dir / "elsewhere", &error));
  expectPosixError(error, ENOENT, dir / "missing");
}

TEST(FileManager, RemovingLinkLeavesItsTarget) {
  TempDir dir;
  ASSERT_TRUE(files().createDirectory(dir / "target", false));
  writeText(dir / "target" / "kept.txt", "kept");
  std::filesystem::create_directory_symlink(dir / "target", dir / "link");
  EXPECT_TRUE(files().removeItem(dir / "link"));
  EXPECT_EQ(readText(dir / "target" / "kept.txt"), "kept");
}

TEST(FileManager, ListsFolderNamesSortedWithoutDotEntries) {
  TempDir dir;
  writeText(dir / "b.log", "");
  writeText(dir / "a.log", "");
  ASSERT_TRUE(files().createDirectory(dir / "c", false));
  EXPECT_THAT(files().contentsOfDirectory(dir.path()).value(), ElementsAre("a.log", "b.log", "c"));
  EXPECT_THAT(files().contentsOfDirectory(dir / "c").value(), ElementsAre());

  ErrorPtr error;
  EXPECT_FALSE(files().contentsOfDirectory(dir / "a.log", &error).has_value());
  expectPosixError(error, ENOTDIR, dir / "a.log");
}

TEST(FileManager, ReportsAttributesAndSetsModificationDate) {
  TempDir dir;
  auto path = dir / "file.log";
  Date before = Date::now().addingTimeInterval(-5);
  writeText(path, "12345");
  auto attributes = files().attributesOfItem(path);
  ASSERT_TRUE(attributes.has_value());
  EXPECT_EQ(attributes->type, platform::FileType::Regular);
  EXPECT_EQ(attributes->size, 5u);
  EXPECT_GE(attributes->creationDate, before);
  EXPECT_LE(attributes->creationDate, Date::now().addingTimeInterval(5));
  EXPECT_GE(attributes->modificationDate, before);

  Date past = Date(500000000.25);  // 2016, with a fraction of a second
  ASSERT_TRUE(files().setModificationDate(path, past));
  attributes = files().attributesOfItem(path);
  ASSERT_TRUE(attributes.has_value());
  EXPECT_NEAR(attributes->modificationDate.timeIntervalSinceReferenceDate(), 500000000.25, 1e-6);
  // The creation date is not the modification date that was just set.
  EXPECT_GT(attributes->creationDate, past);

  EXPECT_EQ(files().attributesOfItem(dir.path())->type, platform::FileType::Directory);
  ErrorPtr error;
  EXPECT_FALSE(files().attributesOfItem(dir / "missing", &error).has_value());
  expectPosixError(error, ENOENT, dir / "missing");
}

TEST(FileManager, ExtendedAttributesRoundTripInUserNamespace) {
  TempDir dir;
  auto path = dir / "file.log";
  writeText(path, "log");
  // Probe whether the temporary file system takes user attributes at all.
  if (setxattr(path.c_str(), "user.probe", "", 0, 0) != 0) {
    if (errno == ENOTSUP) GTEST_SKIP() << "temporary file system has no user extended attributes";
    FAIL() << "setxattr probe failed: " << std::strerror(errno);
  }
  removexattr(path.c_str(), "user.probe");

  const std::string name = "zorvel.log.archived";
  EXPECT_FALSE(files().hasExtendedAttribute(path, name));
  ErrorPtr error;
  EXPECT_FALSE(files().extendedAttribute(path, name, &error).has_value());
  expectPosixError(error, ENODATA, path);

  ASSERT_TRUE(files().setExtendedAttribute(path, name, Bytes{}));  // an empty value is a mark
  EXPECT_TRUE(files().hasExtendedAttribute(path, name));
  EXPECT_EQ(files().extendedAttribute(path, name), Bytes{});
  // Stored under "user." so other tools see it there.
  EXPECT_EQ(getxattr(path.c_str(), ("user." + name).c_str(), nullptr, 0), 0);

  Bytes value = bytes(std::string("binary\0value", 12));
  ASSERT_TRUE(files().setExtendedAttribute(path, "other", value));
  EXPECT_EQ(files().extendedAttribute(path, "other"), value);
  EXPECT_THAT(files().extendedAttributeNames(path).value(), ::testing::UnorderedElementsAre(name, "other"));

  ASSERT_TRUE(files().removeExtendedAttribute(path, name));
  EXPECT_FALSE(files().hasExtendedAttribute(path, name));
  error.reset();
  EXPECT_FALSE(files().removeExtendedAttribute(path, name, &error));
  expectPosixError(error, ENODATA, path);
  EXPECT_THAT(files().extendedAttributeNames(path).value(), ElementsAre("other"));
}

TEST(FileManager, WritesAtomicallyAndReadsBack) {
  TempDir dir;
  auto path = dir / "data.bin";
  Bytes first = bytes(std::string("first\0bytes", 11));
  ASSERT_TRUE(files().writeFileAtomically(path, first));
  EXPECT_EQ(files().readFile(path), first);

  chmod(path.c_str(), 0600);
  Bytes second(200000, 0x5a);
  ASSERT_TRUE(files().writeFileAtomically(path, second));
  EXPECT_EQ(files().readFile(path), second);
  EXPECT_EQ(files().attributesOfItem(path)->permissions, 0600u);
  // No temporary file is left behind.
  EXPECT_THAT(files().contentsOfDirectory(dir.path()).value(), ElementsAre("data.bin"));

  ASSERT_TRUE(files().writeFileAtomically(path, Bytes{}));
  EXPECT_EQ(files().readFile(path), Bytes{});

  ErrorPtr error;
  EXPECT_FALSE(files().writeFileAtomically(dir / "missing" / "x.bin", first, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), ENOENT);
  error.reset();
  EXPECT_FALSE(files().readFile(dir / "missing.bin", &error).has_value());
  expectPosixError(error, ENOENT, dir / "missing.bin");
  // Writing over a folder fails and leaves the folder alone.
  ASSERT_TRUE(files().createDirectory(dir / "folder", false));
  EXPECT_FALSE(files().writeFileAtomically(dir / "folder", first));
  EXPECT_TRUE(files().isDirectory(dir / "folder"));
  EXPECT_THAT(files().contentsOfDirectory(dir.path()).value(), ElementsAre("data.bin", "folder"));
}

TEST(FileManager, UserFoldersFollowXdgVariables) {
  ScopedEnvironment home("HOME", "/home/someone");
  {
    ScopedEnvironment data("XDG_DATA_HOME", nullptr);
    ScopedEnvironment cache("XDG_CACHE_HOME", nullptr);
    ScopedEnvironment state("XDG_STATE_HOME", nullptr);
    EXPECT_EQ(files().applicationSupportDirectory(), "/home/someone/.local/share");
    EXPECT_EQ(files().cachesDirectory(), "/home/someone/.cache");
    EXPECT_EQ(files().stateDirectory(), "/home/someone/.local/state");
  }
  {
    ScopedEnvironment data("XDG_DATA_HOME", "/data/home");
    ScopedEnvironment cache("XDG_CACHE_HOME", "/cache/home");
    ScopedEnvironment state("XDG_STATE_HOME", "/state/home");
    EXPECT_EQ(files().applicationSupportDirectory(), "/data/home");
    EXPECT_EQ(files().cachesDirectory(), "/cache/home");
    EXPECT_EQ(files().stateDirectory(), "/state/home");
  }
  {
    // Relative values are not valid base directories and are ignored.
    ScopedEnvironment data("XDG_DATA_HOME", "relative/data");
    ScopedEnvironment state("XDG_STATE_HOME", "relative/state");
    EXPECT_EQ(files().applicationSupportDirectory(), "/home/someone/.local/share");
    EXPECT_EQ(files().stateDirectory(), "/home/someone/.local/state");
  }
  {
    ScopedEnvironment tmp("TMPDIR", "/var/tmp");
    EXPECT_EQ(files().temporaryDirectory(), "/var/tmp");
  }
  {
    ScopedEnvironment tmp("TMPDIR", nullptr);
    EXPECT_EQ(files().temporaryDirectory(), "/tmp");
  }
}
