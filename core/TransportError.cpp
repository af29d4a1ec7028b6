// Step names, error texts and the checks made before a request is sent.
#include <array>

#include "core/IWZelkAuthBase.h"
#include "core/TransportDetail.h"

namespace zelk::IWZelkAuthBase::detail {

namespace {

constexpr std::array<std::string_view, 6> kStepNames{
    "InternetOpen",    "InternetConnect",     "HttpOpenRequest",
    "HttpSendRequest", "HttpReceiveResponse", "InternetQueryDataAvailable"};

bool IsControl(unsigned char C) {
  return C < 32 || C == 127;
}

// libcurl result codes the classification below needs (the values are part of libcurl's ABI).
constexpr long kUrlMalformat = 3;
constexpr long kSendError = 55;
constexpr long kFileSizeExceeded = 63;

// The characters of an HTTP header name (a token).
bool IsTokenChar(unsigned char C) {
  if (C >= '0' && C <= '9') return true;
  if ((C | 0x20) >= 'a' && (C | 0x20) <= 'z') return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(C)) != std::string_view::npos;
}

bool SameName(std::string_view A, std::string_view B) {
  return rtl::SameText(A, B);
}

}  // namespace

std::string_view StepName(TTransportStep Step) {
  return kStepNames[static_cast<int>(Step)];
}

std::string CleanDescription(std::string_view Text) {
  std::string R(Text);
  for (char& C : R)
    if (IsControl(static_cast<unsigned char>(C))) C = ' ';
  while (!R.empty() && (R.back() == ' ' || R.back() == '.'))
    R.pop_back();
  return R;
}

std::string TransportMessage(TTransportStep Step, long Code, std::string_view Description) {
  std::string M(StepName(Step));
  M += " Error ";
  M += std::to_string(Code);
  M += " Description ";
  M += CleanDescription(Description);
  return M;
}

void RaiseTransportError(TTransportStep Step, long Code, std::string_view Description,
                         bool RequestMayHaveArrived) {
  throw ETransportError(TransportMessage(Step, Code, Description), std::string(StepName(Step)),
                        RequestMayHaveArrived);
}

TTransportStep StepForCurlFailure(long Code, bool Connected, bool RequestSent, bool HeadComplete) {
  // A refused size is a property of the body, however early the announced length gave it away.
  if (Code == kFileSizeExceeded || HeadComplete) return tsInternetQueryDataAvailable;
  if (Code == kUrlMalformat) return tsInternetConnect;
  if (!Connected || !RequestSent || Code == kSendError) return tsHttpSendRequest;
  return tsHttpReceiveResponse;
}

std::string RequestTargetProblem(std::string_view Target) {
  for (unsigned char C : Target) {
    // A blank would end the request target early; CR or LF would start a header of the
    // caller's choosing.
    if (IsControl(C)) return "Request target contains a control character";
    if (C == ' ') return "Request target contains a blank";
  }
  return {};
}

std::string HeaderLineProblem(std::string_view Header) {
  if (Header.empty()) return {};
  for (unsigned char C : Header)
    if (IsControl(C)) return "Header line contains a control character";
  const auto Colon = Header.find(':');
  if (Colon == std::string_view::npos || Colon == 0)
    return "Header line is not of the form \"Name: value\"";
  const std::string_view Name = Header.substr(0, Colon);
  for (unsigned char C : Name)
    if (!IsTokenChar(C)) return "Header line is not of the form \"Name: value\"";
  // The transport frames the body itself; a second length would let the caller's value decide
  // where the request ends.
  if (SameName(Name, "Content-Length") || SameName(Name, "Transfer-Encoding"))
    return "Header line sets " + std::string(Name) + ", which the transport sets from the data";
  return {};
}

}  // namespace zelk::IWZelkAuthBase::detail
