// The render endpoints Windows has, by their friendly names.

#include "audio/devices_win32.h"

#include <cstring>

#include "audio/com_win32.h"
#include "audio/song_clock.h"

namespace tap {
namespace {

// PKEY_Device_FriendlyName.
const PROPERTYKEY FRIENDLY_NAME = {{0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 14};

IMMDeviceEnumerator* make_enumerator() {
  IMMDeviceEnumerator* enumerator = nullptr;
  CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                   reinterpret_cast<void**>(&enumerator));
  return enumerator;
}

// The endpoint's friendly name in the console's code page.
void friendly_name(IMMDevice* device, char* out, std::size_t size) {
  out[0] = '\0';
  IPropertyStore* store = nullptr;
  if (FAILED(device->OpenPropertyStore(STGM_READ, &store))) return;
  PROPVARIANT name;
  PropVariantInit(&name);
  if (SUCCEEDED(store->GetValue(FRIENDLY_NAME, &name)) && name.vt == VT_LPWSTR) {
    int length =
        WideCharToMultiByte(GetConsoleOutputCP(), 0, name.pwszVal, -1, out, static_cast<int>(size), nullptr, nullptr);
    if (length == 0) out[0] = '\0';
  }
  PropVariantClear(&name);
  release(store);
}

// Calls `visit(device, name)` for each active render endpoint.
template <typename Visit>
void each_output(IMMDeviceEnumerator* enumerator, Visit visit) {
  IMMDeviceCollection* all = nullptr;
  if (FAILED(enumerator->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, &all))) return;
  UINT count = 0;
  all->GetCount(&count);
  for (UINT i = 0; i < count; ++i) {
    IMMDevice* device = nullptr;
    if (FAILED(all->Item(i, &device))) continue;
    char name[256];
    friendly_name(device, name, sizeof name);
    bool done = visit(device, name);
    release(device);
    if (done) break;
  }
  release(all);
}

}  // namespace

void enter_com() { static ComScope main_thread; }

bool find_render_endpoint(const char* name, IMMDevice*& device) {
  IMMDeviceEnumerator* enumerator = make_enumerator();
  if (enumerator == nullptr) return false;
  if (name != nullptr) {
    each_output(enumerator, [&](IMMDevice* found, const char* found_name) {
      if (std::strcmp(found_name, name) != 0) return false;
      device = found;
      found->AddRef();
      return true;
    });
  } else {
    enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device);
  }
  release(enumerator);
  return true;
}

void find_audio_outputs(OutputList& list) {
  enter_com();
  IMMDeviceEnumerator* enumerator = make_enumerator();
  if (enumerator == nullptr) {
    list.failure = "no audio service";
    return;
  }
  char chosen[256] = "";
  IMMDevice* default_device = nullptr;
  if (SUCCEEDED(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &default_device))) {
    friendly_name(default_device, chosen, sizeof chosen);
    release(default_device);
  }
  each_output(enumerator,
              [&](IMMDevice*, const char* name) { return !list.add(name, std::strcmp(name, chosen) == 0); });
  release(enumerator);
}

}  // namespace tap
