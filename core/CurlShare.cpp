// What the transport keeps between calls: TLS sessions (through libcurl's share interface) and,
// for the calls of the current APIs, open connections.
//
// Both are kept per destination: the host, the proxy and the trusted CA certificates. A change
// of the CA setting or the proxy therefore starts afresh, with full handshakes that verify the
// server's certificate against the new trust: nothing made under the old setting is used again.
//
// Kept connections live in multi handles, one connection each (libcurl keeps connections in
// its multi handle's cache): a call takes a multi handle of its destination from here, runs its
// transfer on it and gives it back. This bounds the connections per host, ends idle ones on
// time and never hands one connection to two threads, without a connection cache shared across
// threads, which libcurl 7.88 supports only in part.
#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <map>
#include <mutex>

#include "core/IWZelkAuthBase.h"
#include "core/TransportDetail.h"

namespace zelk::IWZelkAuthBase::detail {

namespace {

// At most this many destinations keep TLS sessions; the least recently used one goes first.
// libcurl itself keeps at most 8 sessions in one share.
constexpr std::size_t kMaxSessionDestinations = 64;

struct TShareRelease {
  void operator()(CURLSH* H) const noexcept { curl_share_cleanup(H); }
};

}  // namespace

void TMultiRelease::operator()(CURLM* H) const noexcept {
  curl_multi_cleanup(H);
}

// A libcurl share handle that holds TLS sessions, locked with its own mutexes.
class TSessionShare {
 public:
  TSessionShare() {
    FHandle.reset(curl_share_init());
    if (!FHandle ||
        curl_share_setopt(FHandle.get(), CURLSHOPT_LOCKFUNC, &TSessionShare::Lock) != CURLSHE_OK ||
        curl_share_setopt(FHandle.get(), CURLSHOPT_UNLOCKFUNC, &TSessionShare::Unlock) !=
            CURLSHE_OK ||
        curl_share_setopt(FHandle.get(), CURLSHOPT_USERDATA, this) != CURLSHE_OK ||
        curl_share_setopt(FHandle.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) != CURLSHE_OK)
      RaiseTransportError(tsInternetOpen, CURLE_OUT_OF_MEMORY,
                          "Cannot create the TLS session cache");
  }
  TSessionShare(const TSessionShare&) = delete;
  TSessionShare& operator=(const TSessionShare&) = delete;
  ~TSessionShare() = default;

  CURLSH* Handle() const { return FHandle.get(); }

 private:
  static void Lock(CURL*, curl_lock_data Data, curl_lock_access, void* User) noexcept {
    static_cast<TSessionShare*>(User)->MutexOf(Data).lock();
  }
  static void Unlock(CURL*, curl_lock_data Data, void* User) noexcept {
    static_cast<TSessionShare*>(User)->MutexOf(Data).unlock();
  }
  std::mutex& MutexOf(curl_lock_data Data) {
    const auto I = static_cast<std::size_t>(Data);
    return FMutexes[I < FMutexes.size() ? I : 0];
  }

  std::array<std::mutex, CURL_LOCK_DATA_LAST> FMutexes;
  // Declared after the mutexes: the handle is released first.
  std::unique_ptr<CURLSH, TShareRelease> FHandle;
};

CURLSH* SessionShareHandle(const TSessionShare& Share) {
  return Share.Handle();
}

namespace {

using TClock = std::chrono::steady_clock;

struct TKept {
  TMultiPtr Multi;
  TClock::time_point IdleSince;
};

struct TKeptState {
  // libcurl's global state first, so that it outlives the handles kept here.
  TKeptState() { EnsureCurlGlobal(); }
  std::mutex Mutex;
  // Per destination: the share and when a call last asked for it.
  std::map<std::string, std::pair<std::shared_ptr<TSessionShare>, std::uint64_t>> Shares;
  std::uint64_t Tick = 0;
  std::map<std::string, std::vector<TKept>> Idle;  // oldest first
  TTransportCounters Counters;
};

TKeptState& Kept() {
  static TKeptState S;
  return S;
}

// Drops every idle connection older than MaxIdle. Returns what the caller releases outside the
// lock (closing a TLS connection writes to its socket).
std::vector<TMultiPtr> Expire(TKeptState& S, TClock::time_point Now,
                              std::chrono::milliseconds MaxIdle) {
  std::vector<TMultiPtr> Gone;
  for (auto It = S.Idle.begin(); It != S.Idle.end();) {
    auto& List = It->second;
    const auto Keep = std::stable_partition(
        List.begin(), List.end(), [&](const TKept& K) { return Now - K.IdleSince < MaxIdle; });
    for (auto G = Keep; G != List.end(); ++G)
      Gone.push_back(std::move(G->Multi));
    S.Counters.ExpiredConnections += static_cast<std::uint64_t>(List.end() - Keep);
    List.erase(Keep, List.end());
    It = List.empty() ? S.Idle.erase(It) : std::next(It);
  }
  return Gone;
}

}  // namespace

std::string DestinationKey(const std::string& Host, const TTransportSettings& Settings) {
  std::string Key = Host;
  Key.append(1, '\n').append(Settings.ProxyURL).append(1, '\n');
  return Key.append(Settings.ExtraCACertificates);
}

std::shared_ptr<TSessionShare> AcquireSessionShare(const std::string& Key) {
  TKeptState& S = Kept();
  std::shared_ptr<TSessionShare> Evicted;  // released outside the lock
  std::lock_guard L(S.Mutex);
  auto It = S.Shares.find(Key);
  if (It == S.Shares.end()) {
    if (S.Shares.size() >= kMaxSessionDestinations) {
      auto Oldest = std::min_element(S.Shares.begin(), S.Shares.end(), [](auto& A, auto& B) {
        return A.second.second < B.second.second;
      });
      Evicted = std::move(Oldest->second.first);
      S.Shares.erase(Oldest);
    }
    It = S.Shares.emplace(Key, std::make_pair(std::make_shared<TSessionShare>(), 0)).first;
  }
  It->second.second = ++S.Tick;
  return It->second.first;
}

TMultiPtr TakeKeptConnection(const std::string& Key, std::chrono::milliseconds MaxIdle) {
  TKeptState& S = Kept();
  std::vector<TMultiPtr> Gone;
  TMultiPtr Taken;
  {
    std::lock_guard L(S.Mutex);
    Gone = Expire(S, TClock::now(), MaxIdle);
    if (auto It = S.Idle.find(Key); It != S.Idle.end()) {
      // The most recently used one: the likeliest to be still open at the server.
      Taken = std::move(It->second.back().Multi);
      It->second.pop_back();
      if (It->second.empty()) S.Idle.erase(It);
    }
  }
  return Taken;
}

void KeepConnection(const std::string& Key, TMultiPtr Multi, std::size_t MaxPerHost) {
  TKeptState& S = Kept();
  TMultiPtr Surplus;
  std::lock_guard L(S.Mutex);
  if (MaxPerHost == 0) {
    Surplus = std::move(Multi);
    return;
  }
  auto& List = S.Idle[Key];
  if (List.size() >= MaxPerHost) {
    Surplus = std::move(List.front().Multi);
    List.erase(List.begin());
  }
  List.push_back({std::move(Multi), TClock::now()});
}

void NoteTransfer(bool Reused, bool Retried) {
  if (!Reused && !Retried) return;
  TKeptState& S = Kept();
  std::lock_guard L(S.Mutex);
  if (Reused) ++S.Counters.ReusedConnections;
  if (Retried) ++S.Counters.Retries;
}

void DropKeptConnections() {
  TKeptState& S = Kept();
  std::map<std::string, std::vector<TKept>> Gone;
  std::lock_guard L(S.Mutex);
  Gone.swap(S.Idle);
}

}  // namespace zelk::IWZelkAuthBase::detail

namespace zelk::IWZelkAuthBase {

TTransportCounters TransportCounters() {
  detail::TKeptState& S = detail::Kept();
  std::lock_guard L(S.Mutex);
  TTransportCounters C = S.Counters;
  for (const auto& [Key, List] : S.Idle)
    C.IdleConnections += List.size();
  return C;
}

}  // namespace zelk::IWZelkAuthBase
