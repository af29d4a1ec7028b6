// The network path of the transport: one libcurl transfer per call, behind one RAII holder.
//
// What goes on the wire is fixed: the request line with "HTTP/1.0" (HTTP/1.1 for the calls of
// the current APIs), Host, the fixed user agent, the caller's header line or lines, and for POST
// the Content-Length and the body, nothing else of libcurl's own (no Accept, no default content
// type, no Expect). TLS 1.2 or newer, with certificate and host-name verification always on;
// HTTPS only; redirects are returned, never followed.
//
// Connections: a classic call opens its own and closes it; a current API's call may run on a
// connection kept from an earlier call to the same destination and leaves its own for the next
// (CurlShare.cpp). Both resume TLS sessions of earlier calls when allowed.
//
// The transfer runs on a multi handle of its own (or a kept one) so that a stall is measured to
// the millisecond: libcurl's own low-speed check counts whole seconds.
#include <curl/curl.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <array>
#include <limits>

#include "core/IWZelkAuthBase.h"
#include "core/TransportDetail.h"

namespace zelk::IWZelkAuthBase::detail {

namespace {

constexpr const char* kUserAgent =
    "Mozilla/5.001 (windows; U; NT4.0; en-US; rv:1.0) Gecko/25250101";

// libcurl's process-wide state: made before the first handle, released at exit.
struct TCurlGlobal {
  CURLcode Result;
  TCurlGlobal() : Result(curl_global_init(CURL_GLOBAL_DEFAULT)) {}
  ~TCurlGlobal() {
    if (Result == CURLE_OK) curl_global_cleanup();
  }
  TCurlGlobal(const TCurlGlobal&) = delete;
  TCurlGlobal& operator=(const TCurlGlobal&) = delete;
};

}  // namespace

void EnsureCurlGlobal() {
  static TCurlGlobal Global;  // initialised once, thread-safe
  if (Global.Result != CURLE_OK)
    RaiseTransportError(tsInternetOpen, Global.Result, curl_easy_strerror(Global.Result));
}

namespace {

struct TEasyRelease {
  void operator()(CURL* H) const noexcept { curl_easy_cleanup(H); }
};
struct TSlistRelease {
  void operator()(curl_slist* L) const noexcept { curl_slist_free_all(L); }
};

// What the callbacks see of a transfer. They run inside libcurl and must not throw.
struct TTransferState {
  std::string* Body = nullptr;
  std::size_t MaxBody = 0;
  X509_STORE* Store = nullptr;
  bool Overflow = false;
  bool OutOfMemory = false;
  long Status = 0;  // of the last status line seen
  bool HeadComplete = false;
  std::string* StatusLine = nullptr;  // receives the last status line, when asked for
  // Attempts to send the request: libcurl sends it again on a fresh connection when a kept one
  // turns out closed before any reply byte. MaxAttempts bounds that; 1 forbids it.
  int Attempts = 0;
  int MaxAttempts = 1;
  bool SendRefused = false;  // an attempt beyond MaxAttempts was stopped
  // libcurl's error text, and what it held when an attempt was stopped: the failure that made
  // libcurl want to send again (empty when the server closed without a byte).
  const char* ErrorText = nullptr;
  std::array<char, CURL_ERROR_SIZE> FirstError{};
};

std::size_t OnBody(char* Data, std::size_t Size, std::size_t Count, void* User) noexcept {
  auto& S = *static_cast<TTransferState*>(User);
  const std::size_t N = Size * Count;
  if (N > S.MaxBody - std::min(S.MaxBody, S.Body->size())) {
    S.Overflow = true;
    return 0;  // fails the transfer with CURLE_WRITE_ERROR
  }
  try {
    S.Body->append(Data, N);
  } catch (...) {
    S.OutOfMemory = true;
    return 0;
  }
  return N;
}

// Sees each line of the response head. The body starts after the blank line that ends a final
// (non-1xx) head.
std::size_t OnHeader(char* Data, std::size_t Size, std::size_t Count, void* User) noexcept {
  auto& S = *static_cast<TTransferState*>(User);
  const std::size_t N = Size * Count;
  const std::string_view Line(Data, N);
  if (Line.starts_with("HTTP/")) {
    S.HeadComplete = false;
    S.Status = 0;
    if (S.StatusLine != nullptr) {
      std::string_view Text = Line;
      while (!Text.empty() && (Text.back() == '\n' || Text.back() == '\r'))
        Text.remove_suffix(1);
      try {
        S.StatusLine->assign(Text.substr(0, 200));
      } catch (...) {
        S.OutOfMemory = true;
      }
    }
    const auto Blank = Line.find(' ');
    if (Blank != std::string_view::npos)
      for (std::size_t I = Blank + 1; I < Line.size() && Line[I] >= '0' && Line[I] <= '9'; ++I)
        S.Status = S.Status * 10 + (Line[I] - '0');
  } else if (Line == "\r\n" || Line == "\n") {
    if (S.Status >= 200) S.HeadComplete = true;
  }
  return N;
}

// Runs once the connection is ready (new or kept), right before the request goes out.
int OnBeforeRequest(void* User, char*, char*, int, int) noexcept {
  auto& S = *static_cast<TTransferState*>(User);
  if (++S.Attempts <= S.MaxAttempts) return CURL_PREREQFUNC_OK;
  S.SendRefused = true;
  if (S.ErrorText != nullptr)
    std::copy_n(S.ErrorText, S.FirstError.size() - 1, S.FirstError.data());
  return CURL_PREREQFUNC_ABORT;
}

// Hands the shared trust store to the TLS context libcurl made for this connection. libcurl was
// told not to read any CA file itself, so this store is all that is trusted.
CURLcode OnSslContext(CURL*, void* SslContext, void* User) noexcept {
  SSL_CTX_set1_cert_store(static_cast<SSL_CTX*>(SslContext),
                          static_cast<TTransferState*>(User)->Store);
  return CURLE_OK;
}

// A caller's header line as libcurl takes it: "Name:" with nothing after the colon would tell
// libcurl to drop the header, "Name;" sends it with an empty value.
std::string AsCurlHeader(const std::string& Line) {
  const auto Colon = Line.find(':');
  if (Line.find_first_not_of(" \t", Colon + 1) != std::string::npos) return Line;
  return Line.substr(0, Colon) + ";";
}

std::string HeaderName(const std::string& Line) {
  return Line.substr(0, Line.find(':'));
}

// A duration for libcurl's millisecond options, which take a long.
long AsLong(std::chrono::milliseconds Value) {
  return static_cast<long>(std::clamp<std::chrono::milliseconds::rep>(
      Value.count(), 0, std::numeric_limits<long>::max()));
}

using TClock = std::chrono::steady_clock;

// Owns every libcurl handle of one call and releases them on every path, the easy handle
// leaving its multi handle first.
class TCurlTransfer {
 public:
  TCurlTransfer(const THttpsCall& Call, const TTransportSettings& Settings, std::string& Body,
                X509_STORE* Store);
  ~TCurlTransfer() {
    if (FAttached && FMulti) curl_multi_remove_handle(FMulti.get(), FEasy.get());
  }
  TCurlTransfer(const TCurlTransfer&) = delete;
  TCurlTransfer& operator=(const TCurlTransfer&) = delete;

  void Perform();
  long Status() const { return FState.Status; }
  // After a successful transfer: gives a connection worth keeping back for the next call.
  void KeepConnection();

 private:
  void SetLong(CURLoption Option, long Value) {
    Check(curl_easy_setopt(FEasy.get(), Option, Value));
  }
  void SetOffset(CURLoption Option, curl_off_t Value) {
    Check(curl_easy_setopt(FEasy.get(), Option, Value));
  }
  void SetText(CURLoption Option, const char* Value) {
    Check(curl_easy_setopt(FEasy.get(), Option, Value));
  }
  template <class T>
  void SetPointer(CURLoption Option, T* Value) {
    Check(curl_easy_setopt(FEasy.get(), Option, Value));
  }
  void Check(CURLcode Code) {
    if (Code != CURLE_OK) RaiseTransportError(tsInternetOpen, Code, curl_easy_strerror(Code));
  }
  // The options of the call, by concern; Configure runs them in this order.
  void Configure();
  void ConfigureRequest();
  void ConfigureTls();
  void ConfigureLimits();
  void ConfigureHeaders();
  void AddHeader(const std::string& Line);
  // Drives the transfer until libcurl is done with it, the stall limit raising.
  void Drive();
  // Reads how the transfer ended and raises unless it succeeded.
  void Finish();
  curl_off_t InfoOffset(CURLINFO Info) const {
    curl_off_t V = 0;
    return curl_easy_getinfo(FEasy.get(), Info, &V) == CURLE_OK ? V : 0;
  }
  long InfoLong(CURLINFO Info) const {
    long V = 0;
    return curl_easy_getinfo(FEasy.get(), Info, &V) == CURLE_OK ? V : 0;
  }
  // A kept connection reports no TLS connect time: the request going out tells instead.
  bool Connected() const {
    return FState.Attempts > 0 || InfoOffset(CURLINFO_APPCONNECT_TIME_T) > 0;
  }
  // Everything that counts as the transfer moving: head and body bytes either way.
  curl_off_t Moved() const {
    return InfoOffset(CURLINFO_SIZE_DOWNLOAD_T) + InfoOffset(CURLINFO_SIZE_UPLOAD_T) +
           InfoLong(CURLINFO_HEADER_SIZE) + InfoLong(CURLINFO_REQUEST_SIZE);
  }
  // Whether libcurl's time-out was the call's deadline rather than the connect time-out: once
  // connected only the deadline applies; before, the nearer of the two struck. libcurl measures
  // on a clock of its own, to the millisecond, so the comparison allows a little for that.
  bool DeadlineStruck() const {
    if (Connected() || FSettings.ConnectTimeout >= FSettings.TotalTimeout) return true;
    return TClock::now() - FStarted + std::chrono::milliseconds(100) >= FSettings.TotalTimeout;
  }
  [[noreturn]] void Fail(CURLcode Code, bool Stalled);
  // Raises Code under the step that the transfer's progress so far gives.
  [[noreturn]] void Raise(long Code, std::string_view Description);

  const THttpsCall& FCall;
  const TTransportSettings& FSettings;
  TTransferState FState;
  std::string FURL;
  std::string FTarget;
  std::array<char, CURL_ERROR_SIZE> FError{};
  bool FKeep = false;  // a current API's call with kept connections on
  std::string FDestination;
  // Released after the easy handle, which leaves the share when it is cleaned up.
  std::shared_ptr<TSessionShare> FShare;
  TMultiPtr FMulti;
  bool FReused = false;  // FMulti was kept from an earlier call
  std::unique_ptr<CURL, TEasyRelease> FEasy;
  std::unique_ptr<curl_slist, TSlistRelease> FHeaders;
  bool FAttached = false;
  TClock::time_point FStarted = TClock::now();  // before libcurl starts its clock
};

TCurlTransfer::TCurlTransfer(const THttpsCall& Call, const TTransportSettings& Settings,
                             std::string& Body, X509_STORE* Store)
    : FCall(Call), FSettings(Settings) {
  FState.Body = &Body;
  FState.MaxBody = Settings.MaxBodyBytes;
  FState.Store = Store;
  FState.StatusLine = Call.StatusLine;
  FState.ErrorText = FError.data();
  FKeep = Call.Http11 && Settings.KeepConnections;
  if (FKeep || Settings.ResumeTlsSessions) FDestination = DestinationKey(Call.Host, Settings);
  if (Settings.ResumeTlsSessions) FShare = AcquireSessionShare(FDestination);
  if (FKeep) FMulti = TakeKeptConnection(FDestination, Settings.KeptConnectionIdle);
  FReused = FMulti != nullptr;
  if (!FMulti) {
    FMulti.reset(curl_multi_init());
    if (!FMulti) RaiseTransportError(tsInternetOpen, CURLE_FAILED_INIT, "Cannot create a handle");
    // One connection per multi handle: a kept one is a unit of its own.
    if (FKeep) curl_multi_setopt(FMulti.get(), CURLMOPT_MAXCONNECTS, 1L);
  }
  // Only a GET may go out again, once, when a kept connection was closed under it: a token
  // exchange, a post or a payment sent twice could act twice.
  FState.MaxAttempts = FKeep && !Call.Data ? 2 : 1;
  FEasy.reset(curl_easy_init());
  if (!FEasy) RaiseTransportError(tsInternetOpen, CURLE_FAILED_INIT, "Cannot create a handle");
  Configure();
}

void TCurlTransfer::Configure() {
  SetPointer(CURLOPT_ERRORBUFFER, FError.data());
  ConfigureRequest();
  ConfigureTls();
  ConfigureLimits();
  ConfigureHeaders();
  if (FCall.Data != nullptr) {
    SetLong(CURLOPT_POST, 1L);
    SetOffset(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(FCall.Data->size()));
    SetPointer(CURLOPT_POSTFIELDS, FCall.Data->data());
  }
}

void TCurlTransfer::ConfigureRequest() {
  FURL = "https://" + FCall.Host + "/";
  SetText(CURLOPT_URL, FURL.c_str());
  // The target goes out exactly as the caller gave it: no normalising of "..", no fragment cut.
  FTarget = FCall.Target.empty() ? "/" : FCall.Target;
  SetText(CURLOPT_REQUEST_TARGET, FTarget.c_str());
  SetText(CURLOPT_PROTOCOLS_STR, "https");
  SetText(CURLOPT_REDIR_PROTOCOLS_STR, "https");
  SetLong(CURLOPT_FOLLOWLOCATION, 0L);
  SetLong(CURLOPT_HTTP_VERSION, FCall.Http11 ? CURL_HTTP_VERSION_1_1 : CURL_HTTP_VERSION_1_0);
  SetText(CURLOPT_USERAGENT, kUserAgent);
  SetLong(CURLOPT_NOSIGNAL, 1L);
  if (FKeep) {
    // libcurl's own bound on a connection's idle time, besides the kept ones' bookkeeping.
    SetLong(
        CURLOPT_MAXAGE_CONN,
        static_cast<long>(std::clamp<std::chrono::seconds::rep>(
            std::chrono::duration_cast<std::chrono::seconds>(FSettings.KeptConnectionIdle).count(),
            1, std::numeric_limits<long>::max())));
  } else {
    SetLong(CURLOPT_FORBID_REUSE, 1L);
    SetLong(CURLOPT_FRESH_CONNECT, 1L);
  }
  SetPointer(CURLOPT_PREREQFUNCTION, &OnBeforeRequest);
  SetPointer(CURLOPT_PREREQDATA, &FState);
}

void TCurlTransfer::ConfigureTls() {
  if (FShare) {
    SetPointer(CURLOPT_SHARE, SessionShareHandle(*FShare));
  } else {
    SetLong(CURLOPT_SSL_SESSIONID_CACHE, 0L);
  }
  SetLong(CURLOPT_SSLVERSION, CURL_SSLVERSION_TLSv1_2);
  SetLong(CURLOPT_SSL_VERIFYPEER, 1L);
  SetLong(CURLOPT_SSL_VERIFYHOST, 2L);
  SetText(CURLOPT_CAINFO, nullptr);
  SetText(CURLOPT_CAPATH, nullptr);
  SetPointer(CURLOPT_SSL_CTX_FUNCTION, &OnSslContext);
  SetPointer(CURLOPT_SSL_CTX_DATA, &FState);
}

void TCurlTransfer::ConfigureLimits() {
  SetLong(CURLOPT_CONNECTTIMEOUT_MS, AsLong(FSettings.ConnectTimeout));
  // The deadline of the whole transfer, connecting and a request libcurl sends again on a new
  // connection included. libcurl keeps it per easy handle, which every call makes afresh, so a
  // kept connection brings no time of an earlier call along; inside it the connect time-out
  // and the stall limit (Drive) still apply, whichever strikes first.
  SetLong(CURLOPT_TIMEOUT_MS, AsLong(FSettings.TotalTimeout));
  // An empty setting leaves libcurl to the standard proxy environment variables.
  if (!FSettings.ProxyURL.empty()) SetText(CURLOPT_PROXY, FSettings.ProxyURL.c_str());
  // The head of a proxy's CONNECT reply is not the server's.
  SetLong(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);

  // An announced length over the cap is refused before any of the body is read.
  if (FSettings.MaxBodyBytes <= static_cast<std::size_t>(std::numeric_limits<curl_off_t>::max()))
    SetOffset(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(FSettings.MaxBodyBytes));
  SetPointer(CURLOPT_WRITEFUNCTION, &OnBody);
  SetPointer(CURLOPT_WRITEDATA, &FState);
  SetPointer(CURLOPT_HEADERFUNCTION, &OnHeader);
  SetPointer(CURLOPT_HEADERDATA, &FState);
}

void TCurlTransfer::AddHeader(const std::string& Line) {
  curl_slist* Next = curl_slist_append(FHeaders.get(), Line.c_str());
  if (!Next) RaiseTransportError(tsInternetOpen, CURLE_OUT_OF_MEMORY, "Out of memory");
  (void)FHeaders.release();
  FHeaders.reset(Next);
}

void TCurlTransfer::ConfigureHeaders() {
  const bool Post = FCall.Data != nullptr;
  // The names the caller sets itself: libcurl's own header of that name is left out anyway.
  std::vector<std::string> Own;
  if (!FCall.HeaderLine.empty()) Own.push_back(HeaderName(FCall.HeaderLine));
  for (const std::string& Line : FCall.HeaderLines)
    Own.push_back(HeaderName(Line));
  auto IsOwn = [&Own](std::string_view Name) {
    return std::any_of(Own.begin(), Own.end(),
                       [Name](const std::string& N) { return rtl::SameText(N, Name); });
  };
  // "Name:" removes a header libcurl would add of its own.
  for (const char* Name : {"Accept", "Expect", "Content-Type"}) {
    if (!Post && std::string_view(Name) == "Content-Type") continue;
    if (!IsOwn(Name)) AddHeader(std::string(Name) + ":");
  }
  if (!FCall.HeaderLine.empty()) AddHeader(AsCurlHeader(FCall.HeaderLine));
  for (const std::string& Line : FCall.HeaderLines)
    AddHeader(AsCurlHeader(Line));
  SetPointer(CURLOPT_HTTPHEADER, FHeaders.get());
}

void TCurlTransfer::Perform() {
  const CURLMcode Added = curl_multi_add_handle(FMulti.get(), FEasy.get());
  if (Added != CURLM_OK)
    RaiseTransportError(tsInternetOpen, CURLE_FAILED_INIT, curl_multi_strerror(Added));
  FAttached = true;
  Drive();
  Finish();
}

void TCurlTransfer::Drive() {
  const auto Stall = FSettings.StallTimeout;
  bool IsConnected = false;
  TClock::time_point LastProgress;
  curl_off_t LastMoved = -1;
  int Running = 1;
  for (;;) {
    const CURLMcode M = curl_multi_perform(FMulti.get(), &Running);
    if (M != CURLM_OK) Raise(CURLE_FAILED_INIT, curl_multi_strerror(M));
    if (Running == 0) return;
    const auto Now = TClock::now();
    // The stall clock starts once the connection is up; connecting has its own time-out.
    if (!IsConnected && Connected()) IsConnected = true;
    if (IsConnected) {
      const curl_off_t Moving = Moved();
      if (Moving != LastMoved) {
        LastMoved = Moving;
        LastProgress = Now;
      } else if (Now - LastProgress >= Stall) {
        Fail(CURLE_OPERATION_TIMEDOUT, true);
      }
    }
    long Wait = 0;
    curl_multi_timeout(FMulti.get(), &Wait);
    if (Wait < 0) Wait = 1000;
    if (IsConnected) {
      const auto Left =
          std::chrono::duration_cast<std::chrono::milliseconds>(LastProgress + Stall - Now)
              .count() +
          1;
      Wait = std::clamp<long>(static_cast<long>(std::min<std::int64_t>(Left, 1000)), 0, Wait);
    }
    const CURLMcode P = curl_multi_poll(FMulti.get(), nullptr, 0, static_cast<int>(Wait), nullptr);
    if (P != CURLM_OK) Raise(CURLE_FAILED_INIT, curl_multi_strerror(P));
  }
}

void TCurlTransfer::Finish() {
  int Queued = 0;
  CURLcode Result = CURLE_FAILED_INIT;
  while (CURLMsg* Msg = curl_multi_info_read(FMulti.get(), &Queued))
    if (Msg->msg == CURLMSG_DONE && Msg->easy_handle == FEasy.get()) Result = Msg->data.result;
  if (FState.Overflow || FState.OutOfMemory) Fail(CURLE_WRITE_ERROR, false);
  // The request went out and no reply came: that is the step that failed. libcurl wants to
  // send again only after a receive error or an end of the connection before any reply byte.
  if (FState.SendRefused) {
    const bool Received = FState.FirstError[0] != '\0';
    RaiseTransportError(
        tsHttpReceiveResponse, Received ? CURLE_RECV_ERROR : CURLE_GOT_NOTHING,
        std::string(Received ? FState.FirstError.data() : curl_easy_strerror(CURLE_GOT_NOTHING)) +
            (FState.MaxAttempts == 1
                 ? " (on a kept connection; the request is not sent again, since the server may "
                   "have acted on it)"
                 : " (also when sent again on a new connection)"),
        true);
  }
  if (Result != CURLE_OK) Fail(Result, false);
  long NewConnections = 0;
  curl_easy_getinfo(FEasy.get(), CURLINFO_NUM_CONNECTS, &NewConnections);
  NoteTransfer(FReused && NewConnections == 0, FState.Attempts > 1);
}

void TCurlTransfer::KeepConnection() {
  if (!FKeep) return;
  // The easy handle leaves the multi handle, its connection staying in the multi's cache.
  if (FAttached) curl_multi_remove_handle(FMulti.get(), FEasy.get());
  FAttached = false;
  detail::KeepConnection(FDestination, std::move(FMulti), FSettings.MaxKeptConnectionsPerHost);
}

void TCurlTransfer::Fail(CURLcode Code, bool Stalled) {
  std::string Description;
  long Reported = Code;
  if (FState.Overflow || Code == CURLE_FILESIZE_EXCEEDED) {
    Reported = CURLE_FILESIZE_EXCEEDED;
    Description =
        "Reply body exceeds the limit of " + std::to_string(FSettings.MaxBodyBytes) + " bytes";
  } else if (FState.OutOfMemory) {
    Reported = CURLE_OUT_OF_MEMORY;
    Description = curl_easy_strerror(CURLE_OUT_OF_MEMORY);
  } else if (Stalled) {
    Description = "Operation timed out after " + std::to_string(FSettings.StallTimeout.count()) +
                  " milliseconds with no data sent or received";
  } else {
    Description = FError[0] != '\0' ? std::string(FError.data()) : curl_easy_strerror(Code);
    if (Code == CURLE_OPERATION_TIMEDOUT && DeadlineStruck())
      Description = CleanDescription(Description) + " (past the call's TotalTimeout of " +
                    std::to_string(FSettings.TotalTimeout.count()) + " milliseconds)";
  }
  // The request target carries tokens and secrets: never in a message.
  if (FTarget.size() > 1 && Description.find(FTarget) != std::string::npos)
    Description = curl_easy_strerror(Code);
  Raise(Reported, Description);
}

void TCurlTransfer::Raise(long Code, std::string_view Description) {
  const curl_off_t DataSize = FCall.Data ? static_cast<curl_off_t>(FCall.Data->size()) : 0;
  const bool Sent =
      InfoLong(CURLINFO_REQUEST_SIZE) > 0 && InfoOffset(CURLINFO_SIZE_UPLOAD_T) >= DataSize;
  const TTransportStep Step = StepForCurlFailure(Code, Connected(), Sent, FState.HeadComplete);
  // Once the whole request went out, or any answer to it came, the server may have acted on it.
  RaiseTransportError(
      Step, Code, Description,
      Sent || Step == tsHttpReceiveResponse || Step == tsInternetQueryDataAvailable);
}

}  // namespace

long PerformHttpsCall(const THttpsCall& Call, const TTransportSettings& Settings,
                      std::string& Body) {
  EnsureCurlGlobal();
  TX509StorePtr Store;
  try {
    Store = AcquireTrustStore(Settings.ExtraCACertificates);
  } catch (const rtl::Exception& E) {
    RaiseTransportError(tsHttpSendRequest, CURLE_SSL_CACERT_BADFILE, E.Message());
  }
  TCurlTransfer Transfer(Call, Settings, Body, Store.get());
  Transfer.Perform();
  Transfer.KeepConnection();
  return Transfer.Status();
}

}  // namespace zelk::IWZelkAuthBase::detail
