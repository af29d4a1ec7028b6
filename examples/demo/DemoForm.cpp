#include "examples/demo/DemoForm.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <array>
#include <charconv>
#include <cstdio>
#include <exception>
#include <optional>

#include <nlohmann/json.hpp>

#include "platform/rtl/FormFile.h"

namespace zelk::demo {

namespace {

using IWZelkAuthBase::resFailed;
using IWZelkAuthBase::resOK;
using IWZelkAuthBase::resUnknown;
using IWZelkAuthBase::TZIWCustomCloudClient;

// What the page says when a payment may have been taken although no answer came.
constexpr const char* kCardUnknown =
    "The card payment's outcome is unknown: PayPal may have charged the card. Do not pay again "
    "before checking the card's statement or your PayPal account.";
constexpr const char* kCheckoutUnknown =
    "The PayPal payment's outcome is unknown: PayPal may have taken the payment. Do not pay "
    "again before checking your PayPal account.";

// The page's state in the session's values (TIWApplication::Values()), by name. An outcome is
// "outcome.<flow id>", with "outcome.<flow id>.kind" "failed" or "unknown" when it is one.
constexpr const char* kNotice = "notice";
constexpr const char* kPageShown = "page.shown";
// Posting needs a completed sign-in with that provider.
constexpr const char* kFacebookCanPost = "facebook.can-post";
constexpr const char* kTwitterCanPost = "twitter.can-post";
constexpr const char* kCardSent = "card.sent";
constexpr const char* kCardLastFour = "card.last-four";
constexpr const char* kCardType = "card.type";
constexpr const char* kCardExpiry = "card.expiry";
// The payment token of the card form rendered last; absent once spent.
constexpr const char* kCardToken = "card.token";

// Texts a user may type are kept to this length: enough for any real card or status, and a
// page that shows them again stays small.
constexpr std::size_t kMaxFieldBytes = 280;

template <class T>
T* Find(rtl::TComponent* Root, const std::string& Name, const std::string& Class,
        const std::string& Source) {
  rtl::TComponent* C = Root->FindComponent(Name);
  if (C == nullptr)
    throw rtl::EFormError(Source + ": the demo needs a " + Class + " named \"" + Name + "\"");
  auto* Typed = dynamic_cast<T*>(C);
  if (Typed == nullptr)
    throw rtl::EFormError(Source + ": \"" + Name + "\" must be a " + Class + ", not a " +
                          C->ClassName());
  return Typed;
}

std::string ProviderName(TDemoFlow Flow) {
  switch (Flow) {
    case dfGoogle:
      return "Google";
    case dfFacebook:
    case dfFacebookPost:
      return "Facebook";
    case dfWindowsLive:
      return "Windows Live";
    case dfTwitter:
    case dfTwitterPost:
      return "Twitter";
    case dfCard:
    case dfCheckout:
      return "PayPal";
  }
  return "";
}

std::string ErrorText(const std::exception_ptr& E) {
  try {
    std::rethrow_exception(E);
  } catch (const std::exception& X) {
    return X.what();
  } catch (...) {
    return "unknown error";
  }
}

bool ParseInt(std::string_view Text, int& Value) {
  const auto [End, Error] = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
  return Error == std::errc() && End == Text.data() + Text.size();
}

std::string Shorten(std::string Text) {
  if (Text.size() > kMaxFieldBytes) Text.resize(kMaxFieldBytes);
  return Text;
}

void AddIfSet(std::vector<std::pair<std::string, std::string>>& User, std::string Label,
              std::string Value) {
  if (!Value.empty()) User.emplace_back(std::move(Label), std::move(Value));
}

// An amount as people read it: always two decimals ("12.50").
std::string Money(double Value) {
  char Text[64];
  std::snprintf(Text, sizeof Text, "%.2f", Value);
  return Text;
}

// The address inside Facebook's picture object ({"data": {"url": ...}}); other text as it is.
std::string PictureURL(const std::string& Picture) {
  const auto J = nlohmann::json::parse(Picture, nullptr, false);
  if (J.is_object() && J.contains("data") && J["data"].is_object() && J["data"].contains("url") &&
      J["data"]["url"].is_string())
    return J["data"]["url"].get<std::string>();
  return Picture;
}

}  // namespace

TDemoClients LoadDemoComponents(rtl::TComponent* Root, const std::string& Text,
                                const std::string& Name) {
  return LoadDemoComponents(Root, rtl::ParseForm(Text, Name), Name);
}

TDemoClients LoadDemoComponents(rtl::TComponent* Root, const nlohmann::json& Form,
                                const std::string& Name) {
  rtl::ReadFormJSON(Root, Form, Name);
  TDemoClients C;
  C.Google = Find<IWGAuthClient::TZIWGAuthClient>(Root, "Google", "TZIWGAuthClient", Name);
  C.Facebook = Find<IWFacebookAuthClient::TZIWFacebookAuthClient>(Root, "Facebook",
                                                                  "TZIWFacebookAuthClient", Name);
  C.WindowsLive = Find<IWWindowsLiveAuthClient::TZIWWindowsLiveAuthClient>(
      Root, "WindowsLive", "TZIWWindowsLiveAuthClient", Name);
  C.Twitter = Find<IWTwitterAuthClient::TZIWTwitterAuthClient>(Root, "Twitter",
                                                               "TZIWTwitterAuthClient", Name);
  C.PayPal = Find<IWPayPalClient::TZIWPayPalClient>(Root, "PayPal", "TZIWPayPalClient", Name);
  return C;
}

std::vector<std::string> MissingCredentials(const TDemoClients& C) {
  std::vector<std::string> Missing;
  auto CheckApp = [&](const std::string& Flow, IWZelkAuthBase::TIWApp* App) {
    if (App->ID().empty() || App->Secret().empty())
      Missing.push_back(Flow + " (App.ID, App.Secret)");
  };
  CheckApp("Google", C.Google->App());
  CheckApp("Facebook", C.Facebook->App());
  CheckApp("Windows Live", C.WindowsLive->App());
  CheckApp("Twitter", C.Twitter->App());
  const auto* S = C.PayPal->Seller();
  if (C.PayPal->Api() == IWZelkAuthBase::apCurrent) {
    if (S->ClientID().empty() || S->ClientSecret().empty())
      Missing.push_back("PayPal (Seller.ClientID, Seller.ClientSecret)");
  } else if (S->UserName().empty() || S->Password().empty() || S->Signature().empty()) {
    Missing.push_back("PayPal (Seller.UserName, Seller.Password, Seller.Signature)");
  }
  return Missing;
}

TDemoForm::TDemoForm(web::TIWApplication* Application, const TDemoSetup& Setup)
    : TComponent(Application),
      FApplication(Application),
      FController(Setup.Controller),
      FLive(Setup.Credentials == nullptr) {
  SetName(kName);
  FClients = LoadDemoComponents(this, Setup.Form, Setup.FormName);

  if (const sim::TDemoCredentials* C = Setup.Credentials) {
    FClients.Google->App()->SetID(C->Google.ClientId);
    FClients.Google->App()->SetSecret(C->Google.Secret);
    FClients.Facebook->App()->SetID(C->Facebook.ClientId);
    FClients.Facebook->App()->SetSecret(C->Facebook.Secret);
    FClients.WindowsLive->App()->SetID(C->WindowsLive.ClientId);
    FClients.WindowsLive->App()->SetSecret(C->WindowsLive.Secret);
    FClients.Twitter->App()->SetID(C->TwitterConsumerKey);
    FClients.Twitter->App()->SetSecret(C->TwitterConsumerSecret);
    FClients.PayPal->Seller()->SetUserName(C->PayPal.UserName);
    FClients.PayPal->Seller()->SetPassword(C->PayPal.Password);
    FClients.PayPal->Seller()->SetSignature(C->PayPal.Signature);
    FClients.PayPal->Seller()->SetClientID(C->PayPal.ClientID);
    FClients.PayPal->Seller()->SetClientSecret(C->PayPal.ClientSecret);
  }

  // Every client reports to the one controller the whole application shares: it routes each
  // provider's return to the client (and so the session) that started the flow.
  FClients.Google->SetServerController(FController);
  FClients.Facebook->SetServerController(FController);
  FClients.WindowsLive->SetServerController(FController);
  FClients.Twitter->SetServerController(FController);
  FClients.PayPal->SetServerController(FController);

  FClients.Google->SetOnLoginOK([this](rtl::TObject*) { SignedIn(dfGoogle); });
  FClients.Google->SetOnLoginFailed([this](rtl::TObject*) { SignInFailed(dfGoogle); });
  FClients.Facebook->SetOnLoginOK([this](rtl::TObject*) {
    SetFlag(kFacebookCanPost);
    SignedIn(dfFacebook);
  });
  FClients.Facebook->SetOnLoginFailed([this](rtl::TObject*) { SignInFailed(dfFacebook); });
  FClients.WindowsLive->SetOnLoginOK([this](rtl::TObject*) { SignedIn(dfWindowsLive); });
  FClients.WindowsLive->SetOnLoginFailed([this](rtl::TObject*) { SignInFailed(dfWindowsLive); });
  FClients.Twitter->SetOnLoginOK([this](rtl::TObject*) {
    SetFlag(kTwitterCanPost);
    SignedIn(dfTwitter);
  });
  FClients.Twitter->SetOnLoginFailed([this](rtl::TObject*) { SignInFailed(dfTwitter); });

  FClients.Facebook->SetOnPostOK([this](rtl::TObject*, std::string PostID) {
    SetOutcome(dfFacebookPost, "Posted to Facebook (post id " + PostID + ").", false);
  });
  FClients.Facebook->SetOnPostFailed([this](rtl::TObject*, std::string Error) {
    // In current mode nothing was sent: the client explains why posting is unavailable.
    SetOutcome(dfFacebookPost,
               (FClients.Facebook->Api() == IWZelkAuthBase::apCurrent
                    ? "Posting to Facebook is unavailable: "
                    : "Facebook refused the post: ") +
                   Error,
               true);
  });
  FClients.Twitter->SetOnPostOK([this](rtl::TObject*, std::string PostID) {
    SetOutcome(dfTwitterPost, "Posted to Twitter (status id " + PostID + ").", false);
  });
  FClients.Twitter->SetOnPostFailed([this](rtl::TObject*, std::string Error) {
    SetOutcome(dfTwitterPost, "Twitter refused the post: " + Error, true);
  });

  FClients.PayPal->SetOnPayPalPaymentOK([this](rtl::TObject*) {
    const TDemoPageModel M = PageModel();
    SetOutcome(dfCheckout,
               "PayPal payment completed: " + M.OrderTotal + " " + M.Currency + " paid.", false);
  });
  FClients.PayPal->SetOnPayPalCancel([this](rtl::TObject*) {
    SetOutcome(dfCheckout, "PayPal checkout canceled: " + FClients.PayPal->LoginError(), true);
  });
  FClients.PayPal->SetOnPayPalFailed([this](rtl::TObject*) {
    SetOutcome(dfCheckout, "PayPal payment failed: " + FClients.PayPal->LoginError(), true);
  });
  FClients.PayPal->SetOnPayPalUnknown(
      [this](rtl::TObject*) { SetUnknownOutcome(dfCheckout, kCheckoutUnknown); });

  // A card that is valid for a while yet: the card's expiry starts at the current month.
  auto* Card = FClients.PayPal->CreditCard();
  char Expiry[16];
  std::snprintf(Expiry, sizeof Expiry, "%02d/%04d", static_cast<int>(Card->ExpirationMonth()),
                static_cast<int>(Card->ExpirationYear()) + 2);
  FApplication->SetValue(kCardExpiry, Expiry);
}

TDemoForm::~TDemoForm() {
  // The clients go before this form's fields, which their events write to.
  DestroyComponents();
}

TZIWCustomCloudClient* TDemoForm::ClientOf(TDemoFlow Flow) const {
  switch (Flow) {
    case dfGoogle:
      return FClients.Google;
    case dfFacebook:
    case dfFacebookPost:
      return FClients.Facebook;
    case dfWindowsLive:
      return FClients.WindowsLive;
    case dfTwitter:
    case dfTwitterPost:
      return FClients.Twitter;
    case dfCard:
    case dfCheckout:
      return FClients.PayPal;
  }
  return nullptr;
}

void TDemoForm::SetOutcome(TDemoFlow Flow, std::string Text, bool Failed) {
  const std::string Key = "outcome." + FlowId(Flow);
  FApplication->SetValue(Key, std::move(Text));
  if (Failed)
    FApplication->SetValue(Key + ".kind", "failed");
  else
    FApplication->EraseValue(Key + ".kind");
}

void TDemoForm::SetUnknownOutcome(TDemoFlow Flow, std::string Text) {
  const std::string Key = "outcome." + FlowId(Flow);
  FApplication->SetValue(Key, std::move(Text));
  FApplication->SetValue(Key + ".kind", "unknown");
}

TDemoOutcome TDemoForm::Outcome(TDemoFlow Flow) const {
  const std::string Key = "outcome." + FlowId(Flow);
  const std::string& Kind = FApplication->Value(Key + ".kind");
  return {FApplication->Value(Key), Kind == "failed", Kind == "unknown"};
}

void TDemoForm::SetNotice(std::string Text) {
  if (Text.empty())
    FApplication->EraseValue(kNotice);
  else
    FApplication->SetValue(kNotice, std::move(Text));
}

bool TDemoForm::Flag(const char* Name) const {
  return FApplication->Values().contains(Name);
}

void TDemoForm::SetFlag(const char* Name) {
  FApplication->SetValue(Name, "yes");
}

void TDemoForm::PageShown() {
  SetFlag(kPageShown);
}

TDemoCard TDemoForm::Card() const {
  TDemoCard Card;
  Card.Sent = Flag(kCardSent);
  if (Card.Sent) {
    Card.LastFour = FApplication->Value(kCardLastFour);
    Card.Type = FApplication->Value(kCardType);
  }
  Card.Expiry = FApplication->Value(kCardExpiry);
  return Card;
}

void TDemoForm::SetCard(const TDemoCard& Card) {
  SetFlag(kCardSent);
  FApplication->SetValue(kCardLastFour, Card.LastFour);
  FApplication->SetValue(kCardType, Card.Type);
  FApplication->SetValue(kCardExpiry, Card.Expiry);
}

std::string TDemoForm::IssueCardToken() {
  std::array<unsigned char, 32> Bytes{};
  if (RAND_bytes(Bytes.data(), static_cast<int>(Bytes.size())) != 1)
    throw rtl::Exception("Cannot make a card form token: the system's random source failed");
  static constexpr char kHex[] = "0123456789abcdef";
  std::string Token;
  for (const unsigned char B : Bytes) {
    Token += kHex[B >> 4];
    Token += kHex[B & 0xf];
  }
  FApplication->SetValue(kCardToken, Token);
  return Token;
}

bool TDemoForm::SpendCardToken(const web::THttpRequest& Request) {
  const std::string Sent = Request.ContentField(kCardTokenField);
  const std::string Outstanding = FApplication->Value(kCardToken);
  const bool Valid = !Outstanding.empty() && Sent.size() == Outstanding.size() &&
                     CRYPTO_memcmp(Sent.data(), Outstanding.data(), Sent.size()) == 0;
  FApplication->EraseValue(kCardToken);
  return Valid;
}

void TDemoForm::BackToPage() {
  FApplication->GoToURL(FApplication->GetApplicationURL() + "/");
}

void TDemoForm::SignedIn(TDemoFlow Flow) {
  // The user's name is published by each concrete client.
  std::string Name;
  switch (Flow) {
    case dfGoogle:
      Name = FClients.Google->LoginUsername();
      break;
    case dfFacebook:
      Name = FClients.Facebook->LoginUsername();
      break;
    case dfWindowsLive:
      Name = FClients.WindowsLive->LoginUsername();
      break;
    case dfTwitter:
      Name = FClients.Twitter->LoginUsername();
      break;
    default:
      break;
  }
  SetOutcome(Flow, "Signed in with " + ProviderName(Flow) + " as " + Name + ".", false);
}

void TDemoForm::SignInFailed(TDemoFlow Flow) {
  const std::string Error = ClientOf(Flow)->LoginError();
  SetOutcome(Flow,
             ProviderName(Flow) + " sign-in failed" +
                 (Error.empty() ? std::string(" (the provider gave no reason).") : ": " + Error),
             true);
}

void TDemoForm::SignIn(TDemoFlow Flow) {
  SetNotice({});
  TZIWCustomCloudClient* Client = ClientOf(Flow);
  const std::string Provider = ProviderName(Flow);
  try {
    Client->Login(FApplication);
  } catch (...) {
    SetOutcome(Flow, Provider + " sign-in could not start: " + ErrorText(std::current_exception()),
               true);
    BackToPage();
    return;
  }
  if (FApplication->RedirectURL().empty()) {
    // Refused before the browser left (Twitter's request token): the reason is in LoginError.
    const std::string Error = Client->LoginError();
    SetOutcome(
        Flow,
        Provider + " sign-in could not start" + (Error.empty() ? std::string(".") : ": " + Error),
        true);
    BackToPage();
    return;
  }
  SetOutcome(Flow, "Waiting for " + Provider + "'s answer.", false);
}

void TDemoForm::PostStatus(TDemoFlow Flow, const std::string& Text) {
  SetNotice({});
  const std::string Provider = ProviderName(Flow);
  const bool Ready = Flag(Flow == dfFacebookPost ? kFacebookCanPost : kTwitterCanPost);
  if (!Ready) {
    SetOutcome(Flow, "Sign in with " + Provider + " first: posting needs the user's permission.",
               true);
    BackToPage();
    return;
  }
  SetOutcome(Flow, Provider + " gave no answer to the post.", true);
  try {
    if (Flow == dfFacebookPost)
      FClients.Facebook->Post(Shorten(Text));
    else
      FClients.Twitter->Post(Shorten(Text));
  } catch (...) {
    SetOutcome(Flow,
               "The post could not reach " + Provider + ": " + ErrorText(std::current_exception()),
               true);
  }
  BackToPage();
}

void TDemoForm::PayByCard(const web::THttpRequest& Request) {
  SetNotice({});
  BackToPage();
  // The session's requests come one at a time: once one sending of the form spent the token,
  // every other sending of it finds none, whatever their number and timing.
  if (!SpendCardToken(Request)) {
    SetNotice(
        "This card form was already sent (or has expired), so nothing was charged this time. "
        "The card section shows the outcome of the payment; fill in the form again only to make "
        "another payment.");
    return;
  }
  // Only the last four digits of the number are kept; the CVV only for the call.
  std::string Digits;
  for (const char C : Shorten(Request.ContentField("number")))
    if (C != ' ' && C != '-') Digits += C;
  const std::string CVV = Shorten(Request.ContentField("cvv"));
  TDemoCard Sent;
  Sent.Sent = true;
  Sent.LastFour = Digits.size() >= 4 ? Digits.substr(Digits.size() - 4) : Digits;
  Sent.Type = Shorten(Request.ContentField("type"));
  Sent.Expiry = Shorten(Request.ContentField("expiry"));
  SetCard(Sent);

  IWPayPalClient::TIWCreditCardType Type;
  if (Sent.Type == "Visa") {
    Type = IWPayPalClient::ctVisa;
  } else if (Sent.Type == "MasterCard") {
    Type = IWPayPalClient::ctMasterCard;
  } else if (Sent.Type == "Discover") {
    Type = IWPayPalClient::ctDiscover;
  } else if (Sent.Type == "Amex") {
    Type = IWPayPalClient::ctAmericanExpress;
  } else {
    SetOutcome(dfCard, "Card payment not sent: choose Visa, MasterCard, Discover or Amex.", true);
    return;
  }
  int Month = 0;
  int Year = 0;
  const auto Slash = Sent.Expiry.find('/');
  if (Slash == std::string::npos ||
      !ParseInt(std::string_view(Sent.Expiry).substr(0, Slash), Month) ||
      !ParseInt(std::string_view(Sent.Expiry).substr(Slash + 1), Year) || Month < 1 || Month > 12 ||
      Year < 1000 || Year > 9999) {
    SetOutcome(dfCard, "Card payment not sent: the expiry date must be MM/YYYY, e.g. 07/2031.",
               true);
    return;
  }
  auto* Card = FClients.PayPal->CreditCard();
  Card->SetNumber(Digits);
  Card->SetCardType(Type);
  Card->SetExpirationMonth(Month);
  Card->SetExpirationYear(Year);
  Card->SetVerificationCode(CVV);
  // The card's number and CVV leave the client once the call is over, however it ends.
  struct TForgetCard {
    decltype(Card) C;
    ~TForgetCard() {
      C->SetNumber({});
      C->SetVerificationCode({});
    }
  } const Forget{Card};
  const TDemoPageModel M = PageModel();
  try {
    const IWZelkAuthBase::TIWResult Result = FClients.PayPal->PayDirect();
    if (Result == resUnknown) {
      SetUnknownOutcome(dfCard, kCardUnknown);
    } else if (Result == resOK) {
      // A payment establishes the session and gives it a new identifier.
      if (auto* App = dynamic_cast<web::TIWApplication*>(Owner())) App->FlowSucceeded();
      SetOutcome(
          dfCard,
          // The REST order charges shipping and tax with the items; NVP only the items.
          "Card payment accepted: " +
              (FClients.PayPal->Api() == IWZelkAuthBase::apCurrent ? M.OrderTotal : M.ItemTotal) +
              " " + M.Currency + " charged to the card ending in " + Sent.LastFour + ".",
          false);
    } else {
      SetOutcome(dfCard,
                 "PayPal refused the card payment: check the card's number, type, expiry date "
                 "and CVV.",
                 true);
    }
  } catch (...) {
    SetOutcome(dfCard,
               "The card payment could not reach PayPal: " + ErrorText(std::current_exception()),
               true);
  }
}

void TDemoForm::PayOnline() {
  SetNotice({});
  IWZelkAuthBase::TIWResult Result = resFailed;
  try {
    Result = FClients.PayPal->PayOnline(FApplication);
  } catch (...) {
    SetOutcome(dfCheckout,
               "PayPal checkout could not start: " + ErrorText(std::current_exception()), true);
    BackToPage();
    return;
  }
  if (Result != resOK) {
    SetOutcome(dfCheckout, "PayPal refused the checkout: " + FClients.PayPal->LoginError(), true);
    BackToPage();
    return;
  }
  SetOutcome(dfCheckout, "Waiting for the buyer at PayPal.", false);
}

void TDemoForm::SignOut() {
  for (TZIWCustomCloudClient* Client : std::initializer_list<TZIWCustomCloudClient*>{
           FClients.Google, FClients.Facebook, FClients.WindowsLive, FClients.Twitter,
           FClients.PayPal})
    Client->SignOut();
  FApplication->EndSession();
  BackToPage();
}

void TDemoForm::HandleReturn(const web::THttpRequest& Request) {
  BackToPage();

  // Which of this session's flows the return names: the clients the server found for it. The
  // server already keeps returns of other sessions away; a name that reaches none here is stale
  // (its flow has ended) or forged.
  std::optional<TDemoFlow> Flow;
  for (const TZIWCustomCloudClient* Client : FController->ReturnClients(Request))
    for (const TDemoFlow F : {dfGoogle, dfFacebook, dfWindowsLive, dfTwitter, dfCheckout})
      if (Client == ClientOf(F)) Flow = F;
  if (!Flow) {
    SetNotice(
        Flag(kPageShown)
            ? "A provider's answer arrived for a sign-in or payment that is not in progress in "
              "this session (it has ended already, or it was never started here). Nothing was "
              "changed."
            : "This sign-in or payment was started on a server that is no longer available, or "
              "its session has expired, so it was not completed. Please sign in again.");
    return;
  }
  SetNotice({});
  try {
    FController->ProcessRequest(Request);
  } catch (...) {
    SetOutcome(*Flow,
               FlowTitle(*Flow) + " could not be completed: " + ErrorText(std::current_exception()),
               true);
  }
}

TDemoPageModel TDemoForm::PageModel() const {
  TDemoPageModel M;
  M.Live = FLive;
  M.Notice = FApplication->Value(kNotice);
  for (int I = 0; I < kDemoFlowCount; ++I)
    M.Outcomes[I] = Outcome(static_cast<TDemoFlow>(I));
  M.CanPostToFacebook = Flag(kFacebookCanPost);
  M.CanPostToTwitter = Flag(kTwitterCanPost);
  M.FacebookPostUnavailable = FClients.Facebook->Api() == IWZelkAuthBase::apCurrent;
  M.Card = Card();

  if (FClients.Google->LoginResult() == resOK) {
    auto& U = M.Users[static_cast<int>(dfGoogle)];
    U = {{"ID", FClients.Google->LoginID()}, {"Name", FClients.Google->LoginUsername()}};
    AddIfSet(U, "E-mail", FClients.Google->User()->Email());
    AddIfSet(U, "Gender", FClients.Google->User()->Gender());
    AddIfSet(U, "Picture", FClients.Google->User()->Picture());
  }
  if (FClients.Facebook->LoginResult() == resOK) {
    auto& U = M.Users[static_cast<int>(dfFacebook)];
    U = {{"ID", FClients.Facebook->LoginID()}, {"Name", FClients.Facebook->LoginUsername()}};
    AddIfSet(U, "E-mail", FClients.Facebook->User()->Email());
    AddIfSet(U, "Birthday", FClients.Facebook->User()->Birthday());
    AddIfSet(U, "Picture", PictureURL(FClients.Facebook->User()->Picture()));
  }
  if (FClients.WindowsLive->LoginResult() == resOK) {
    auto& U = M.Users[static_cast<int>(dfWindowsLive)];
    U = {{"ID", FClients.WindowsLive->LoginID()}, {"Name", FClients.WindowsLive->LoginUsername()}};
    AddIfSet(U, "E-mail", FClients.WindowsLive->User()->Email());
    AddIfSet(U, "Birthday", FClients.WindowsLive->User()->Birthday());
    AddIfSet(U, "Gender", FClients.WindowsLive->User()->Gender());
  }
  if (FClients.Twitter->LoginResult() == resOK) {
    M.Users[static_cast<int>(dfTwitter)] = {{"ID", FClients.Twitter->LoginID()},
                                            {"Screen name", FClients.Twitter->LoginUsername()}};
  }

  const auto* PayPal = FClients.PayPal;
  M.Currency = IWPayPalClient::CurrencyText(PayPal->Transaction()->Currency());
  double Items = 0;
  for (int I = 0; I < PayPal->Transactions()->Count(); ++I) {
    const auto* L = PayPal->Transactions()->Items(I);
    M.Cart.push_back({L->Name(), L->Description(), L->Quantity(), Money(L->Price())});
    Items += L->Quantity() * L->Price();
  }
  const double Shipping = PayPal->Transaction()->Shipping();
  const double Tax = PayPal->Transaction()->Tax();
  const double Insurance = PayPal->Transaction()->Insurance();
  M.ItemTotal = Money(Items);
  M.Shipping = Money(Shipping);
  M.Tax = Money(Tax);
  M.OrderTotal = Money(Items + Shipping + Tax + Insurance);
  return M;
}

TDemoForm* DemoFormOf(web::TIWApplication* Application) {
  if (Application == nullptr) return nullptr;
  return dynamic_cast<TDemoForm*>(Application->FindComponent(TDemoForm::kName));
}

}  // namespace zelk::demo
