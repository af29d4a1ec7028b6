// TZIWPayPalClient: construction, properties, the order's amounts and the NVP call frame.
#include "payments/IWPayPalClient.h"

namespace zelk::IWPayPalClient {

namespace {

// The API version every call announces; the reply format the client reads is that version's.
constexpr std::string_view kVersion = "65.1";

}  // namespace

TZIWPayPalClient::TZIWPayPalClient(rtl::TComponent* AOwner)
    : TZIWCustomCloudClient(AOwner), FPaymentAction("Sale") {
  FBuyer = std::make_unique<TIWPayPalBuyer>();
  FCreditCard = std::make_unique<TIWPayPalCreditCard>();
  FSeller = std::make_unique<TIWPayPalSeller>();
  FTransaction = std::make_unique<TIWPayPalTransaction>();
  FTransactions = std::make_unique<TPayPalTransactions>(this);
  FServerType = stSandBox;
}

TZIWPayPalClient::~TZIWPayPalClient() {
  // No request may reach the client once its parts start to go.
  Detach();
  FBuyer.reset();
  FCreditCard.reset();
  FSeller.reset();
  FTransaction.reset();
  FTransactions.reset();
}

TIWServerType TZIWPayPalClient::ServerType() const {
  auto L = Lock();
  return FServerType;
}

void TZIWPayPalClient::SetServerType(TIWServerType Value) {
  auto L = Lock();
  FServerType = Value;
}

TNotifyEvent TZIWPayPalClient::OnPayPalPaymentOK() const {
  auto L = Lock();
  return FOnPayPalPaymentOK;
}

void TZIWPayPalClient::SetOnPayPalPaymentOK(TNotifyEvent Value) {
  auto L = Lock();
  FOnPayPalPaymentOK = std::move(Value);
}

TNotifyEvent TZIWPayPalClient::OnPayPalCancel() const {
  auto L = Lock();
  return FOnPayPalCancel;
}

void TZIWPayPalClient::SetOnPayPalCancel(TNotifyEvent Value) {
  auto L = Lock();
  FOnPayPalCancel = std::move(Value);
}

TNotifyEvent TZIWPayPalClient::OnPayPalFailed() const {
  auto L = Lock();
  return FOnPayPalFailed;
}

void TZIWPayPalClient::SetOnPayPalFailed(TNotifyEvent Value) {
  auto L = Lock();
  FOnPayPalFailed = std::move(Value);
}

TNotifyEvent TZIWPayPalClient::OnPayPalUnknown() const {
  auto L = Lock();
  return FOnPayPalUnknown;
}

void TZIWPayPalClient::SetOnPayPalUnknown(TNotifyEvent Value) {
  auto L = Lock();
  FOnPayPalUnknown = std::move(Value);
}

std::string TZIWPayPalClient::TransactionID() const {
  auto L = Lock();
  return FTransactionID;
}

std::string TZIWPayPalClient::GetServer() const {
  auto L = Lock();
  return Host(FServerType == stLive ? IWZelkAuthBase::phPayPalLiveNvp
                                    : IWZelkAuthBase::phPayPalSandboxNvp);
}

std::string TZIWPayPalClient::GetCheckoutHost() const {
  auto L = Lock();
  return Host(FServerType == stLive ? IWZelkAuthBase::phPayPalLiveWeb
                                    : IWZelkAuthBase::phPayPalSandboxWeb);
}

std::string TZIWPayPalClient::GetCreditCardType() const {
  return CreditCardTypeText(FCreditCard->CardType());
}

std::string TZIWPayPalClient::GetCurrency() const {
  return CurrencyText(FTransaction->Currency());
}

double TZIWPayPalClient::GetTotalPaymentAmount() const {
  auto L = Lock();
  double Scale = 1;
  for (int I = 0; I < CurrencyDecimals(FTransaction->Currency()); ++I)
    Scale *= 10;
  return static_cast<double>(ItemTotalUnits()) / Scale;
}

namespace {

// Checked arithmetic on minor units: an order whose total leaves int64 is refused, never wrapped.
std::int64_t CheckedAdd(std::int64_t A, std::int64_t B) {
  std::int64_t R = 0;
  if (__builtin_add_overflow(A, B, &R))
    throw rtl::Exception("TZIWPayPalClient: the order total is too large for PayPal");
  return R;
}

std::int64_t CheckedMul(std::int64_t A, std::int64_t B) {
  std::int64_t R = 0;
  if (__builtin_mul_overflow(A, B, &R))
    throw rtl::Exception("TZIWPayPalClient: the order total is too large for PayPal");
  return R;
}

}  // namespace

std::int64_t TZIWPayPalClient::ItemTotalUnits() const {
  auto L = Lock();
  const TIWCurrency Currency = FTransaction->Currency();
  std::int64_t Sum = 0;
  for (int I = 0; I < FTransactions->Count(); ++I) {
    const TPayPalTransaction* Item = FTransactions->Items(I);
    Sum = CheckedAdd(Sum, CheckedMul(Item->Quantity(), MinorUnits(Item->Price(), Currency)));
  }
  return Sum;
}

std::int64_t TZIWPayPalClient::OrderTotalUnits() const {
  const TIWCurrency Currency = FTransaction->Currency();
  std::int64_t Total = ItemTotalUnits();
  Total = CheckedAdd(Total, MinorUnits(FTransaction->Shipping(), Currency));
  Total = CheckedAdd(Total, MinorUnits(FTransaction->Insurance(), Currency));
  Total = CheckedAdd(Total, MinorUnits(FTransaction->Tax(), Currency));
  return Total;
}

std::string TZIWPayPalClient::Amount(double Value) const {
  return CurrencyAmountText(Value, FTransaction->Currency());
}

std::string TZIWPayPalClient::UnitsAmount(std::int64_t Units) const {
  return MinorUnitsText(Units, FTransaction->Currency());
}

std::string TZIWPayPalClient::NVPCall(std::string_view Method, const std::string& Fields) const {
  std::string Body = "METHOD=";
  Body += Method;
  Body += Fields;
  Body += "&USER=" + EncodeNVPValue(FSeller->UserName());
  Body += "&PWD=" + EncodeNVPValue(FSeller->Password());
  Body += "&SIGNATURE=" + EncodeNVPValue(FSeller->Signature());
  Body += "&VERSION=";
  Body += kVersion;
  // No header of our own, not even a content type: PayPal reads the body as NVP regardless.
  return Transport().Post(GetServer(), "/nvp", "", Body).Body;
}

}  // namespace zelk::IWPayPalClient
