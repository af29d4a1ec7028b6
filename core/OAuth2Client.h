// TZIWOAuth2Client: the sign-in client that runs the generic OAuth 2.0 authorization-code flow
// with the descriptions of its provider (core/OAuth2Description.h).
//
// A concrete client hands its two descriptions (classic and current) over in its constructor
// (Describe) and keeps only what is its own: its properties, its user record and its hooks.
//
// The flow:
//  1. Login (holding the client's lock) checks ServerController and WebApplication, makes a
//     fresh flow identifier, chooses the description of the client's Api once for this flow,
//     registers the return address (in the TOAuth2CodeFlow when the description checks the
//     state, else on its own) and sends the browser to the authorization address.
//  2. LoginResponse runs the chosen description (the one of Api for a session restored from
//     its saved state): CheckReturn, the code exchange, the profile read and the mapping. It
//     sets LoginResult and LoginError as the result says, reaches the outcome (denied as
//     Refused says) and raises OnLoginOK or OnLoginFailed. A transport failure raises its
//     Exception, leaves the flow as it was and raises no event.
#pragma once

#include <string>
#include <vector>

#include "core/OAuth2Description.h"
#include "core/OAuth2Flow.h"
#include "core/SignInClient.h"

namespace zelk::IWZelkAuthBase {

class TZIWOAuth2Client : public TZIWSignInClient {
 public:
  explicit TZIWOAuth2Client(rtl::TComponent* AOwner) : TZIWSignInClient(AOwner) {}

  // Raises Exception when ServerController or WebApplication is missing, before anything is
  // sent or changed.
  void Login(TIWApplication* WebApplication) override;
  void LoginResponse(const THttpRequest& Request) override;
  // Forgets the flow in progress, then signs out as the base does.
  void SignOut() override;

 protected:
  // The concrete client's constructor hands over its two descriptions, which it owns and which
  // live as long as the client.
  void Describe(const TOAuth2Description& Classic, const TOAuth2Description& Current) {
    FClassic = &Classic;
    FCurrent = &Current;
  }
  // The description of Value: classic or current.
  const TOAuth2Description& DescriptionOf(TIWApi Value) const {
    return Value == apCurrent ? *FCurrent : *FClassic;
  }
  // The flow's values for the hooks: credentials, the client's endpoints, and the flow's state,
  // return address and verifier as the description keeps them.
  TOAuth2Context Context(const TOAuth2Description& Description) const;
  // The run-time state of the flow in progress for client class C: the classic return address
  // ("ReturnURL") and the code flow ("FlowState", "FlowRedirectURI", "FlowVerifier").
  template <typename C>
  static std::vector<rtl::TPropertyInfo> FlowState();

 private:
  // Step 2's checks and calls: what the return comes to under Description.
  TOAuth2Result Complete(const TOAuth2Description& Description, const THttpRequest& Request);

  const TOAuth2Description* FClassic = nullptr;
  const TOAuth2Description* FCurrent = nullptr;
  // The description chosen when the flow in progress started; none before, and in a session
  // restored from its saved state.
  const TOAuth2Description* FChosen = nullptr;
  TOAuth2CodeFlow FFlow;
  std::string FReturnURL;  // the return address of a description that does not check the state
};

template <typename C>
std::vector<rtl::TPropertyInfo> TZIWOAuth2Client::FlowState() {
  std::vector<rtl::TPropertyInfo> State = {StateField<C, std::string>("ReturnURL", &C::FReturnURL)};
  for (auto& P : CodeFlowState<C>([](C*Client, const auto&Use) {
         auto L = Client->Lock();
         Use(Client->FFlow);
       }))
    State.push_back(std::move(P));
  return State;
}

}  // namespace zelk::IWZelkAuthBase
