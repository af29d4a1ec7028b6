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
#include "payments/PayPalHosts.h"
#include "platform/rtl/SysUtils.h"
#include "platform/web/engine/HttpEngine.h"
#include "providers/FacebookHosts.h"
#include "providers/GoogleHosts.h"
#include "providers/TwitterHosts.h"
#include "providers/WindowsLiveHosts.h"
#include "sim/Certificates.h"

namespace zelk::sim {

namespace {

using IWZelkAuthBase::TProviderHost;

constexpr std::array<TProviderId, kProviderCount> kProviders{
    TProviderId::Google, TProviderId::Facebook, TProviderId::WindowsLive, TProviderId::Twitter,
    TProviderId::PayPal};

std::size_t IndexOf(TProviderId P) {
  return static_cast<std::size_t>(P);
}

// The listener that plays the provider behind each entry of the endpoint table. Naming every
// setting here also links every provider unit's settings into the simulator.
TProviderId OwnerOf(TProviderHost H) {
  using namespace IWZelkAuthBase;
  const std::pair<TProviderHost, TProviderId> Owners[] = {
      {phFacebookWeb, TProviderId::Facebook},
      {phFacebookGraph, TProviderId::Facebook},
      {phFacebookRest, TProviderId::Facebook},
      {phGoogleAccounts, TProviderId::Google},
      {phGoogleApis, TProviderId::Google},
      {phGoogleOAuth2, TProviderId::Google},
      {phGoogleOpenId, TProviderId::Google},
      {phWindowsLiveLogin, TProviderId::WindowsLive},
      {phWindowsLiveApis, TProviderId::WindowsLive},
      {phMicrosoftLogin, TProviderId::WindowsLive},
      {phMicrosoftGraph, TProviderId::WindowsLive},
      {phTwitterApi, TProviderId::Twitter},
      {phXApi, TProviderId::Twitter},
      {phPayPalLiveNvp, TProviderId::PayPal},
      {phPayPalSandboxNvp, TProviderId::PayPal},
      {phPayPalLiveWeb, TProviderId::PayPal},
      {phPayPalSandboxWeb, TProviderId::PayPal},
      {phPayPalLiveRest, TProviderId::PayPal},
      {phPayPalSandboxRest, TProviderId::PayPal}};
  for (const auto& [Host, Owner] : Owners)
    if (Host == H) return Owner;
  return TProviderId::Google;
}

TSimRequest Record(const web::engine::TEngineRequest& Req) {
  TSimRequest R;
  R.Method = Req.Method;
  R.Target = Req.Target;
  const auto Question = R.Target.find('?');
  R.Path = R.Target.substr(0, Question);
  if (Question != std::string::npos) R.Query = DecodeForm(R.Target.substr(Question + 1));
  R.Version = Req.Version;
  R.Headers = Req.Headers;
  R.Body = Req.Body;
  R.ConnectionRequest = Req.ConnectionRequest;
  R.TlsResumed = Req.TlsResumed;
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

// The head of an answer written piece by piece: status line, the reply's header lines, Type and
// Framing ("Content-Length: 10" or "Transfer-Encoding: chunked"). The connection ends with it.
std::string RawHead(int Status, const std::vector<std::pair<std::string, std::string>>& Headers,
                    const std::string& Type, const std::string& Framing) {
  std::string H =
      "HTTP/1.1 " + std::to_string(Status) + " " + web::engine::ReasonPhrase(Status) + "\r\n";
  for (const auto& [Name, Value] : Headers)
    H.append(Name).append(": ").append(Value).append("\r\n");
  H.append("Content-Type: ").append(Type).append("\r\n").append(Framing);
  return H.append("\r\nConnection: close\r\n\r\n");
}

std::string Hex(std::size_t N) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string S;
  do {
    S.insert(S.begin(), kDigits[N % 16]);
    N /= 16;
  } while (N > 0);
  return S;
}

std::string ContentTypeFor(const std::string& Body) {
  return !Body.empty() && Body.front() == '{' ? "application/json" : "text/plain";
}

}  // namespace

struct Simulator::TImpl {
  struct TListener {
    std::unique_ptr<web::engine::THttpEngine> Server;
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

  void Dispatch(TProviderId Provider, const web::engine::TEngineRequest& Req,
                web::engine::TEngineResponse& Res, web::engine::TEngineConnection& Connection);
  void Answer(const TSimRequest& Request, const TSimResponse& Reply, const TFault& Fault,
              web::engine::TEngineResponse& Res, web::engine::TEngineConnection& Connection);
  void StartListener(TProviderId Provider);
  void StopListeners();
};

void Simulator::TImpl::Dispatch(TProviderId Provider, const web::engine::TEngineRequest& Req,
                                web::engine::TEngineResponse& Res,
                                web::engine::TEngineConnection& Connection) {
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
         Request.Body.find(It->second.When) != std::string::npos)) {
      if (It->second.Pass > 0)
        --It->second.Pass;
      else
        Fault = It->second;
    }
  }
  using enum TFault::TKind;
  if (Fault.Kind == Reset || (Fault.Kind == DropKept && Request.ConnectionRequest > 1)) {
    Connection.Reset();
    return;
  }
  if (Fault.Kind == Delay && !Wait(Fault.Delay)) {
    Res.Status = 503;
    Res.Headers.emplace_back("Content-Type", "text/plain");
    Res.Body = "simulator stopping";
    return;
  }
  if (Fault.Kind == Status) {
    Answer(Request, TSimResponse::Text(Fault.Body, ContentTypeFor(Fault.Body), Fault.Status), Fault,
           Res, Connection);
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
  // What the handler did stands; only its answer never leaves.
  if (Fault.Kind == AnswerLost) {
    Connection.Reset();
    return;
  }
  Answer(Request, Reply, Fault, Res, Connection);
}

void Simulator::TImpl::Answer(const TSimRequest& Request, const TSimResponse& Reply,
                              const TFault& Fault, web::engine::TEngineResponse& Res,
                              web::engine::TEngineConnection& Connection) {
  using enum TFault::TKind;
  const std::string Type =
      Reply.ContentType.empty() ? "application/octet-stream" : Reply.ContentType;

  switch (Fault.Kind) {
    case CloseMidBody: {
      const std::string& Body = Fault.Body.empty() ? Reply.Body : Fault.Body;
      const std::size_t Cut =
          Fault.Size > 0 && Fault.Size < Body.size() ? Fault.Size : Body.size() / 2;
      // The whole length is announced, part of it sent, and the connection closed.
      Connection.WriteRaw(RawHead(Reply.Status, Reply.Headers, Type,
                                  "Content-Length: " + std::to_string(Body.size())) +
                          Body.substr(0, Cut));
      return;
    }
    case Chunked: {
      const std::string& Body = Reply.Body;
      const std::size_t Piece = Fault.Size > 0 ? Fault.Size : 16;
      const bool Chunks = Request.Version == "HTTP/1.1";
      if (!Connection.WriteRaw(RawHead(Reply.Status, Reply.Headers, Type,
                                       Chunks ? std::string("Transfer-Encoding: chunked")
                                              : "Content-Length: " + std::to_string(Body.size()))))
        return;
      for (std::size_t Offset = 0; Offset < Body.size(); Offset += Piece) {
        if (Fault.Delay.count() > 0 && !Wait(Fault.Delay)) return;
        const std::string Part = Body.substr(Offset, Piece);
        if (!Connection.WriteRaw(Chunks ? Hex(Part.size()) + "\r\n" + Part + "\r\n" : Part)) return;
      }
      if (Chunks) Connection.WriteRaw("0\r\n\r\n");
      return;
    }
    case LargeBody: {
      if (!Connection.WriteRaw(RawHead(Reply.Status, Reply.Headers, "application/octet-stream",
                                       "Content-Length: " + std::to_string(Fault.Size))))
        return;
      std::string Block;
      for (std::size_t Offset = 0; Offset < Fault.Size; Offset += Block.size()) {
        Block.resize(std::min<std::size_t>(Fault.Size - Offset, std::size_t{64} * 1024));
        for (std::size_t I = 0; I < Block.size(); ++I)
          Block[I] = LargeBodyByte(Offset + I);
        if (!Connection.WriteRaw(Block)) return;
      }
      return;
    }
    default:
      Res.Status = Reply.Status;
      Res.Headers = Reply.Headers;
      if (!Reply.ContentType.empty()) Res.Headers.emplace_back("Content-Type", Reply.ContentType);
      Res.Body = Reply.Body;
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
  web::engine::TEngineOptions O;
  O.BindAddress = "127.0.0.1";
  O.Port = 0;
  O.Certificate = Certificates->Server.get();
  O.PrivateKey = Certificates->ServerKey.get();
  bool TlsRefused = false;
  if (const auto Versions = TlsVersions[IndexOf(Provider)]) {
    O.ConfigureTls = [Versions, Provider, &TlsRefused](SSL_CTX* Context) {
      if (LimitTlsVersions(Context, Versions->first, Versions->second)) return;
      TlsRefused = true;
      throw rtl::Exception("The " + ProviderName(Provider) +
                           " simulator cannot limit its TLS versions");
    };
  }
  // One event-loop thread per provider; handlers are quick but for the fault modes' waits.
  O.IoThreadCount = 1;
  O.WorkerCount = 64;
  // Short waits on idle connections keep Stop quick.
  O.KeepAliveTimeout = std::chrono::seconds(1);
  O.HeadTimeout = std::chrono::seconds(5);
  O.BodyTimeout = std::chrono::seconds(5);
  O.WriteTimeout = std::chrono::seconds(5);
  O.MaxBodyBytes = std::size_t{16} << 20;
  // Load tests reach it from one address with many connections.
  O.MaxConnectionsPerAddress = 20000;
  L.Server = std::make_unique<web::engine::THttpEngine>(
      std::move(O),
      [this, Provider](const web::engine::TEngineRequest& Req, web::engine::TEngineResponse& Res,
                       web::engine::TEngineConnection& Connection) {
        Dispatch(Provider, Req, Res, Connection);
      });
  try {
    L.Server->Start();
  } catch (const rtl::Exception& E) {
    if (TlsRefused) throw;
    throw rtl::Exception("The " + ProviderName(Provider) +
                         " simulator cannot start: " + E.Message());
  }
  L.Port = L.Server->Port();
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
    if (L.Server) L.Server->Stop();
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
  for (const TProviderHost H : IWZelkAuthBase::ProviderHosts()) {
    if (!S.empty()) S += ',';
    // The current X API shares the Twitter listener under its own host name, so that its
    // endpoints, whose paths the classic API uses too, can be told apart.
    S += IWZelkAuthBase::ProviderHostKey(H) + "=" +
         (H == IWZelkAuthBase::phXApi ? "localhost:" + std::to_string(Port(TProviderId::Twitter))
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

TSimCounters Simulator::Counters(TProviderId Provider) const {
  TSimCounters C;
  const auto& L = FImpl->Listeners[IndexOf(Provider)];
  if (!FImpl->Running || !L.Server) return C;
  const web::engine::TEngineCounters E = L.Server->Counters();
  C.Connections = E.Connections;
  C.Handshakes = E.Handshakes;
  C.ResumedHandshakes = E.ResumedHandshakes;
  return C;
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
