// The simulator's plumbing: one HTTPS listener per provider, routing, the request log and the
// fault modes.
#include "sim/Simulator.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <tuple>

#include <openssl/ssl.h>

#include "core/IWZelkAuthBase.h"
#include "platform/rtl/SysUtils.h"
#include "sim/Certificates.h"
#include "sim/SimServer.h"

namespace zelk::sim {

namespace {

using IWZelkAuthBase::TProviderHost;

constexpr std::array<TProviderId, kProviderCount> kProviders{
    TProviderId::Google, TProviderId::Facebook, TProviderId::WindowsLive, TProviderId::Twitter,
    TProviderId::PayPal};

std::size_t IndexOf(TProviderId P) {
  return static_cast<std::size_t>(P);
}

// The listener that plays the provider behind each entry of the endpoint table.
TProviderId OwnerOf(TProviderHost H) {
  using enum TProviderHost;
  switch (H) {
    case phFacebookWeb:
    case phFacebookGraph:
    case phFacebookRest:
      return TProviderId::Facebook;
    case phGoogleAccounts:
    case phGoogleApis:
    case phGoogleOAuth2:
    case phGoogleOpenId:
      return TProviderId::Google;
    case phWindowsLiveLogin:
    case phWindowsLiveApis:
    case phMicrosoftLogin:
    case phMicrosoftGraph:
      return TProviderId::WindowsLive;
    case phTwitterApi:
    case phXApi:
      return TProviderId::Twitter;
    case phPayPalLiveNvp:
    case phPayPalSandboxNvp:
    case phPayPalLiveWeb:
    case phPayPalSandboxWeb:
      return TProviderId::PayPal;
  }
  return TProviderId::Google;
}

// The header lines of a raw request head, in order, values as sent (blanks around them cut).
std::vector<std::pair<std::string, std::string>> HeadersOf(std::string_view Head) {
  std::vector<std::pair<std::string, std::string>> Headers;
  auto Line = Head.find("\r\n");
  while (Line != std::string_view::npos) {
    const auto Start = Line + 2;
    const auto End = Head.find("\r\n", Start);
    if (End == std::string_view::npos || End == Start) break;
    const std::string_view Text = Head.substr(Start, End - Start);
    const auto Colon = Text.find(':');
    if (Colon != std::string_view::npos) {
      std::string_view Value = Text.substr(Colon + 1);
      while (!Value.empty() && (Value.front() == ' ' || Value.front() == '\t'))
        Value.remove_prefix(1);
      while (!Value.empty() && (Value.back() == ' ' || Value.back() == '\t'))
        Value.remove_suffix(1);
      Headers.emplace_back(std::string(Text.substr(0, Colon)), std::string(Value));
    }
    Line = End;
  }
  return Headers;
}

TSimRequest Record(const httplib::Request& Req) {
  TSimRequest R;
  R.Method = Req.method;
  // The target as sent: httplib's may have a "?" of the query masked (TSimServer).
  const std::string Head = TSimServer::CurrentRawHead();
  const std::string Line = Head.substr(0, Head.find("\r\n"));
  const auto TargetStart = Line.find(' ');
  const auto TargetEnd = Line.find(' ', TargetStart + 1);
  R.Target = TargetStart != std::string::npos && TargetEnd != std::string::npos
                 ? Line.substr(TargetStart + 1, TargetEnd - TargetStart - 1)
                 : Req.target;
  const auto Question = R.Target.find('?');
  R.Path = R.Target.substr(0, Question);
  if (Question != std::string::npos) R.Query = DecodeForm(R.Target.substr(Question + 1));
  R.Version = Req.version;
  // httplib's parsed headers are percent-decoded and sorted: the raw head has them as sent.
  R.Headers = HeadersOf(Head);
  R.Body = Req.body;
  return R;
}

// True when Path matches Pattern segment by segment, a "*" segment of Pattern standing for any
// one non-empty segment of Path. A pattern without "*" matches nothing here: exact routes are
// looked up first.
bool MatchesPattern(std::string_view Pattern, std::string_view Path) {
  if (Pattern.find('*') == std::string_view::npos) return false;
  for (;;) {
    const std::size_t PEnd = Pattern.find('/');
    const std::size_t TEnd = Path.find('/');
    const std::string_view PSeg = Pattern.substr(0, PEnd);
    const std::string_view TSeg = Path.substr(0, TEnd);
    if (PSeg == "*" ? TSeg.empty() : PSeg != TSeg) return false;
    if (PEnd == std::string_view::npos || TEnd == std::string_view::npos)
      return PEnd == std::string_view::npos && TEnd == std::string_view::npos;
    Pattern.remove_prefix(PEnd + 1);
    Path.remove_prefix(TEnd + 1);
  }
}

std::string ContentTypeFor(const std::string& Body) {
  return !Body.empty() && Body.front() == '{' ? "application/json" : "text/plain";
}

}  // namespace

struct Simulator::TImpl {
  struct TListener {
    std::unique_ptr<TSimServer> Server;
    std::thread Thread;
    int Port = 0;
  };

  mutable std::mutex Mutex;  // guards everything below but the listeners
  std::map<std::tuple<std::size_t, std::string, std::string>, TSimHandler> Routes;
  std::map<std::pair<std::size_t, std::string>, TFault> Faults;
  std::array<std::vector<TSimRequest>, kProviderCount> Received;
  std::array<int, kProviderCount> Ports{};
  bool Stopping = false;
  std::condition_variable StopSignal;  // wakes delayed replies when the simulator stops

  std::optional<TCertificateSet> Certificates;
  std::array<TListener, kProviderCount> Listeners;
  // Per listener, the TLS versions it offers when limited (applied at Start).
  std::array<std::optional<std::pair<TTlsVersion, TTlsVersion>>, kProviderCount> TlsVersions;
  bool Running = false;

  // Waits For, or less when the simulator stops. False when it stopped.
  bool Wait(std::chrono::milliseconds For) {
    std::unique_lock L(Mutex);
    return !StopSignal.wait_for(L, For, [this] { return Stopping; });
  }

  void Dispatch(TProviderId Provider, const httplib::Request& Req, httplib::Response& Res);
  void Answer(const TSimRequest& Request, const TSimResponse& Reply, const TFault& Fault,
              httplib::Response& Res);
  void StartListener(TProviderId Provider);
  void StopListeners();
};

void Simulator::TImpl::Dispatch(TProviderId Provider, const httplib::Request& Req,
                                httplib::Response& Res) {
  const std::size_t P = IndexOf(Provider);
  TSimRequest Request = Record(Req);
  TSimHandler Handler;
  TFault Fault;
  {
    std::lock_guard L(Mutex);
    Received[P].push_back(Request);
    if (auto It = Routes.find({P, Request.Method, Request.Path}); It != Routes.end())
      Handler = It->second;
    else
      for (const auto& [Key, H] : Routes)
        if (std::get<0>(Key) == P && std::get<1>(Key) == Request.Method &&
            MatchesPattern(std::get<2>(Key), Request.Path)) {
          Handler = H;
          break;
        }
    if (auto It = Faults.find({P, Request.Path});
        It != Faults.end() &&
        (It->second.When.empty() || Request.Target.find(It->second.When) != std::string::npos ||
         Request.Body.find(It->second.When) != std::string::npos))
      Fault = It->second;
  }
  using enum TFault::TKind;
  if (Fault.Kind == Reset) {
    TSimServer::ResetCurrentConnection();
    return;
  }
  if (Fault.Kind == Delay && !Wait(Fault.Delay)) {
    Res.status = 503;
    Res.set_content("simulator stopping", "text/plain");
    return;
  }
  if (Fault.Kind == Status) {
    Answer(Request, TSimResponse::Text(Fault.Body, ContentTypeFor(Fault.Body), Fault.Status), Fault,
           Res);
    return;
  }
  TSimResponse Reply;
  if (!Handler) {
    Reply = TSimResponse::Text("{\"error\":\"not_found\",\"error_description\":\"No route for " +
                                   Request.Method + " " + Request.Path + " on the " +
                                   ProviderName(Provider) + " simulator\"}",
                               "application/json", 404);
  } else {
    try {
      Reply = Handler(Request);
    } catch (const std::exception& E) {
      Reply = TSimResponse::Text(std::string("Simulator handler failed: ") + E.what(), "text/plain",
                                 500);
    }
  }
  Answer(Request, Reply, Fault, Res);
}

void Simulator::TImpl::Answer(const TSimRequest& Request, const TSimResponse& Reply,
                              const TFault& Fault, httplib::Response& Res) {
  using enum TFault::TKind;
  Res.status = Reply.Status;
  for (const auto& [Name, Value] : Reply.Headers)
    Res.set_header(Name, Value);
  const std::string Type =
      Reply.ContentType.empty() ? "application/octet-stream" : Reply.ContentType;

  switch (Fault.Kind) {
    case CloseMidBody: {
      auto Body = std::make_shared<std::string>(Fault.Body.empty() ? Reply.Body : Fault.Body);
      const std::size_t Cut =
          Fault.Size > 0 && Fault.Size < Body->size() ? Fault.Size : Body->size() / 2;
      // Returning false after the partial write makes the server drop the connection.
      Res.set_content_provider(Body->size(), Type,
                               [Body, Cut](std::size_t, std::size_t, httplib::DataSink& Sink) {
                                 if (Cut > 0) Sink.write(Body->data(), Cut);
                                 return false;
                               });
      return;
    }
    case Chunked: {
      auto Body = std::make_shared<std::string>(Reply.Body);
      const std::size_t Piece = Fault.Size > 0 ? Fault.Size : 16;
      const auto Pause = Fault.Delay;
      if (Request.Version == "HTTP/1.1") {
        Res.set_chunked_content_provider(
            Type, [this, Body, Piece, Pause](std::size_t Offset, httplib::DataSink& Sink) {
              if (Offset >= Body->size()) {
                Sink.done();
                return true;
              }
              if (Pause.count() > 0 && !Wait(Pause)) return false;
              return Sink.write(Body->data() + Offset, std::min(Piece, Body->size() - Offset));
            });
      } else {
        Res.set_content_provider(Body->size(), Type,
                                 [this, Body, Piece, Pause](std::size_t Offset, std::size_t Length,
                                                            httplib::DataSink& Sink) {
                                   if (Pause.count() > 0 && !Wait(Pause)) return false;
                                   return Sink.write(Body->data() + Offset,
                                                     std::min(Piece, Length));
                                 });
      }
      return;
    }
    case LargeBody: {
      Res.set_content_provider(Fault.Size, "application/octet-stream",
                               [](std::size_t Offset, std::size_t Length, httplib::DataSink& Sink) {
                                 std::string Block(
                                     std::min<std::size_t>(Length, std::size_t{64} * 1024), '\0');
                                 for (std::size_t I = 0; I < Block.size(); ++I)
                                   Block[I] = LargeBodyByte(Offset + I);
                                 return Sink.write(Block.data(), Block.size());
                               });
      return;
    }
    default:
      if (Reply.ContentType.empty())
        Res.body = Reply.Body;
      else
        Res.set_content(Reply.Body, Reply.ContentType);
  }
}

namespace {

int ProtocolVersion(TTlsVersion V) {
  switch (V) {
    case TTlsVersion::Tls1_0:
      return TLS1_VERSION;
    case TTlsVersion::Tls1_1:
      return TLS1_1_VERSION;
    case TTlsVersion::Tls1_2:
      return TLS1_2_VERSION;
    case TTlsVersion::Tls1_3:
      return TLS1_3_VERSION;
  }
  return TLS1_3_VERSION;
}

// Limits the versions the context offers. Below TLS 1.2 the system's default security level
// refuses the handshake itself, so the listener drops to level 0 for those.
bool LimitTlsVersions(SSL_CTX* Context, TTlsVersion Min, TTlsVersion Max) {
  if (SSL_CTX_set_min_proto_version(Context, ProtocolVersion(Min)) != 1 ||
      SSL_CTX_set_max_proto_version(Context, ProtocolVersion(Max)) != 1)
    return false;
  return Min >= TTlsVersion::Tls1_2 || SSL_CTX_set_cipher_list(Context, "DEFAULT:@SECLEVEL=0") == 1;
}

}  // namespace

void Simulator::TImpl::StartListener(TProviderId Provider) {
  TListener& L = Listeners[IndexOf(Provider)];
  L.Server =
      std::make_unique<TSimServer>(Certificates->Server.get(), Certificates->ServerKey.get());
  if (!L.Server->is_valid())
    throw rtl::Exception("The " + ProviderName(Provider) +
                         " simulator cannot set up TLS with its certificate");
  if (const auto& Versions = TlsVersions[IndexOf(Provider)];
      Versions && !LimitTlsVersions(L.Server->ssl_context(), Versions->first, Versions->second))
    throw rtl::Exception("The " + ProviderName(Provider) +
                         " simulator cannot limit its TLS versions");
  const httplib::Server::Handler Handler = [this, Provider](const httplib::Request& Req,
                                                            httplib::Response& Res) {
    Dispatch(Provider, Req, Res);
  };
  L.Server->Get(".*", Handler);
  L.Server->Post(".*", Handler);
  L.Server->Put(".*", Handler);
  L.Server->Patch(".*", Handler);
  L.Server->Delete(".*", Handler);
  L.Server->Options(".*", Handler);
  // Short waits on idle connections keep Stop quick.
  L.Server->set_keep_alive_timeout(1);
  L.Server->set_read_timeout(5, 0);
  L.Server->set_write_timeout(5, 0);
  // Applied to the listening socket only, which is how its descriptor is known here.
  int ListenSocket = -1;
  L.Server->set_socket_options([&ListenSocket](socket_t Socket) {
    const int Yes = 1;
    setsockopt(Socket, SOL_SOCKET, SO_REUSEADDR, &Yes, sizeof Yes);
    ListenSocket = Socket;
  });
  L.Port = L.Server->bind_to_any_port("127.0.0.1");
  if (L.Port <= 0)
    throw rtl::Exception("The " + ProviderName(Provider) + " simulator cannot listen on 127.0.0.1");
  // The HTTP library's queue of 5 connections not yet accepted drops the SYN of the sixth
  // client that connects at once (every provider call is a new connection), which then waits a
  // second to retry: listen again with the system's limit.
  if (ListenSocket >= 0) ::listen(ListenSocket, SOMAXCONN);
  // The socket accepts connections from here on; the accept loop must run before Stop may
  // call stop(), which does nothing to a server that is not running yet.
  std::promise<void> Finished;
  auto Done = Finished.get_future();
  TSimServer* Server = L.Server.get();
  L.Thread = std::thread([Server, Finished = std::move(Finished)]() mutable {
    Server->listen_after_bind();
    Finished.set_value();
  });
  while (!Server->is_running()) {
    if (Done.wait_for(std::chrono::seconds(0)) == std::future_status::ready)
      throw rtl::Exception("The " + ProviderName(Provider) + " simulator stopped at start-up");
    std::this_thread::yield();
  }
  std::lock_guard G(Mutex);
  Ports[IndexOf(Provider)] = L.Port;
}

void Simulator::TImpl::StopListeners() {
  {
    std::lock_guard G(Mutex);
    Stopping = true;
    Ports.fill(0);
  }
  StopSignal.notify_all();
  for (TListener& L : Listeners) {
    if (L.Server) L.Server->stop();
    if (L.Thread.joinable()) L.Thread.join();
    L.Server.reset();
    L.Port = 0;
  }
  std::lock_guard G(Mutex);
  Stopping = false;
}

Simulator::Simulator() : FImpl(std::make_unique<TImpl>()) {}

Simulator::~Simulator() {
  Stop();
}

void Simulator::Start() {
  if (FImpl->Running) throw rtl::Exception("The simulator is already running");
  if (!FImpl->Certificates)
    FImpl->Certificates = MakeCertificates({"localhost"}, {"127.0.0.1"}, "Zelk Simulator CA");
  try {
    for (const TProviderId P : kProviders)
      FImpl->StartListener(P);
  } catch (...) {
    FImpl->StopListeners();
    throw;
  }
  FImpl->Running = true;
}

void Simulator::SetTlsVersions(TProviderId Provider, TTlsVersion Min, TTlsVersion Max) {
  if (Min > Max)
    throw rtl::Exception("The " + ProviderName(Provider) +
                         " simulator's lowest TLS version is above its highest");
  FImpl->TlsVersions[IndexOf(Provider)] = std::make_pair(Min, Max);
}

void Simulator::Stop() {
  if (!FImpl->Running) return;
  FImpl->StopListeners();
  FImpl->Running = false;
}

bool Simulator::Running() const {
  return FImpl->Running;
}

int Simulator::Port(TProviderId Provider) const {
  std::lock_guard L(FImpl->Mutex);
  return FImpl->Ports[IndexOf(Provider)];
}

std::string Simulator::HostFor(TProviderId Provider) const {
  const int P = Port(Provider);
  if (P == 0) throw rtl::Exception("The simulator is not running");
  return "127.0.0.1:" + std::to_string(P);
}

std::string Simulator::BaseURL(TProviderId Provider) const {
  return "https://" + HostFor(Provider);
}

std::string Simulator::CACertificatePEM() const {
  return FImpl->Certificates ? FImpl->Certificates->CAPem : std::string();
}

std::string Simulator::EndpointSettings() const {
  std::string S;
  for (int I = 0; I < IWZelkAuthBase::kProviderHostCount; ++I) {
    const auto H = static_cast<TProviderHost>(I);
    if (!S.empty()) S += ',';
    // The current X API shares the Twitter listener under its own host name, so that its
    // endpoints, whose paths the classic API uses too, can be told apart.
    S += IWZelkAuthBase::ProviderHostKey(H) + "=" +
         (H == TProviderHost::phXApi ? "localhost:" + std::to_string(Port(TProviderId::Twitter))
                                     : HostFor(OwnerOf(H)));
  }
  return S;
}

void Simulator::UseForThisProcess() {
  IWZelkAuthBase::SetProviderHosts(EndpointSettings());
  auto Settings = IWZelkAuthBase::TransportSettings();
  Settings.ExtraCACertificates = CACertificatePEM();
  IWZelkAuthBase::SetTransportSettings(Settings);
}

void Simulator::Route(TProviderId Provider, std::string Method, std::string Path,
                      TSimHandler Handler) {
  std::lock_guard L(FImpl->Mutex);
  FImpl->Routes[{IndexOf(Provider), std::move(Method), std::move(Path)}] = std::move(Handler);
}

void Simulator::SetFault(TProviderId Provider, std::string Path, TFault Fault) {
  std::lock_guard L(FImpl->Mutex);
  FImpl->Faults[{IndexOf(Provider), std::move(Path)}] = std::move(Fault);
}

void Simulator::ClearFaults() {
  std::lock_guard L(FImpl->Mutex);
  FImpl->Faults.clear();
}

std::vector<TSimRequest> Simulator::Received(TProviderId Provider) const {
  std::lock_guard L(FImpl->Mutex);
  return FImpl->Received[IndexOf(Provider)];
}

void Simulator::ClearReceived() {
  std::lock_guard L(FImpl->Mutex);
  for (auto& R : FImpl->Received)
    R.clear();
}

}  // namespace zelk::sim
