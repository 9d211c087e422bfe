#include "app/ZRVLogManager.h"

#include "app/ZRVBundle.h"
#include "platform/system/locks.h"

ZRVLogHandle::ZRVLogHandle(std::string subsystem, std::string category, const LGJournalWriter* writer)
    : subsystem_(std::move(subsystem)),
      category_(std::move(category)),
      writer_(writer ? writer : &LGJournalWriter::daemon()) {}

bool ZRVLogHandle::isEnabled(ZRVLogType) const { return writer_->isSocketPresent(); }

bool ZRVLogHandle::write(ZRVLogType type, std::string_view text, platform::ErrorPtr* error) const {
  const LGJournalField category{std::string(kCategoryFieldName), category_};
  return writer_->send(priorityForType(type), subsystem_, text, {&category, 1}, error);
}

int ZRVLogHandle::priorityForType(ZRVLogType type) {
  switch (type) {
    case ZRVLogType::Error:
      return LGJournalPriorityError;
    case ZRVLogType::Info:
      return LGJournalPriorityInfo;
    case ZRVLogType::Debug:
      break;
  }
  return LGJournalPriorityDebug;
}

std::string ZRVLogHandle::messageFormat(std::string_view logFormat) {
  static constexpr std::string_view kPublic = "{public}";
  std::string out;
  out.reserve(logFormat.size());
  for (std::size_t i = 0; i < logFormat.size(); ++i) {
    out.push_back(logFormat[i]);
    if (logFormat[i] != '%') continue;
    if (i + 1 < logFormat.size() && logFormat[i + 1] == '%') {
      out.push_back('%');
      ++i;
    } else if (logFormat.substr(i + 1, kPublic.size()) == kPublic) {
      i += kPublic.size();
    }
  }
  return out;
}

std::shared_ptr<ZRVLogManager> ZRVLogManager::sharedInstance() {
  static const std::shared_ptr<ZRVLogManager> instance = platform::make<ZRVLogManager>();
  return instance;
}

ZRVLogManager::ZRVLogManager(const LGJournalWriter* writer) {
  for (std::size_t i = 0; i < kCategories.size(); ++i)
    handles_[i] =
        std::make_shared<const ZRVLogHandle>(std::string(ZRVBundleIdentifier), std::string(kCategories[i]), writer);
}

ZRVLogHandlePtr ZRVLogManager::handle(Area area) const {
  platform::MutexLock lock(mutex_);
  return handles_.at(static_cast<std::size_t>(area));
}

void ZRVLogManager::setHandle(Area area, ZRVLogHandlePtr handle) {
  platform::MutexLock lock(mutex_);
  handles_.at(static_cast<std::size_t>(area)) = std::move(handle);
}
