// TIWApp: the application's credentials at a provider.
#pragma once

#include <mutex>
#include <string>

#include "platform/rtl/Classes.h"

namespace zelk::IWZelkAuthBase {

// The application's credentials at a provider: client id and secret (OAuth 2.0), consumer key
// and secret (OAuth 1.0a). Stored with the form as a sub-object of its client.
class TIWApp : public rtl::TPersistent {
 public:
  TIWApp() = default;
  std::string ClassName() const override { return "TIWApp"; }
  std::string ID() const;
  void SetID(std::string Value);
  std::string Secret() const;
  void SetSecret(std::string Value);

 private:
  mutable std::mutex FMutex;
  std::string FID;
  std::string FSecret;
};

}  // namespace zelk::IWZelkAuthBase
