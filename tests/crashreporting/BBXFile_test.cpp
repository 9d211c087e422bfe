// The record-file writer and reader: exact bytes of lines, escaping, buffering, failures, and a
// write from inside a SIGSEGV handler.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "crashreporting/BBXFile.h"
#include "tests/support/temp_dir.h"

namespace {

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Opens `path`, runs `body` with the file, closes; answers the file's bytes.
template <class Body>
std::string writeFile(const std::string& path, bool buffered, Body body) {
  BBXFile file;
  EXPECT_TRUE(BBXFileInitWithPathMode(&file, path.c_str(), false, buffered));
  body(&file);
  EXPECT_TRUE(BBXFileClose(&file));
  return readAll(path);
}

TEST(BBXFileWriter, NestedCollectionsPutCommasOnlyBetweenSiblings) {
  zorvel::test::TempDir dir;
  const std::string text = writeFile(dir.file("nested"), false, [](BBXFile* f) {
    ASSERT_TRUE(BBXFileWriteSectionStart(f, "s"));
    ASSERT_TRUE(BBXFileWriteHashStart(f));
    ASSERT_TRUE(BBXFileWriteHashEntryUint64(f, "a", 1));
    ASSERT_TRUE(BBXFileWriteHashKey(f, "b"));
    ASSERT_TRUE(BBXFileWriteArrayStart(f));
    ASSERT_TRUE(BBXFileWriteArrayEntryUint64(f, 1));
    ASSERT_TRUE(BBXFileWriteArrayEntryUint64(f, 2));
    ASSERT_TRUE(BBXFileWriteArrayEnd(f));
    ASSERT_TRUE(BBXFileWriteHashKey(f, "c"));
    ASSERT_TRUE(BBXFileWriteHashStart(f));
    ASSERT_TRUE(BBXFileWriteHashEntryBoolean(f, "d", true));
    ASSERT_TRUE(BBXFileWriteHashEnd(f));
    ASSERT_TRUE(BBXFileWriteHashEnd(f));
    ASSERT_TRUE(BBXFileWriteSectionEnd(f));
    // A second line starts without a comma.
    ASSERT_TRUE(BBXFileWriteSectionStart(f, "t"));
    ASSERT_TRUE(BBXFileWriteArrayStart(f));
    ASSERT_TRUE(BBXFileWriteArrayEnd(f));
    ASSERT_TRUE(BBXFileWriteSectionEnd(f));
  });
  EXPECT_EQ(text, "{\"s\":{\"a\":1,\"b\":[1,2],\"c\":{\"d\":true}}}\n{\"t\":[]}\n");
}

TEST(BBXFileWriter, ValueWritersProduceExactText) {
  struct Case {
    const char* label;
    void (*write)(BBXFile*);
    const char* expected;
  };
  const Case cases[] = {
      {"key of 11 bytes", [](BBXFile* f) { ASSERT_TRUE(BBXFileWriteHashKey(f, "abcdefghijk")); }, "\"abcdefghijk\":"},
      {"key of 12 bytes", [](BBXFile* f) { ASSERT_TRUE(BBXFileWriteHashKey(f, "abcdefghijkl")); }, "\"abcdefghijkl\":"},
      {"hex-encoded abc", [](BBXFile* f) { ASSERT_TRUE(BBXFileWriteHashEntryHexEncodedString(f, "k", "abc")); },
       "\"k\":\"616263\""},
      {"hex of 40 bytes crosses the chunk",
       [](BBXFile* f) {
         ASSERT_TRUE(BBXFileWriteArrayEntryHexEncodedString(f, "0123456789012345678901234567890123456789"));
       },
       "\"30313233343536373839303132333435363738393031323334353637383930313233343536373839\""},
      {"null string", [](BBXFile* f) { ASSERT_TRUE(BBXFileWriteHashEntryString(f, "k", nullptr)); }, "\"k\":null"},
      {"null hex string", [](BBXFile* f) { ASSERT_TRUE(BBXFileWriteHashEntryHexEncodedString(f, "k", nullptr)); },
       "\"k\":null"},
      {"absent string unless empty",
       [](BBXFile* f) { ASSERT_TRUE(BBXFileWriteHashEntryStringUnlessNilOrEmpty(f, "k", std::nullopt)); }, ""},
      {"empty string unless empty",
       [](BBXFile* f) { ASSERT_TRUE(BBXFileWriteHashEntryStringUnlessNilOrEmpty(f, "k", "")); }, ""},
      {"signed negative", [](BBXFile* f) { ASSERT_TRUE(BBXFileWriteHashEntryInt64(f, "k", INT64_MIN)); },
       "\"k\":-9223372036854775808"},
      {"unsigned maximum", [](BBXFile* f) { ASSERT_TRUE(BBXFileWriteHashEntryUint64(f, "k", UINT64_MAX)); },
       "\"k\":18446744073709551615"},
      {"hexadecimal number", [](BBXFile* f) { ASSERT_TRUE(BBXFileWriteUInt64(f, 0xdeadbeef, true)); }, "deadbeef"},
      {"entries in a hash",
       [](BBXFile* f) {
         ASSERT_TRUE(BBXFileWriteHashEntryBoolean(f, "a", false));
         ASSERT_TRUE(BBXFileWriteHashEntryString(f, "b", "x"));
       },
       "\"a\":false,\"b\":\"x\""},
  };
  zorvel::test::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(writeFile(dir.file("value"), false, c.write), c.expected);
  }
}

// Text that is not hex-encoded (thread and queue names, image paths) must not break its line.
TEST(BBXFileWriter, PlainStringsAreEscapedAndReadBackUnchanged) {
  struct Case {
    const char* label;
    std::string text;
  };
  const Case cases[] = {
      {"double quote", "com.\"queue\""},
      {"newline", "thread\nname"},
      {"backslash", "C:\\path\\"},
      {"control characters", std::string("a\x01\x1f\x7f", 4) + "b"},
      {"long text with a quote at the end", std::string(200, 'x') + "\""},
      {"short plain", "main"},
  };
  zorvel::test::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string path = dir.file("names");
    const std::string text = writeFile(path, true, [&](BBXFile* f) {
      ASSERT_TRUE(BBXFileWriteSectionStart(f, "thread_names"));
      ASSERT_TRUE(BBXFileWriteArrayStart(f));
      ASSERT_TRUE(BBXFileWriteArrayEntryString(f, c.text.c_str()));
      ASSERT_TRUE(BBXFileWriteArrayEntryString(f, "after"));
      ASSERT_TRUE(BBXFileWriteArrayEnd(f));
      ASSERT_TRUE(BBXFileWriteSectionEnd(f));
      ASSERT_TRUE(BBXFileWriteSectionStart(f, "load"));
      ASSERT_TRUE(BBXFileWriteHashStart(f));
      ASSERT_TRUE(BBXFileWriteHashEntryString(f, "path", c.text.c_str()));
      ASSERT_TRUE(BBXFileWriteHashEnd(f));
      ASSERT_TRUE(BBXFileWriteSectionEnd(f));
    });
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
    const auto sections = BBXFileReadSections(path.c_str(), false);
    ASSERT_TRUE(sections);
    ASSERT_EQ(sections->size(), 2u) << text;
    EXPECT_EQ((*sections)[0]["thread_names"][0], c.text);
    EXPECT_EQ((*sections)[0]["thread_names"][1], "after");
    EXPECT_EQ((*sections)[1]["load"]["path"], c.text);
  }
}

TEST(BBXFileWriter, BufferedWritesReachTheFileInPiecesOf999) {
  zorvel::test::TempDir dir;
  // A datagram socket keeps the boundaries of every write(2).
  int sockets[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sockets), 0);
  int size = 1 << 20;
  setsockopt(sockets[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  BBXFile file;
  ASSERT_TRUE(BBXFileInitWithPathMode(&file, dir.file("buffered").c_str(), false, true));
  ASSERT_EQ(dup2(sockets[0], file.fd), file.fd);
  const std::string bytes(2500, 'q');
  ASSERT_TRUE(BBXFileWriteWithLength(&file, bytes.data(), bytes.size()));
  std::uint64_t offset = 0;
  ASSERT_TRUE(BBXFileCloseWithOffset(&file, &offset));
  EXPECT_EQ(offset, 2500u);
  EXPECT_EQ(file.fd, -1);
  close(sockets[0]);
  std::vector<ssize_t> pieces;
  char buffer[4096];
  for (ssize_t got; (got = recv(sockets[1], buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) pieces.push_back(got);
  close(sockets[1]);
  EXPECT_EQ(pieces, (std::vector<ssize_t>{999, 999, 502}));
}

TEST(BBXFileWriter, AppendingCountsTheExistingBytes) {
  zorvel::test::TempDir dir;
  const std::string path = dir.file("append");
  { std::ofstream(path) << "12345"; }
  BBXFile file;
  ASSERT_TRUE(BBXFileInit(&file, path.c_str(), false));
  EXPECT_EQ(file.bytesWritten, 5u);
  ASSERT_TRUE(BBXFileWriteWithLength(&file, "67", 2));
  std::uint64_t offset = 0;
  ASSERT_TRUE(BBXFileCloseWithOffset(&file, &offset));
  EXPECT_EQ(offset, 7u);
  EXPECT_EQ(readAll(path), "1234567");
}

TEST(BBXFileWriter, FailuresAreReported) {
  zorvel::test::TempDir dir;
  BBXFile file;
  ASSERT_TRUE(BBXFileInitWithPathMode(&file, dir.file("f").c_str(), false, false));
  EXPECT_FALSE(BBXFileWriteWithLength(&file, "x", 0)) << "a zero-length write";
  EXPECT_FALSE(BBXFileLoopWithWriteBlock("abc", 3, [](const void*, std::size_t) -> ssize_t { return 4; }))
      << "a write answering more than asked";
  EXPECT_FALSE(BBXFileLoopWithWriteBlock("abc", 3, [](const void*, std::size_t) -> ssize_t { return 0; }))
      << "a write answering 0";
  int calls = 0;
  EXPECT_TRUE(BBXFileLoopWithWriteBlock("abc", 3, [&](const void*, std::size_t) -> ssize_t { return ++calls, 1; }))
      << "short writes advance";
  EXPECT_EQ(calls, 3);
  ASSERT_TRUE(BBXFileClose(&file));
  EXPECT_FALSE(BBXFileClose(&file)) << "a closed file";
  EXPECT_FALSE(BBXFileClose(reinterpret_cast<BBXFile*>(16))) << "an absent file pointer";
  EXPECT_FALSE(BBXFileWriteHashEntryUint64(&file, "k", 1)) << "a write to a closed file";
  EXPECT_FALSE(BBXFileInit(&file, dir.file("missing/x").c_str(), false)) << "a folder that does not exist";
}

TEST(BBXFileReader, KeepsCompleteLinesOnly) {
  zorvel::test::TempDir dir;
  const std::string path = dir.file("cut");
  { std::ofstream(path) << "{\"a\":[1]}\n\n{\"b\":{\"c\":2}}\n{\"d\":{\"e\":\"tru"; }
  auto sections = BBXFileReadSections(path.c_str(), false);
  ASSERT_TRUE(sections);
  ASSERT_EQ(sections->size(), 2u);
  EXPECT_EQ((*sections)[1]["b"]["c"], 2);

  auto mapped =
      BBXFileReadSections(path.c_str(), false, [](const nlohmann::json& line) -> std::optional<nlohmann::json> {
        if (!line.contains("b")) return std::nullopt;
        return line["b"];
      });
  ASSERT_TRUE(mapped);
  ASSERT_EQ(mapped->size(), 1u);
  EXPECT_EQ((*mapped)[0]["c"], 2);
}

TEST(BBXFileReader, MissingOrAbsentPathsAnswerNothing) {
  zorvel::test::TempDir dir;
  const std::string missing = dir.file("missing");
  EXPECT_FALSE(BBXFileReadSections(missing.c_str(), true));
  EXPECT_FALSE(std::filesystem::exists(missing));
  EXPECT_FALSE(BBXFileReadSections(reinterpret_cast<const char*>(8), true));
  // A folder cannot be read as a file; with the flag it goes away.
  const std::string folder = dir.file("folder");
  std::filesystem::create_directory(folder);
  EXPECT_FALSE(BBXFileReadSections(folder.c_str(), true));
}

// --- From inside a signal handler --------------------------------------------------------------------

const char* gHandlerPath = nullptr;

void writeRecordFromHandler(int signal, siginfo_t* info, void*) {
  BBXFile file;
  bool ok = BBXFileInit(&file, gHandlerPath, false);
  ok = ok && BBXFileWriteSectionStart(&file, "signal") && BBXFileWriteHashStart(&file) &&
       BBXFileWriteHashEntryUint64(&file, "number", static_cast<std::uint64_t>(signal)) &&
       BBXFileWriteHashEntryUint64(&file, "address", reinterpret_cast<std::uintptr_t>(info->si_addr)) &&
       BBXFileWriteHashEntryString(&file, "name", "SIGSEGV") && BBXFileWriteHashEnd(&file) &&
       BBXFileWriteSectionEnd(&file);
  ok = BBXFileClose(&file) && ok;
  _exit(ok ? 42 : 43);
}

TEST(BBXFileWriter, WritesACompleteFileFromASigsegvHandler) {
  zorvel::test::TempDir dir;
  const std::string path = dir.file("signal.bbxrecord");
  void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(page, MAP_FAILED);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    gHandlerPath = path.c_str();
    static char alternateStack[1 << 16];
    stack_t stack{};
    stack.ss_sp = alternateStack;
    stack.ss_size = sizeof alternateStack;
    sigaltstack(&stack, nullptr);
    struct sigaction action {};
    action.sa_sigaction = writeRecordFromHandler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, nullptr);
    *static_cast<volatile char*>(page) = 1;
    _exit(44);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  munmap(page, 4096);
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
  ASSERT_EQ(WEXITSTATUS(status), 42);
  const auto sections = BBXFileReadSections(path.c_str(), false);
  ASSERT_TRUE(sections);
  ASSERT_EQ(sections->size(), 1u);
  EXPECT_EQ((*sections)[0]["signal"]["number"], SIGSEGV);
  EXPECT_EQ((*sections)[0]["signal"]["address"], reinterpret_cast<std::uintptr_t>(page));
  EXPECT_EQ((*sections)[0]["signal"]["name"], "SIGSEGV");
}

}  // namespace
