#include "platform/runtime/thread.h"

namespace platform {

ThreadDictionary& threadDictionary() {
  thread_local ThreadDictionary dictionary;
  return dictionary;
}

}  // namespace platform
