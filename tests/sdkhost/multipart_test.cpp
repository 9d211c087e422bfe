#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/services/files.h"
#include "sdkhost/HBRMultipartMimeStreamEncoder.h"
#include "support/temp_dir.h"

using namespace platform;
using zorvel::test::TempDir;

namespace {

std::string encode(const std::function<void(HBRMultipartMimeStreamEncoder&)>& parts, std::uint64_t* length = nullptr) {
  auto stream = OutputStream::toMemory();
  auto encoder = HBRMultipartMimeStreamEncoder::encoderWithStream(stream, "BOUNDARY");
  encoder->encode([&] { parts(*encoder); });
  if (length) *length = encoder->length();
  const Bytes& bytes = stream->dataWrittenToMemory();
  EXPECT_EQ(encoder->length(), bytes.size());
  EXPECT_EQ(stream->streamStatus(), StreamStatus::Closed);
  return std::string(bytes.begin(), bytes.end());
}

std::string captured(const std::function<void()>& block) {
  testing::internal::CaptureStderr();
  block();
  return testing::internal::GetCapturedStderr();
}

}  // namespace

TEST(HBRMultipartMimeStreamEncoder, EmptyBodyIsHeaderAndFooter) {
  std::uint64_t length = 0;
  EXPECT_EQ(encode([](auto&) {}, &length), "MIME-Version: 1.0\r\n--BOUNDARY--\r\n");
  EXPECT_EQ(length, 33u);
}

TEST(HBRMultipartMimeStreamEncoder, PartsAreWrittenByteForByte) {
  TempDir dir;
  std::ofstream(dir / "log.txt", std::ios::binary) << "line\0two";
  std::string body = encode([&](HBRMultipartMimeStreamEncoder& e) {
    e.addValue(Value(5), "count");
    e.addValue(Value("mac"), "platform");
    e.addFileData(Bytes{'P', 'N', 'G'}, "icon.png", "image/png", "icon");
    e.addFileData(Bytes{0x00, 0xff}, "raw.bin", std::nullopt, "raw");
    e.addFile(dir / "log.txt", "log.txt", "text/plain", "log");
  });
  EXPECT_EQ(body,
            "MIME-Version: 1.0\r\n"
            "--BOUNDARY\r\nContent-Disposition: form-data; name=\"count\"\r\nContent-Type: text/plain\r\n\r\n5\r\n"
            "--BOUNDARY\r\nContent-Disposition: form-data; name=\"platform\"\r\nContent-Type: text/plain\r\n\r\nmac\r\n"
            "--BOUNDARY\r\nContent-Disposition: form-data; name=\"icon\"; filename=\"icon.png\"\r\n"
            "Content-Type: image/png\r\nContent-Transfer-Encoding: binary\r\n\r\nPNG\r\n"
            "--BOUNDARY\r\nContent-Disposition: form-data; name=\"raw\"; filename=\"raw.bin\"\r\n"
            "Content-Type: application/octet-stream\r\n\r\n" +
                std::string("\x00\xff", 2) +
                "\r\n"
                "--BOUNDARY\r\nContent-Disposition: form-data; name=\"log\"; filename=\"log.txt\"\r\n"
                "Content-Type: text/plain\r\nContent-Transfer-Encoding: binary\r\n\r\nline\r\n"
                "--BOUNDARY--\r\n");
}

TEST(HBRMultipartMimeStreamEncoder, BadPartsAreSkippedWithALogLine) {
  TempDir dir;
  std::ofstream(dir / "empty");
  struct Case {
    const char* expectedLog;
    std::function<void(HBRMultipartMimeStreamEncoder&)> add;
  } cases[] = {
      {"[Harbor] Unable to MIME encode data with zero length (field)",
       [](auto& e) { e.addFileData(Bytes{}, "f", std::nullopt, "field"); }},
      {"[Harbor] name () or fieldname (f) is invalid", [](auto& e) { e.addFileData(Bytes{1}, "f", std::nullopt, ""); }},
      {"[Harbor] name (field) or fieldname () is invalid",
       [](auto& e) { e.addFileData(Bytes{1}, "", std::nullopt, "field"); }},
      {"[Harbor] name (field) or value ((null)) is invalid", [](auto& e) { e.addValue(Value(), "field"); }},
      {"[Harbor] name (field) or value (<null>) is invalid", [](auto& e) { e.addValue(Value::null(), "field"); }},
      {"[Harbor] name () or value (v) is invalid", [](auto& e) { e.addValue(Value("v"), ""); }},
      {"[Harbor] Unable to MIME encode data with zero length (missing)",
       [&](auto& e) { e.addFile(dir / "none", "none", std::nullopt, "missing"); }},
      {"[Harbor] Unable to MIME encode data with zero length (empty)",
       [&](auto& e) { e.addFile(dir / "empty", "empty", std::nullopt, "empty"); }},
  };
  for (const Case& c : cases) {
    std::string body;
    std::string log = captured([&] { body = encode(c.add); });
    EXPECT_EQ(body, "MIME-Version: 1.0\r\n--BOUNDARY--\r\n") << c.expectedLog;
    EXPECT_NE(log.find(c.expectedLog), std::string::npos) << log;
  }
}

TEST(HBRMultipartMimeStreamEncoder, LargeFilesAreStreamedIntoAFileBody) {
  TempDir dir;
  std::string content(5 * 1024 * 1024 + 3, 'x');
  for (std::size_t i = 0; i < content.size(); i += 4096) content[i] = static_cast<char>('a' + (i / 4096) % 26);
  std::ofstream(dir / "big.bin", std::ios::binary) << content;
  auto stream = OutputStream::toFileAtPath((dir / "package.multipart").string(), false);
  auto encoder = HBRMultipartMimeStreamEncoder::encoderWithStream(stream);
  EXPECT_EQ(encoder->boundary().size(), 36u);
  encoder->encode([&] { encoder->addFile(dir / "big.bin", "big.bin", std::nullopt, "file"); });
  std::ifstream in(dir / "package.multipart", std::ios::binary);
  std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(encoder->length(), written.size());
  EXPECT_EQ(encoder->contentLengthHTTPHeaderValue(), std::to_string(written.size()));
  std::string head = "MIME-Version: 1.0\r\n--" + encoder->boundary() +
                     "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"big.bin\"\r\n"
                     "Content-Type: application/octet-stream\r\n\r\n";
  ASSERT_GT(written.size(), head.size() + content.size());
  EXPECT_EQ(written.substr(0, head.size()), head);
  EXPECT_TRUE(written.substr(head.size(), content.size()) == content);
  EXPECT_EQ(written.substr(head.size() + content.size()), "\r\n--" + encoder->boundary() + "--\r\n");
}

TEST(HBRMultipartMimeStreamEncoder, ShortWritesAreReportedAndNotCounted) {
  auto stream = OutputStream::toFileAtPath("/dev/full", false);
  auto encoder = HBRMultipartMimeStreamEncoder::encoderWithStream(stream, "B");
  std::string log = captured([&] {
    encoder->encode([&] {
      encoder->writeData(Bytes{1, 2, 3});
      EXPECT_FALSE(encoder->writeBytes(reinterpret_cast<const std::uint8_t*>("x"), 1));
    });
  });
  EXPECT_EQ(encoder->length(), 0u);
  EXPECT_NE(log.find("[Harbor] Failed to write data to stream"), std::string::npos);
  EXPECT_NE(log.find("[Harbor] Failed to write bytes to stream"), std::string::npos);
}

TEST(HBRMultipartMimeStreamEncoder, PopulatedRequestCarriesTypeLengthAndBody) {
  URLRequest request("https://127.0.0.1/upload");
  request.setHTTPMethod("POST");
  HBRMultipartMimeStreamEncoder::populateRequest(request,
                                                 [](HBRMultipartMimeStreamEncoder& e) { e.addValue(Value("v"), "k"); });
  auto type = request.valueForHTTPHeaderField("Content-Type");
  ASSERT_TRUE(type);
  ASSERT_EQ(type->rfind("multipart/form-data; boundary=", 0), 0u);
  std::string boundary = type->substr(30);
  EXPECT_EQ(boundary.size(), 36u);
  ASSERT_TRUE(request.HTTPBody());
  EXPECT_EQ(request.valueForHTTPHeaderField("Content-Length"), std::to_string(request.HTTPBody()->size()));
  std::string body(request.HTTPBody()->begin(), request.HTTPBody()->end());
  EXPECT_EQ(body, "MIME-Version: 1.0\r\n--" + boundary +
                      "\r\nContent-Disposition: form-data; name=\"k\"\r\nContent-Type: text/plain\r\n\r\nv\r\n--" +
                      boundary + "--\r\n");
  EXPECT_EQ(HBRMultipartMimeStreamEncoder::contentTypeHTTPHeaderValueWithBoundary("X"),
            "multipart/form-data; boundary=X");
}
