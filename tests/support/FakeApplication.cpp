#include "support/FakeApplication.h"

namespace zelk::testing {

std::unique_ptr<web::TIWApplication> MakeApplication(std::string URL, std::string SessionID) {
  return std::make_unique<web::TIWApplication>(nullptr, std::move(URL), std::move(SessionID));
}

web::THttpRequest RequestWithQuery(const std::string& Query, const std::string& Path) {
  return web::THttpRequest::FromTarget(Path + (Query.empty() ? "" : "?" + Query));
}

}  // namespace zelk::testing
