// Https_Get and Https_Post: check the caller's input, then hand the call to the test hook when
// one is set, else to the network (CurlCall.cpp).
//
// The checks come first and apply to the hook too, so that a client under unit test fails the
// way it would in production. Nothing is sent when they fail.
#include <curl/curl.h>

#include "core/IWZelkAuthBase.h"
#include "core/TransportDetail.h"

namespace zelk::IWZelkAuthBase {

namespace {

using namespace detail;

struct THookHolder {
  std::mutex Mutex;
  TTransportHook Hook;
};

THookHolder& Hook() {
  static THookHolder H;
  return H;
}

// A host for a message: control characters shown as "?", a runaway value cut short.
std::string Printable(std::string_view Host) {
  std::string R(Host.substr(0, 100));
  for (char& C : R)
    if (static_cast<unsigned char>(C) < 32 || C == 127) C = '?';
  if (Host.size() > R.size()) R += "...";
  return R;
}

void CheckRequest(const TTransportRequest& Request) {
  if (!IsValidHost(Request.Host))
    RaiseTransportError(tsInternetConnect, CURLE_URL_MALFORMAT,
                        "Host \"" + Printable(Request.Host) +
                            "\" is not a host name or address with an optional port");
  if (const std::string Problem = RequestTargetProblem(Request.Path); !Problem.empty())
    RaiseTransportError(tsHttpOpenRequest, CURLE_URL_MALFORMAT, Problem);
  if (const std::string Problem = HeaderLineProblem(Request.Headers); !Problem.empty())
    RaiseTransportError(tsHttpOpenRequest, CURLE_BAD_FUNCTION_ARGUMENT, Problem);
  for (const std::string& Line : Request.HeaderLines) {
    if (Line.empty())
      RaiseTransportError(tsHttpOpenRequest, CURLE_BAD_FUNCTION_ARGUMENT,
                          "Header line is not of the form \"Name: value\"");
    if (const std::string Problem = HeaderLineProblem(Line); !Problem.empty())
      RaiseTransportError(tsHttpOpenRequest, CURLE_BAD_FUNCTION_ARGUMENT, Problem);
  }
}

// Body has been emptied by the caller; it receives the reply as it arrives.
void Send(const TTransportRequest& Request, std::string& Body, std::string* StatusLine = nullptr) {
  CheckRequest(Request);
  TTransportHook Current;
  {
    std::lock_guard L(Hook().Mutex);
    Current = Hook().Hook;
  }
  if (Current) {
    Body = Current(Request);
    return;
  }
  THttpsCall Call{Request.Method,
                  Request.Host,
                  Request.Path,
                  Request.Headers,
                  Request.Method == "POST" ? &Request.Data : nullptr,
                  Request.Http11,
                  Request.HeaderLines,
                  StatusLine};
  PerformHttpsCall(Call, TransportSettings(), Body);
}

}  // namespace

void SetTransportHook(TTransportHook NewHook) {
  std::lock_guard L(Hook().Mutex);
  Hook().Hook = std::move(NewHook);
}

void Https_Get(const std::string& Host, const std::string& Path, std::string& Body) {
  Body.clear();
  Send({"GET", Host, Path, {}, {}, false, {}}, Body);
}

void Https_Post(const std::string& Host, const std::string& Path, const std::string& Headers,
                const std::string& Data, std::string& Body) {
  Body.clear();
  Send({"POST", Host, Path, Headers, Data, false, {}}, Body);
}

void Https_Post11(const std::string& Host, const std::string& Path,
                  const std::vector<std::string>& HeaderLines, const std::string& Data,
                  std::string& Body, std::string& StatusLine) {
  Body.clear();
  StatusLine.clear();
  Send({"POST", Host, Path, {}, Data, true, HeaderLines}, Body, &StatusLine);
}

void Https_Get11(const std::string& Host, const std::string& Path,
                 const std::vector<std::string>& HeaderLines, std::string& Body) {
  Body.clear();
  Send({"GET", Host, Path, {}, {}, true, HeaderLines}, Body);
}

void Https_Post11(const std::string& Host, const std::string& Path,
                  const std::vector<std::string>& HeaderLines, const std::string& Data,
                  std::string& Body) {
  Body.clear();
  Send({"POST", Host, Path, {}, Data, true, HeaderLines}, Body);
}

}  // namespace zelk::IWZelkAuthBase
