#include "reactive/RFStream.h"

#include "platform/system/locks.h"

// --- RFStream ------------------------------------------------------------------------------------

std::string RFStream::name() const {
  platform::MutexLock lock(nameLock_);
  return name_;
}

void RFStream::setName(std::string name) {
  platform::MutexLock lock(nameLock_);
  name_.swap(name);
}

RFStreamPtr RFStream::emptyStream() const { return nullptr; }
RFStreamPtr RFStream::returnStream(const platform::Value&) const { return nullptr; }
RFStreamPtr RFStream::bindStream(RFStreamBindBlockFactory) { return nullptr; }
RFStreamPtr RFStream::concatStream(const RFStreamPtr&) { return nullptr; }
RFStreamPtr RFStream::zipWithStream(const RFStreamPtr&) { return nullptr; }
