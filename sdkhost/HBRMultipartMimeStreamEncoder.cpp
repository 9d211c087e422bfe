#include "sdkhost/HBRMultipartMimeStreamEncoder.h"

#include <vector>

#include "platform/runtime/format.h"
#include "platform/system/console.h"
#include "sdkhost/HBRHost.h"

using namespace platform;

std::string HBRMultipartMimeStreamEncoder::generateBoundary() { return HBRGenerateUUID(); }

std::shared_ptr<HBRMultipartMimeStreamEncoder> HBRMultipartMimeStreamEncoder::encoderWithStream(
    std::shared_ptr<OutputStream> stream, std::optional<std::string> boundary) {
  auto encoder = platform::make<HBRMultipartMimeStreamEncoder>();
  encoder->outputStream_ = std::move(stream);
  encoder->boundary_ = boundary ? std::move(*boundary) : generateBoundary();
  return encoder;
}

std::string HBRMultipartMimeStreamEncoder::contentTypeHTTPHeaderValueWithBoundary(const std::string& boundary) {
  return "multipart/form-data; boundary=" + boundary;
}

void HBRMultipartMimeStreamEncoder::encode(const std::function<void()>& block) {
  length_ = 0;
  outputStream_->open();
  writeText("MIME-Version: 1.0\r\n");
  if (block) block();
  writeText("--" + boundary_ + "--\r\n");
  outputStream_->close();
}

void HBRMultipartMimeStreamEncoder::addValue(const Value& value, const std::string& fieldName) {
  if (value.isNil() || value.isNull() || fieldName.empty()) {
    consoleLog(format("[Harbor] name (%@) or value (%@) is invalid", fieldName, value));
    return;
  }
  writeText("--" + boundary_ + "\r\nContent-Disposition: form-data; name=\"" + fieldName + "\"\r\n");
  writeText("Content-Type: text/plain\r\n\r\n");
  writeText(value.description() + "\r\n");
}

void HBRMultipartMimeStreamEncoder::writeFileHeader(const std::string& fileName,
                                                    const std::optional<std::string>& mimeType,
                                                    const std::string& fieldName) {
  writeText("--" + boundary_ + "\r\nContent-Disposition: form-data; name=\"" + fieldName + "\"; filename=\"" +
            fileName + "\"\r\n");
  if (mimeType)
    writeText("Content-Type: " + *mimeType + "\r\nContent-Transfer-Encoding: binary\r\n\r\n");
  else
    writeText("Content-Type: application/octet-stream\r\n\r\n");
}

namespace {

// Whether a file part can be written; logs why not.
bool acceptFilePart(bool hasBytes, const std::string& fileName, const std::string& fieldName) {
  if (!hasBytes) {
    consoleLog(format("[Harbor] Unable to MIME encode data with zero length (%@)", fieldName));
    return false;
  }
  if (fieldName.empty() || fileName.empty()) {
    consoleLog(format("[Harbor] name (%@) or fieldname (%@) is invalid", fieldName, fileName));
    return false;
  }
  return true;
}

}  // namespace

void HBRMultipartMimeStreamEncoder::addFileData(const Bytes& data, const std::string& fileName,
                                                const std::optional<std::string>& mimeType,
                                                const std::string& fieldName) {
  if (!acceptFilePart(!data.empty(), fileName, fieldName)) return;
  writeFileHeader(fileName, mimeType, fieldName);
  writeData(data);
  writeText("\r\n");
}

void HBRMultipartMimeStreamEncoder::addFile(const std::filesystem::path& file, const std::string& fileName,
                                            const std::optional<std::string>& mimeType, const std::string& fieldName) {
  auto input = InputStream::withFileAtPath(file.string());
  input->open();
  std::vector<std::uint8_t> buffer(64 * 1024);
  long first = input->read(buffer.data(), buffer.size());  // unreadable or empty: no data
  if (!acceptFilePart(first > 0, fileName, fieldName)) return;
  writeFileHeader(fileName, mimeType, fieldName);
  for (long n = first; n > 0; n = input->read(buffer.data(), buffer.size())) {
    if (!writeBytes(buffer.data(), static_cast<std::size_t>(n))) break;
  }
  if (input->streamStatus() == StreamStatus::Error)
    consoleLog(format("[Harbor] Failed to read file %@ while encoding it", file.string()));
  writeText("\r\n");
}

void HBRMultipartMimeStreamEncoder::writeData(const Bytes& data) {
  HBREnumerateByteRangesInData(data, [&](const std::uint8_t* bytes, std::size_t, std::size_t length, bool& stop) {
    long written = outputStream_->write(bytes, length);
    if (written < 0 || static_cast<std::size_t>(written) != length) {
      consoleLog("[Harbor] Failed to write data to stream");
      stop = true;
      return;
    }
    length_ += length;
  });
}

bool HBRMultipartMimeStreamEncoder::writeBytes(const std::uint8_t* bytes, std::size_t length) {
  long written = outputStream_->write(bytes, length);
  if (written < 0 || static_cast<std::size_t>(written) != length) {
    consoleLog("[Harbor] Failed to write bytes to stream");
    return false;
  }
  length_ += length;
  return true;
}

void HBRMultipartMimeStreamEncoder::populateRequest(URLRequest& request,
                                                    const std::function<void(HBRMultipartMimeStreamEncoder&)>& block) {
  auto encoder = encoderWithStream(OutputStream::toMemory(), generateBoundary());
  encoder->encode([&] {
    if (block) block(*encoder);
  });
  request.setValue(encoder->contentTypeHTTPHeaderValue(), "Content-Type");
  request.setValue(encoder->contentLengthHTTPHeaderValue(), "Content-Length");
  request.setHTTPBody(encoder->outputStream()->dataWrittenToMemory());
}
