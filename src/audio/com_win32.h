#pragma once

// What the Windows audio code needs of COM.

#include <objbase.h>

namespace tap {

/// COM for the thread that makes it, undone when it goes.
class ComScope {
 public:
  ComScope() : initialized_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}
  ~ComScope() {
    if (initialized_) CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

 private:
  bool initialized_;
};

/// Releases a COM object, if there is one, and forgets it.
template <typename T>
void release(T*& object) {
  if (object != nullptr) object->Release();
  object = nullptr;
}

}  // namespace tap
