#include "design/IWZelkAuthReg.h"

#include <mutex>

#include "core/IWZelkAuthBase.h"
#include "payments/IWPayPalClient.h"
#include "platform/rtl/ClassRegistry.h"
#include "platform/rtl/Palette.h"
#include "providers/IWFacebookAuthClient.h"
#include "providers/IWGAuthClient.h"
#include "providers/IWTwitterAuthClient.h"
#include "providers/IWWindowsLiveAuthClient.h"
#include "zelk/Version.h"

namespace zelk::IWZelkAuthReg {

void RegisterClasses() {
  static std::once_flag Once;
  std::call_once(Once, [] {
    IWZelkAuthBase::RegisterAuthBaseClasses();
    IWPayPalClient::RegisterClasses();
    IWWindowsLiveAuthClient::RegisterClasses();
    IWFacebookAuthClient::RegisterClasses();
    IWTwitterAuthClient::RegisterTwitterAuthClientClass();
    IWGAuthClient::RegisterClasses();
  });
}

void Register() {
  RegisterClasses();
  for (const char* Class :
       {"TZIWAuthServerController", "TZIWWindowsLiveAuthClient", "TZIWFacebookAuthClient",
        "TZIWTwitterAuthClient", "TZIWGAuthClient", "TZIWPayPalClient"})
    rtl::RegisterComponents(kPalettePage, {Class});
}

std::string Version() {
  return ZELK_VERSION;
}

}  // namespace zelk::IWZelkAuthReg
