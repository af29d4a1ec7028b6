// The simulator's request and response records.
#include "platform/rtl/SysUtils.h"
#include "platform/web/HttpRequest.h"
#include "platform/web/HttpResponse.h"
#include "sim/Simulator.h"

namespace zelk::sim {

rtl::TStringList DecodeForm(std::string_view Text) {
  rtl::TStringList L;
  web::ParseFormFields(Text, L);
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
