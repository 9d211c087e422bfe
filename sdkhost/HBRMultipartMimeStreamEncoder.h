#pragma once

// Writes a multipart/form-data body to an output stream part by part and counts the bytes, so
// that the caller can set the request's length. Layout, byte for byte (CR LF as "\r\n", all text
// UTF-8):
//
//   "MIME-Version: 1.0\r\n"                                        (then the first part at once)
//   field: "--<boundary>\r\nContent-Disposition: form-data; name=\"<field>\"\r\n"
//          "Content-Type: text/plain\r\n\r\n" "<value's description>\r\n"
//   file:  "--<boundary>\r\nContent-Disposition: form-data; name=\"<field>\"; filename=\"<file>\"\r\n"
//          with a MIME type "Content-Type: <type>\r\nContent-Transfer-Encoding: binary\r\n\r\n",
//          without one "Content-Type: application/octet-stream\r\n\r\n"; the bytes; "\r\n"
//   "--<boundary>--\r\n"
//
// A part with bad input (no bytes, an empty field or file name, a nil or null value) is skipped
// with a log line ("[Harbor] ...") and the body stays valid. File parts are copied from the file
// piece by piece, never loaded whole; a file that cannot be opened (or is empty) is skipped as a
// part of zero length.
//
// Threads: one encoder belongs to one thread at a time; it holds no locks.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/net/url_request.h"
#include "platform/runtime/object.h"
#include "platform/runtime/value.h"
#include "platform/services/streams.h"

class HBRMultipartMimeStreamEncoder : public platform::Object {
  ZORVEL_CLASS(HBRMultipartMimeStreamEncoder, platform::Object)

 public:
  // A new boundary: an upper-case UUID with dashes.
  static std::string generateBoundary();
  // An encoder on the stream; no boundary: a generated one.
  static std::shared_ptr<HBRMultipartMimeStreamEncoder> encoderWithStream(
      std::shared_ptr<platform::OutputStream> stream, std::optional<std::string> boundary = {});

  const std::shared_ptr<platform::OutputStream>& outputStream() const { return outputStream_; }
  const std::string& boundary() const { return boundary_; }
  // Bytes written since the current encoding began.
  std::uint64_t length() const { return length_; }

  // Begins (length 0, stream opened, header written), runs the block (which adds parts), ends
  // (footer written, stream closed).
  void encode(const std::function<void()>& block);

  void addValue(const platform::Value& value, const std::string& fieldName);
  void addFileData(const platform::Bytes& data, const std::string& fileName, const std::optional<std::string>& mimeType,
                   const std::string& fieldName);
  void addFile(const std::filesystem::path& file, const std::string& fileName,
               const std::optional<std::string>& mimeType, const std::string& fieldName);

  // Raw writes that add what was written to length(). writeData stops at a short write (logged).
  void writeData(const platform::Bytes& data);
  bool writeBytes(const std::uint8_t* bytes, std::size_t length);

  std::string contentTypeHTTPHeaderValue() const { return contentTypeHTTPHeaderValueWithBoundary(boundary_); }
  static std::string contentTypeHTTPHeaderValueWithBoundary(const std::string& boundary);
  std::string contentLengthHTTPHeaderValue() const { return std::to_string(length_); }

  // Encodes in memory with a new boundary, handing the encoder to the block, and sets the
  // request's "Content-Type" and "Content-Length" headers and its body.
  static void populateRequest(platform::URLRequest& request,
                              const std::function<void(HBRMultipartMimeStreamEncoder& encoder)>& block);

 private:
  HBRMultipartMimeStreamEncoder() = default;
  bool writeText(const std::string& text) {
    return writeBytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  }
  void writeFileHeader(const std::string& fileName, const std::optional<std::string>& mimeType,
                       const std::string& fieldName);

  std::shared_ptr<platform::OutputStream> outputStream_;
  std::string boundary_;
  std::uint64_t length_ = 0;
};
