// The two generations of Twitter's API as descriptions of the generic OAuth 1.0a flow
// (core/OAuth1Flow.h), each with its status update. A client chooses one when a sign-in starts
// (or a saved session is restored) and runs everything through it: classic (api.twitter.com,
// a per-flow callback, form-encoded status updates) in IWTwitterAuthClient.cpp, current (the X
// API host, a fixed callback, returns routed by the request token, JSON posts) in
// IWTwitterCurrent.cpp. Internal to the unit; not installed.
#pragma once

#include <string>

#include "core/OAuth1Flow.h"

namespace zelk::IWTwitterAuthClient::detail {

// What a status update came to: an id to report through OnPostOK, a text for OnPostFailed, or
// nothing to report (Kind None).
struct TPostOutcome {
  enum class TKind { None, OK, Failed } Kind = TKind::None;
  std::string Text;  // the post's id, or the failure's text
};

// A generation of the API: the sign-in's three legs and the status update.
class TTwitterGeneration : public IWZelkAuthBase::TOAuth1Description {
 public:
  std::string ProviderName() const override { return "Twitter"; }
  // Publishes S for the user whose access token is Access. Transport failures raise.
  virtual TPostOutcome Post(const IWZelkAuthBase::TOAuth1Consumer& Consumer,
                            const IWZelkAuthBase::TOAuth1Token& Access,
                            const std::string& S) const = 0;
};

const TTwitterGeneration& ClassicGeneration();
const TTwitterGeneration& CurrentGeneration();

}  // namespace zelk::IWTwitterAuthClient::detail
