// The simulator's request and response records.
#include "platform/rtl/SysUtils.h"
#include "platform/web/HttpResponse.h"
#include "sim/Simulator.h"

namespace zelk::sim {

namespace {

int HexValue(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

// application/x-www-form-urlencoded decoding: "+" is a blank, "%XX" a byte; a "%" that starts
// no escape stays as it is.
std::string FormDecode(std::string_view Text) {
  std::string R;
  R.reserve(Text.size());
  for (std::size_t I = 0; I < Text.size(); ++I) {
    const char C = Text[I];
    if (C == '+') {
      R += ' ';
    } else if (C == '%' && I + 2 < Text.size() && HexValue(Text[I + 1]) >= 0 &&
               HexValue(Text[I + 2]) >= 0) {
      R += static_cast<char>(HexValue(Text[I + 1]) * 16 + HexValue(Text[I + 2]));
      I += 2;
    } else {
      R += C;
    }
  }
  return R;
}

}  // namespace

rtl::TStringList DecodeForm(std::string_view Text) {
  rtl::TStringList L;
  while (!Text.empty()) {
    const auto Amp = Text.find('&');
    const std::string_view Pair = Text.substr(0, Amp);
    Text = Amp == std::string_view::npos ? std::string_view() : Text.substr(Amp + 1);
    if (Pair.empty()) continue;
    const auto Eq = Pair.find('=');
    if (Eq == std::string_view::npos)
      L.Add(FormDecode(Pair) + "=");
    else
      L.Add(FormDecode(Pair.substr(0, Eq)) + "=" + FormDecode(Pair.substr(Eq + 1)));
  }
  return L;
}

std::string TSimRequest::Header(std::string_view Name) const {
  for (const auto& [N, V] : Headers)
    if (rtl::SameText(N, Name)) return V;
  return {};
}

rtl::TStringList TSimRequest::Form() const {
  return DecodeForm(Body);
}

TSimResponse TSimResponse::Redirect(std::string Location, int Status) {
  TSimResponse R;
  R.Status = Status;
  R.ContentType = "text/html; charset=utf-8";
  R.Body = "<html><body><a href=\"" + web::HTMLEncode(Location) + "\">Continue</a></body></html>";
  R.Headers.emplace_back("Location", std::move(Location));
  return R;
}

TSimResponse TSimResponse::Html(std::string Body, int Status) {
  return Text(std::move(Body), "text/html; charset=utf-8", Status);
}

TSimResponse TSimResponse::Text(std::string Body, std::string ContentType, int Status) {
  TSimResponse R;
  R.Status = Status;
  R.ContentType = std::move(ContentType);
  R.Body = std::move(Body);
  return R;
}

std::string ProviderName(TProviderId Provider) {
  switch (Provider) {
    case TProviderId::Google:
      return "Google";
    case TProviderId::Facebook:
      return "Facebook";
    case TProviderId::WindowsLive:
      return "Windows Live";
    case TProviderId::Twitter:
      return "Twitter";
    case TProviderId::PayPal:
      return "PayPal";
  }
  return "unknown";
}

}  // namespace zelk::sim
