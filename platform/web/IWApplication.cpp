#include "platform/web/IWApplication.h"

namespace zelk::web {

TIWApplication::TIWApplication(rtl::TComponent* AOwner, std::string ApplicationURL,
                               std::string SessionID)
    : TComponent(AOwner),
      FApplicationURL(std::move(ApplicationURL)),
      FSessionID(std::move(SessionID)) {}

TIWApplication::~TIWApplication() {
  // The session's components go before the application object's own state.
  DestroyComponents();
}

void TIWApplication::GoToURL(const std::string& URL) {
  FRedirectURL = URL;
}

}  // namespace zelk::web
