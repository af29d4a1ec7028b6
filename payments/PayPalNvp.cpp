// The NVP texts: amounts, value escaping and the parts of PayPal's replies the client reads.
#include <charconv>
#include <cmath>

#include "payments/IWPayPalClient.h"
#include "platform/rtl/PercentDecode.h"

namespace zelk::IWPayPalClient {

std::string AmountText(double Value) {
  if (std::isnan(Value)) return "NAN";
  if (std::isinf(Value)) return Value < 0 ? "-INF" : "INF";
  if (Value == 0) return "0";  // also -0, which has no sign worth sending

  // std::to_chars ignores the locale; scientific notation with 14 fraction digits is the value
  // correctly rounded to 15 significant digits: "[-]d.dddddddddddddde[+-]xx".
  char Buffer[64];
  const auto Conv =
      std::to_chars(Buffer, Buffer + sizeof Buffer, Value, std::chars_format::scientific, 14);
  std::string_view S(Buffer, static_cast<std::size_t>(Conv.ptr - Buffer));
  const bool Negative = S.front() == '-';
  if (Negative) S.remove_prefix(1);
  const auto E = S.find('e');
  std::string Digits(1, S[0]);
  Digits.append(S.substr(2, E - 2));
  std::string_view ExpText = S.substr(E + 1);
  if (!ExpText.empty() && ExpText.front() == '+') ExpText.remove_prefix(1);
  int Exponent = 0;
  std::from_chars(ExpText.data(), ExpText.data() + ExpText.size(), Exponent);

  while (Digits.size() > 1 && Digits.back() == '0')
    Digits.pop_back();
  // The value is 0.<Digits> times ten to the power Point: Point digits before the separator.
  const int Point = Exponent + 1;
  std::string R = Negative ? "-" : "";
  if (Point <= 0) {
    R += "0.";
    R.append(static_cast<std::size_t>(-Point), '0');
    R += Digits;
  } else if (static_cast<std::size_t>(Point) >= Digits.size()) {
    R += Digits;
    R.append(static_cast<std::size_t>(Point) - Digits.size(), '0');
  } else {
    R.append(Digits, 0, static_cast<std::size_t>(Point));
    R += '.';
    R.append(Digits, static_cast<std::size_t>(Point));
  }
  return R;
}

std::int64_t MinorUnits(double Value, TIWCurrency Currency) {
  const int Decimals = CurrencyDecimals(Currency);
  // 10^13 major units keep every minor-unit value and any realistic sum far inside int64.
  if (!std::isfinite(Value) || std::fabs(Value) >= 1e13)
    throw rtl::Exception("TZIWPayPalClient: the amount " + AmountText(Value) + " " +
                         CurrencyText(Currency) + " is not one PayPal can take");
  // Round the decimal text the buyer would read (19.995 is "19.995", not the binary value just
  // below it), so that half-way cases go away from zero as written.
  const std::string Written = AmountText(Value);
  std::string_view Text = Written;
  const bool Negative = !Text.empty() && Text.front() == '-';
  if (Negative) Text.remove_prefix(1);
  const auto Point = Text.find('.');
  const std::string_view Whole = Text.substr(0, Point);
  const std::string_view Fraction =
      Point == std::string_view::npos ? std::string_view() : Text.substr(Point + 1);
  std::int64_t Units = 0;
  for (const char D : Whole)
    Units = Units * 10 + (D - '0');
  for (int I = 0; I < Decimals; ++I) {
    const auto Index = static_cast<std::size_t>(I);
    Units = Units * 10 + (Index < Fraction.size() ? Fraction[Index] - '0' : 0);
  }
  const auto Next = static_cast<std::size_t>(Decimals);
  if (Next < Fraction.size() && Fraction[Next] >= '5') ++Units;
  return Negative ? -Units : Units;
}

std::string MinorUnitsText(std::int64_t Units, TIWCurrency Currency) {
  const int Decimals = CurrencyDecimals(Currency);
  std::string R = Units < 0 ? "-" : "";
  // Magnitude without overflow for the most negative value.
  const std::uint64_t Magnitude =
      Units < 0 ? 0 - static_cast<std::uint64_t>(Units) : static_cast<std::uint64_t>(Units);
  std::uint64_t Scale = 1;
  for (int I = 0; I < Decimals; ++I)
    Scale *= 10;
  R += std::to_string(Magnitude / Scale);
  if (Decimals == 0) return R;
  std::string Fraction = std::to_string(Magnitude % Scale);
  Fraction.insert(0, static_cast<std::size_t>(Decimals) - Fraction.size(), '0');
  while (!Fraction.empty() && Fraction.back() == '0')
    Fraction.pop_back();
  if (!Fraction.empty()) R += "." + Fraction;
  return R;
}

std::string MinorUnitsFixedText(std::int64_t Units, TIWCurrency Currency) {
  const int Decimals = CurrencyDecimals(Currency);
  std::string R = Units < 0 ? "-" : "";
  const std::uint64_t Magnitude =
      Units < 0 ? 0 - static_cast<std::uint64_t>(Units) : static_cast<std::uint64_t>(Units);
  std::string Digits = std::to_string(Magnitude);
  if (Digits.size() <= static_cast<std::size_t>(Decimals))
    Digits.insert(0, static_cast<std::size_t>(Decimals) + 1 - Digits.size(), '0');
  if (Decimals > 0) Digits.insert(Digits.size() - static_cast<std::size_t>(Decimals), ".");
  return R + Digits;
}

std::string CurrencyAmountText(double Value, TIWCurrency Currency) {
  return MinorUnitsText(MinorUnits(Value, Currency), Currency);
}

std::string EncodeNVPValue(std::string_view Value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string R;
  R.reserve(Value.size());
  for (const char Ch : Value) {
    const auto C = static_cast<unsigned char>(Ch);
    if (C == '%' || C == '&' || C == '=' || C == '+' || C < 0x20 || C == 0x7F) {
      R += '%';
      R += kHex[C >> 4];
      R += kHex[C & 15];
    } else {
      R += Ch;
    }
  }
  return R;
}

namespace detail {

bool NVPSucceeded(std::string_view Reply) {
  std::string Lower(Reply);
  for (char& C : Lower)
    if (C >= 'A' && C <= 'Z') C = static_cast<char>(C - 'A' + 'a');
  return Lower.find("ack=success") != std::string::npos;
}

std::string NVPToken(std::string_view Reply) {
  static constexpr std::string_view kKey = "TOKEN=";
  const auto P = Reply.find(kKey);
  if (P == std::string_view::npos) return {};
  const auto Start = P + kKey.size();
  const auto End = Reply.find('&', Start);
  return std::string(Reply.substr(Start, End == std::string_view::npos ? End : End - Start));
}

std::string DecodeReplyValue(std::string_view Value) {
  return rtl::PercentDecode(Value, rtl::TPlus::Literal);
}

std::string NVPField(std::string_view Reply, std::string_view Name) {
  while (!Reply.empty()) {
    const auto Amp = Reply.find('&');
    const std::string_view Piece = Reply.substr(0, Amp);
    const auto Eq = Piece.find('=');
    if (Eq != std::string_view::npos && Piece.substr(0, Eq) == Name)
      return DecodeReplyValue(Piece.substr(Eq + 1));
    if (Amp == std::string_view::npos) break;
    Reply.remove_prefix(Amp + 1);
  }
  return {};
}

std::string UnknownOutcomeText(std::string_view Details) {
  return "Payment outcome unknown: PayPal may have taken the payment, but its answer was lost. "
         "Check the PayPal account or the card's statement before paying again. Details: " +
         std::string(Details);
}

std::string NVPFailureMessage(const std::string& Reply) {
  rtl::TStringList Pieces;
  IWZelkAuthBase::Split('&', Reply, &Pieces);
  std::string Message;
  for (const std::string& Piece : Pieces.Items()) {
    const auto Eq = Piece.find('=');
    if (Eq == std::string::npos) continue;  // no name, so neither message
    const std::string_view Name(Piece.data(), Eq);
    if (Name != "L_SHORTMESSAGE0" && Name != "L_LONGMESSAGE0") continue;
    // PayPal encodes its messages; only the encoded blanks are turned back, other escapes stay.
    std::string_view Rest = std::string_view(Piece).substr(Eq + 1);
    for (auto P = Rest.find("%20"); P != std::string_view::npos; P = Rest.find("%20")) {
      Message.append(Rest.substr(0, P));
      Message += ' ';
      Rest.remove_prefix(P + 3);
    }
    Message.append(Rest);
    Message += ". ";
  }
  return Message;
}

}  // namespace detail

}  // namespace zelk::IWPayPalClient
