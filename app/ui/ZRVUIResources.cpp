#include "app/ui/ZRVUIResources.h"

#include <gio/gio.h>

extern "C" GResource* zorvel_ui_get_resource(void);
extern "C" void zorvel_ui_register_resource(void);

void ZRVRegisterUIResources() {
  // Thread-safe one-time registration: the generated function is not idempotent on its own.
  static const bool registered = [] {
    zorvel_ui_register_resource();
    return true;
  }();
  (void)registered;
}

std::string ZRVResourcePath(const std::string& relative) { return std::string(kZRVResourcePrefix) + relative; }
