// Https_Get and Https_Post, and TTransport: check the caller's input, then hand the call to the
// caller's own transport when it has one, else to the test hook when one is set, else to the
// network (CurlCall.cpp).
//
// The checks come first and apply to the hook too, so that a client under unit test fails the
// way it would in production. Nothing is sent when they fail.
#include <curl/curl.h>

#include <chrono>
#include <exception>

#include "core/IWZelkAuthBase.h"
#include "core/Trace.h"
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

// The provider a call goes to: the flow's, else the one whose endpoint the host is.
std::string ProviderOfCall(const std::string& Host) {
  if (std::string P = TraceProvider(); !P.empty()) return P;
  if (std::string P = ProviderOfHost(Host); !P.empty()) return P;
  return Host;
}

// The step a call belongs to: the flow's, else what its target says.
std::string StepOfCall(const TTransportRequest& Request, const std::string& Provider) {
  if (std::string S = TraceStep(); !S.empty()) return S;
  const std::string P = Request.Path.substr(0, Request.Path.find('?'));
  if (std::string S = ProviderStepOfPath(Provider, P); !S.empty()) return S;
  if (P.find("request_token") != std::string::npos) return "request token";
  if (P.find("token") != std::string::npos) return "token exchange";
  if (Request.Method == "POST" &&
      (P.find("feed") != std::string::npos || P.find("update") != std::string::npos ||
       P.find("tweets") != std::string::npos))
    return "post";
  return "profile";
}

// The decoded redirect_uri a request carries in its target or body; empty when none.
std::string RedirectURIOf(const TTransportRequest& Request) {
  for (const std::string* Text : {&Request.Path, &Request.Data}) {
    std::size_t At = 0;
    while ((At = Text->find("redirect_uri=", At)) != std::string::npos) {
      if (At == 0 || (*Text)[At - 1] == '&' || (*Text)[At - 1] == '?') {
        const std::size_t Start = At + 13;
        const std::size_t End = Text->find('&', Start);
        return web::DecodeQueryComponent(
            Text->substr(Start, End == std::string::npos ? End : End - Start));
      }
      At += 13;
    }
  }
  return {};
}

std::string HeadersOf(const TTransportRequest& Request) {
  std::string All = Request.Headers;
  for (const std::string& Line : Request.HeaderLines)
    All += (All.empty() ? "" : "; ") + Line;
  return All;
}

// Body has been emptied by the caller; it receives the reply as it arrives. Via: the caller's
// own transport, which takes the place of the hook and the network.
void SendCall(const TTransportRequest& Request, std::string& Body,
              std::string* StatusLine = nullptr, const TTransportFunction* Via = nullptr) {
  CheckRequest(Request);
  TTransportHook Current;
  if (Via == nullptr) {
    std::lock_guard L(Hook().Mutex);
    Current = Hook().Hook;
  }
  const std::string Provider = ProviderOfCall(Request.Host);
  const auto Started = std::chrono::steady_clock::now();
  long Status = 0;
  std::string Error;
  std::exception_ptr Failure;
  try {
    if (Via != nullptr) {
      THttpReply Reply = (*Via)(Request);
      Body = std::move(Reply.Body);
      if (StatusLine != nullptr) *StatusLine = std::move(Reply.StatusLine);
    } else if (Current) {
      Body = Current(Request);
    } else {
      THttpsCall Call{Request.Method,
                      Request.Host,
                      Request.Path,
                      Request.Headers,
                      Request.Method == "POST" ? &Request.Data : nullptr,
                      Request.Http11,
                      Request.HeaderLines,
                      StatusLine};
      Status = PerformHttpsCall(Call, TransportSettings(), Body);
    }
  } catch (const rtl::Exception& E) {
    Error = E.Message();
    Failure = std::current_exception();
    CountTransportError(Provider);
  }
  const long Elapsed = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             std::chrono::steady_clock::now() - Started)
                                             .count());
  if (Error.empty()) CountCall(Provider, Elapsed);
  if (TraceEnabled()) {
    TTraceEvent Event;
    Event.Flow = TraceFlow();
    Event.Provider = Provider;
    Event.Step = StepOfCall(Request, Provider);
    Event.Method = Request.Method;
    Event.Host = Request.Host;
    Event.Path = Request.Path;
    Event.Headers = HeadersOf(Request);
    Event.RedirectURI = RedirectURIOf(Request);
    Event.Status = Status;
    Event.ElapsedMs = Elapsed;
    Event.Request = Request.Data;
    Event.Reply = Body;
    Event.Error = Error;
    Trace(Event);
  }
  if (Failure) std::rethrow_exception(Failure);
}

}  // namespace

long THttpReply::Status() const {
  // "HTTP/1.1 201 Created": the three digits after the first blank.
  const auto Blank = StatusLine.find(' ');
  if (Blank == std::string::npos || StatusLine.size() < Blank + 4) return 0;
  long Code = 0;
  for (std::size_t I = Blank + 1; I < Blank + 4; ++I) {
    const char C = StatusLine[I];
    if (C < '0' || C > '9') return 0;
    Code = Code * 10 + (C - '0');
  }
  if (StatusLine.size() > Blank + 4 && StatusLine[Blank + 4] != ' ') return 0;
  return Code;
}

THttpReply TTransport::Send(const TTransportRequest& Request) const {
  THttpReply Reply;
  SendCall(Request, Reply.Body, &Reply.StatusLine, FVia ? &FVia : nullptr);
  return Reply;
}

THttpReply TTransport::Get(const std::string& Host, const std::string& Path) const {
  return Send({"GET", Host, Path, {}, {}, false, {}});
}

THttpReply TTransport::Post(const std::string& Host, const std::string& Path,
                            const std::string& Header, const std::string& Data) const {
  return Send({"POST", Host, Path, Header, Data, false, {}});
}

THttpReply TTransport::Get11(const std::string& Host, const std::string& Path,
                             const std::vector<std::string>& HeaderLines) const {
  return Send({"GET", Host, Path, {}, {}, true, HeaderLines});
}

THttpReply TTransport::Post11(const std::string& Host, const std::string& Path,
                              const std::vector<std::string>& HeaderLines,
                              const std::string& Data) const {
  return Send({"POST", Host, Path, {}, Data, true, HeaderLines});
}

void SetTransportHook(TTransportHook NewHook) {
  std::lock_guard L(Hook().Mutex);
  Hook().Hook = std::move(NewHook);
}

void Https_Get(const std::string& Host, const std::string& Path, std::string& Body) {
  Body.clear();
  SendCall({"GET", Host, Path, {}, {}, false, {}}, Body);
}

void Https_Post(const std::string& Host, const std::string& Path, const std::string& Headers,
                const std::string& Data, std::string& Body) {
  Body.clear();
  SendCall({"POST", Host, Path, Headers, Data, false, {}}, Body);
}

void Https_Post11(const std::string& Host, const std::string& Path,
                  const std::vector<std::string>& HeaderLines, const std::string& Data,
                  std::string& Body, std::string& StatusLine) {
  Body.clear();
  StatusLine.clear();
  SendCall({"POST", Host, Path, {}, Data, true, HeaderLines}, Body, &StatusLine);
}

void Https_Get11(const std::string& Host, const std::string& Path,
                 const std::vector<std::string>& HeaderLines, std::string& Body) {
  Body.clear();
  SendCall({"GET", Host, Path, {}, {}, true, HeaderLines}, Body);
}

void Https_Post11(const std::string& Host, const std::string& Path,
                  const std::vector<std::string>& HeaderLines, const std::string& Data,
                  std::string& Body) {
  Body.clear();
  SendCall({"POST", Host, Path, {}, Data, true, HeaderLines}, Body);
}

}  // namespace zelk::IWZelkAuthBase
