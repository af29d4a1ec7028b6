// Helpers for tests of the payment client: a client that exposes its derived values and the
// base's login events, and the wiring PayOnline needs (an auth server controller owned by the
// application's server controller).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/IWZelkAuthBase.h"
#include "payments/IWPayPalClient.h"
#include "platform/web/IWApplication.h"

namespace zelk::testing {

class TTestPayPalClient : public IWPayPalClient::TZIWPayPalClient {
 public:
  using TZIWPayPalClient::GetCreditCardType;
  using TZIWPayPalClient::GetCurrency;
  using TZIWPayPalClient::GetTotalPaymentAmount;
  using TZIWPayPalClient::SetOnLoginFailed;
  using TZIWPayPalClient::SetOnLoginOK;
  using TZIWPayPalClient::TZIWPayPalClient;
};

// The application's server controller owning the auth server controller, and a payment client
// (owned by the framework controller too) entered into its registry.
struct TPayPalWiring {
  std::unique_ptr<web::TIWServerControllerBase> Framework =
      std::make_unique<web::TIWServerControllerBase>(nullptr);
  IWZelkAuthBase::TZIWAuthServerController* Controller =
      new IWZelkAuthBase::TZIWAuthServerController(Framework.get());
  TTestPayPalClient* Client = new TTestPayPalClient(Framework.get());

  TPayPalWiring() { Client->SetServerController(Controller); }

  // The identifier of the client's registry entry.
  std::string EntryID() const {
    auto L = Controller->LockClients();
    for (int I = 0; I < Controller->Clients()->Count(); ++I)
      if (Controller->Clients()->Items(I)->Client() == Client)
        return Controller->Clients()->Items(I)->ID();
    return {};
  }
};

// The buyer most payment tests use: Ann Lee, 1 Main Street, San Jose 95131, US.
inline void SetTestBuyer(IWPayPalClient::TZIWPayPalClient& C) {
  C.Buyer()->SetFirstName("Ann");
  C.Buyer()->SetName("Lee");
  C.Buyer()->SetStreet("1 Main Street");
  C.Buyer()->SetCity("San Jose");
  C.Buyer()->SetZip("95131");
  C.Buyer()->SetCountryCode("US");
}

// A test card that the simulator accepts, valid for two more years, security code 123.
inline void SetTestCard(IWPayPalClient::TZIWPayPalClient& C) {
  C.CreditCard()->SetNumber("4111111111111111");
  C.CreditCard()->SetVerificationCode("123");
  C.CreditCard()->SetExpirationYear(C.CreditCard()->ExpirationYear() + 2);
}

// The names of the fields of an NVP or form body, in order ("A=1&B=2" gives A, B).
inline std::vector<std::string> FieldNames(const std::string& Body) {
  std::vector<std::string> Names;
  std::size_t Start = 0;
  for (;;) {
    const auto Amp = Body.find('&', Start);
    const std::string Piece = Body.substr(Start, Amp == std::string::npos ? Amp : Amp - Start);
    Names.push_back(Piece.substr(0, Piece.find('=')));
    if (Amp == std::string::npos) return Names;
    Start = Amp + 1;
  }
}

}  // namespace zelk::testing
