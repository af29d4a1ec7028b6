// The session store on Redis, through hiredis (the only code of the project that includes it).
//
// Keys: "zelk:s:<id>" a hash {v: version, d: sealed record} with the session's expiry;
// "zelk:l:<id>" the lease (this instance's id, PX ttl); "zelk:f:<flow key>" the session id an
// open flow belongs to (PX ttl); "zelk:c:<flow key>" a completion claim (SET NX PX).
//
// Lease, Save, Rename and the releases are Lua scripts, each one atomic round trip: loaded with
// SCRIPT LOAD when a connection is made, run with EVALSHA, and with EVAL (which caches it again)
// when the server answers NOSCRIPT (its script cache flushed, or a replica promoted). Versions
// travel as decimal strings and are compared as strings in the scripts, so no version passes
// through Lua's doubles.
//
// Connections: a small pool; a request thread borrows one for its call and gives it back. A
// connection that failed (I/O error, time-out, error answer, malformed answer) is dropped, never
// reused: after a time-out its answer may still arrive and would be taken for the next one's.
// An idle connection the server closed (restart, idle time-out) is noticed before use by a
// zero-wait poll and replaced, so the first call after a restart works.
#include <hiredis/hiredis.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string_view>
#include <type_traits>

#include "platform/rtl/PercentDecode.h"
#include "platform/web/store/RedisStoreDetail.h"
#include "platform/web/store/SessionStore.h"

namespace zelk::web::store {

namespace detail {

std::string TStoreAddress::Name() const {
  const bool V6 = Host.find(':') != std::string::npos;
  return (V6 ? "[" + Host + "]" : Host) + ":" + std::to_string(Port);
}

namespace {

[[noreturn]] void RefuseURL(const std::string& What) {
  throw rtl::Exception("Session store URL: " + What +
                       " (expected redis://[:password@]host:port[/db])");
}

bool AllDigits(std::string_view S) {
  if (S.empty()) return false;
  for (char C : S)
    if (C < '0' || C > '9') return false;
  return true;
}

}  // namespace

// The password of the URL's user information ":password", percent-decoded.
std::string PasswordOf(std::string_view UserInfo) {
  if (UserInfo.empty() || UserInfo.front() != ':')
    RefuseURL("a user name is not supported; the password follows a colon, redis://:password@");
  const std::string_view Encoded = UserInfo.substr(1);
  if (Encoded.empty()) RefuseURL("empty password");
  std::optional<std::string> Password = rtl::PercentDecodeStrict(Encoded, rtl::TPlus::Literal);
  if (!Password) RefuseURL("malformed percent escape in the password");
  return std::move(*Password);
}

// "host:port" or "[IPv6]:port" into A's host and port.
void ReadHostPort(std::string_view HostPort, TStoreAddress& A) {
  std::string_view Port;
  if (HostPort.starts_with('[')) {
    const auto Close = HostPort.find(']');
    if (Close == std::string_view::npos) RefuseURL("unclosed '[' in the host");
    A.Host = std::string(HostPort.substr(1, Close - 1));
    const std::string_view After = HostPort.substr(Close + 1);
    if (!After.starts_with(':')) RefuseURL("no port: write host:port, e.g. redis://[::1]:6379");
    Port = After.substr(1);
  } else {
    const auto Colon = HostPort.find(':');
    if (Colon == std::string_view::npos)
      RefuseURL("no port: write host:port, e.g. redis://127.0.0.1:6379");
    A.Host = std::string(HostPort.substr(0, Colon));
    Port = HostPort.substr(Colon + 1);
    if (Port.find(':') != std::string_view::npos)
      RefuseURL("an IPv6 address goes in brackets, e.g. redis://[::1]:6379");
  }
  if (A.Host.empty()) RefuseURL("no host");
  if (Port.empty()) RefuseURL("no port: write host:port, e.g. redis://127.0.0.1:6379");
  if (!AllDigits(Port) || Port.size() > 5 || std::stoi(std::string(Port)) < 1 ||
      std::stoi(std::string(Port)) > 65535)
    RefuseURL("bad port \"" + std::string(Port) + "\" (1 to 65535)");
  A.Port = std::stoi(std::string(Port));
}

TStoreAddress ParseStoreURL(const std::string& URL) {
  constexpr std::string_view kScheme = "redis://";
  std::string_view Rest(URL);
  if (!Rest.starts_with(kScheme)) {
    const auto End = Rest.find("://");
    if (End == std::string_view::npos || End == 0) RefuseURL("no scheme");
    RefuseURL("scheme \"" + std::string(Rest.substr(0, End)) + "\" is not supported, only redis");
  }
  Rest.remove_prefix(kScheme.size());

  TStoreAddress A;
  // The password may hold '@' and '/' (best percent-encoded): the last '@' ends it.
  if (const auto At = Rest.rfind('@'); At != std::string_view::npos) {
    A.Password = PasswordOf(Rest.substr(0, At));
    Rest.remove_prefix(At + 1);
  }
  std::string_view HostPort = Rest;
  std::optional<std::string_view> Db;
  if (const auto Slash = Rest.find('/'); Slash != std::string_view::npos) {
    HostPort = Rest.substr(0, Slash);
    Db = Rest.substr(Slash + 1);
  }
  ReadHostPort(HostPort, A);
  if (Db) {
    if (!AllDigits(*Db) || Db->size() > 9)
      RefuseURL("bad db \"" + std::string(*Db) + "\" (a database number, e.g. /0)");
    A.Database = std::stoi(std::string(*Db));
  }
  return A;
}

}  // namespace detail

namespace {

using Clock = std::chrono::steady_clock;
using detail::TStoreAddress;

struct TContextRelease {
  void operator()(redisContext* C) const noexcept { redisFree(C); }
};
struct TReplyRelease {
  void operator()(redisReply* R) const noexcept { freeReplyObject(R); }
};
using TReplyPtr = std::unique_ptr<redisReply, TReplyRelease>;

// hiredis writes with write(2): a peer that reset the connection would raise SIGPIPE and end
// the process. While one lives, SIGPIPE is blocked in this thread, and one it caused is taken
// off the pending set before the mask is put back (the write fails with EPIPE instead).
class TSigPipeBlock {
 public:
  TSigPipeBlock() {
    sigemptyset(&FPipe);
    sigaddset(&FPipe, SIGPIPE);
    sigset_t Pending;
    FWasPending = sigpending(&Pending) == 0 && sigismember(&Pending, SIGPIPE) == 1;
    FBlocked = pthread_sigmask(SIG_BLOCK, &FPipe, &FOld) == 0;
  }
  ~TSigPipeBlock() {
    if (!FBlocked) return;
    const int Saved = errno;
    sigset_t Pending;
    if (!FWasPending && sigpending(&Pending) == 0 && sigismember(&Pending, SIGPIPE) == 1) {
      const timespec Zero{0, 0};
      while (sigtimedwait(&FPipe, nullptr, &Zero) == -1 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &FOld, nullptr);
    errno = Saved;
  }
  TSigPipeBlock(const TSigPipeBlock&) = delete;
  TSigPipeBlock& operator=(const TSigPipeBlock&) = delete;

 private:
  sigset_t FPipe;
  sigset_t FOld;
  bool FWasPending = false;
  bool FBlocked = false;
};

timeval ToTimeval(std::chrono::milliseconds T) {
  timeval V{};
  V.tv_sec = static_cast<time_t>(T.count() / 1000);
  V.tv_usec = static_cast<suseconds_t>((T.count() % 1000) * 1000);
  return V;
}

std::string Hex(const unsigned char* Bytes, std::size_t Size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string S;
  for (std::size_t I = 0; I < Size; ++I) {
    S.push_back(kDigits[Bytes[I] >> 4]);
    S.push_back(kDigits[Bytes[I] & 15]);
  }
  return S;
}

struct TScript {
  std::string_view Source;
  std::string Sha;  // lower-case hex SHA-1 of Source, as EVALSHA wants it
  explicit TScript(std::string_view S) : Source(S) {
    unsigned char Digest[EVP_MAX_MD_SIZE];
    unsigned int Size = 0;
    if (EVP_Digest(S.data(), S.size(), Digest, &Size, EVP_sha1(), nullptr) != 1)
      throw rtl::Exception("Session store: cannot hash its scripts (SHA-1 unavailable)");
    Sha = Hex(Digest, Size);
  }
};

// KEYS: lease, record. ARGV: instance id, ttl ms, the record's new expiry in ms (0: left as it
// is). Returns {granted 0/1, stored version (string, "0" when none), the other lease's ms left}.
constexpr std::string_view kLeaseScript = R"lua(
local holder = redis.call('GET', KEYS[1])
local granted, wait = 0, 0
if holder == false or holder == ARGV[1] then
  redis.call('SET', KEYS[1], ARGV[1], 'PX', ARGV[2])
  if ARGV[3] ~= '0' then redis.call('PEXPIRE', KEYS[2], ARGV[3]) end
  granted = 1
else
  wait = redis.call('PTTL', KEYS[1])
end
return {granted, redis.call('HGET', KEYS[2], 'v') or '0', wait}
)lua";

// KEYS: record, lease, flow keys... ARGV: instance id, expected version, new version, record,
// ttl ms, session id. Returns 0 saved (or saved already: the same record, unique by its random
// IV, is there at the new version, put there by an attempt whose answer was lost), 1 conflict,
// 2 lease lost.
constexpr std::string_view kSaveScript = R"lua(
local v = redis.call('HGET', KEYS[1], 'v') or '0'
if v == ARGV[3] and redis.call('HGET', KEYS[1], 'd') == ARGV[4] then return 0 end
if redis.call('GET', KEYS[2]) ~= ARGV[1] then return 2 end
if v ~= ARGV[2] then return 1 end
redis.call('HSET', KEYS[1], 'v', ARGV[3], 'd', ARGV[4])
redis.call('PEXPIRE', KEYS[1], ARGV[5])
for i = 3, #KEYS do redis.call('SET', KEYS[i], ARGV[6], 'PX', ARGV[5]) end
return 0
)lua";

// KEYS: record, lease, flow keys..., then the old record and old lease when the session's id
// was renewed, then the renewal's note when there is one. ARGV: instance id, lease ttl ms,
// record, ttl ms, session id, number of flow keys, the note's ttl ms. Every check comes before
// the first write. Returns 0 saved (or saved already: the same record, unique by its random IV,
// is there, put there by an attempt whose answer was lost), 1 conflict, 2 lease lost.
constexpr std::string_view kSaveNewScript = R"lua(
if redis.call('HGET', KEYS[1], 'd') == ARGV[3] then return 0 end
local holder = redis.call('GET', KEYS[2])
if holder and holder ~= ARGV[1] then return 2 end
if redis.call('EXISTS', KEYS[1]) == 1 then return 1 end
redis.call('SET', KEYS[2], ARGV[1], 'PX', ARGV[2])
redis.call('HSET', KEYS[1], 'v', '1', 'd', ARGV[3])
redis.call('PEXPIRE', KEYS[1], ARGV[4])
local flows = tonumber(ARGV[6])
for i = 3, 2 + flows do redis.call('SET', KEYS[i], ARGV[5], 'PX', ARGV[4]) end
if #KEYS > 2 + flows then redis.call('DEL', KEYS[3 + flows], KEYS[4 + flows]) end
if #KEYS > 4 + flows then redis.call('SET', KEYS[5 + flows], ARGV[5], 'PX', ARGV[7]) end
return 0
)lua";

// KEYS: old record, new record, old lease, new lease. ARGV: instance id.
// RENAME keeps each key's expiry. Returns 1 renamed, 0 when the lease is not this instance's.
constexpr std::string_view kRenameScript = R"lua(
if redis.call('GET', KEYS[3]) ~= ARGV[1] then return 0 end
if redis.call('EXISTS', KEYS[1]) == 1 then
  redis.call('RENAME', KEYS[1], KEYS[2])
else
  redis.call('DEL', KEYS[2])
end
redis.call('RENAME', KEYS[3], KEYS[4])
return 1
)lua";

// KEYS: a lease or a claim. ARGV: instance id. Deletes it only when it is this instance's.
constexpr std::string_view kReleaseScript = R"lua(
if redis.call('GET', KEYS[1]) == ARGV[1] then return redis.call('DEL', KEYS[1]) end
return 0
)lua";

// KEYS: claim, the session's lease. ARGV: instance id, ttl ms. Returns 0 refused, 1 claimed
// (by nobody before, or by this instance, which holds the session's lease), 2 taken over from
// another instance while this one holds the lease.
constexpr std::string_view kClaimScript = R"lua(
local c = redis.call('GET', KEYS[1])
if c and redis.call('GET', KEYS[2]) ~= ARGV[1] then return 0 end
redis.call('SET', KEYS[1], ARGV[1], 'PX', ARGV[2])
if c and c ~= ARGV[1] then return 2 end
return 1
)lua";

const TScript& LeaseScript() {
  static const TScript S(kLeaseScript);
  return S;
}
const TScript& SaveScript() {
  static const TScript S(kSaveScript);
  return S;
}
const TScript& SaveNewScript() {
  static const TScript S(kSaveNewScript);
  return S;
}
const TScript& RenameScript() {
  static const TScript S(kRenameScript);
  return S;
}
const TScript& ReleaseScript() {
  static const TScript S(kReleaseScript);
  return S;
}
const TScript& ClaimScript() {
  static const TScript S(kClaimScript);
  return S;
}
std::array<const TScript*, 6> AllScripts() {
  return {&LeaseScript(),  &SaveScript(),    &SaveNewScript(),
          &RenameScript(), &ReleaseScript(), &ClaimScript()};
}

// One connection to the server: the RAII holder of its redisContext. Used by one thread at a
// time (the pool hands it out). Every failure marks it broken and raises EStoreUnavailable.
class TRedisConnection {
 public:
  TRedisConnection(const TStoreAddress& Address, const std::string& Name,
                   std::chrono::milliseconds Timeout, std::atomic<std::uint64_t>& RoundTrips)
      : FName(Name), FTimeout(Timeout), FRoundTrips(RoundTrips) {
    const timeval Tv = ToTimeval(Timeout);
    FContext.reset(redisConnectWithTimeout(Address.Host.c_str(), Address.Port, Tv));
    if (!FContext) Fail("connecting", "out of memory");
    if (FContext->err) Fail("connecting", FContext->errstr);
    if (redisSetTimeout(FContext.get(), Tv) != REDIS_OK)
      Fail("connecting", std::string("setting the time-out failed: ") + FContext->errstr);
    redisEnableKeepAlive(FContext.get());

    // AUTH, SELECT and the scripts (so that each call is one round trip from the first), all
    // in one round trip.
    struct TStep {
      std::string What;
      std::vector<std::string_view> Args;
      const TScript* Script = nullptr;  // SCRIPT LOAD answers its SHA-1
    };
    const std::string Database = std::to_string(Address.Database);
    std::vector<TStep> Setup;
    if (!Address.Password.empty()) Setup.push_back({"AUTH", {"AUTH", Address.Password}});
    if (Address.Database != 0) Setup.push_back({"SELECT " + Database, {"SELECT", Database}});
    for (const TScript* S : AllScripts())
      Setup.push_back({"SCRIPT LOAD", {"SCRIPT", "LOAD", S->Source}, S});
    TSigPipeBlock NoSigPipe;
    for (const auto& Step : Setup) {
      std::vector<const char*> Argv;
      std::vector<std::size_t> Lengths;
      for (auto A : Step.Args) {
        Argv.push_back(A.data());
        Lengths.push_back(A.size());
      }
      if (redisAppendCommandArgv(FContext.get(), static_cast<int>(Argv.size()), Argv.data(),
                                 Lengths.data()) != REDIS_OK)
        Fail("connecting", "out of memory");
    }
    FRoundTrips.fetch_add(1, std::memory_order_relaxed);
    for (const auto& Step : Setup) {
      void* Raw = nullptr;
      const int Result = redisGetReply(FContext.get(), &Raw);
      const int Error = errno;
      TReplyPtr Reply(static_cast<redisReply*>(Raw));
      if (Result != REDIS_OK || !Reply) FailIO(Step.What, Error);
      if (Reply->type == REDIS_REPLY_ERROR) {
        std::string Text(Reply->str, Reply->len);
        if (Text.starts_with("NOAUTH") && Address.Password.empty())
          Text += " (the store URL gives no password)";
        Fail(Step.What + " refused", Text);
      }
      if (Step.Script && (Reply->type != REDIS_REPLY_STRING ||
                          std::string_view(Reply->str, Reply->len) != Step.Script->Sha))
        Unexpected("SCRIPT LOAD");
    }
  }
  TRedisConnection(const TRedisConnection&) = delete;
  TRedisConnection& operator=(const TRedisConnection&) = delete;

  bool Broken() const { return FBroken; }

  // Whether an idle connection can be used: nothing is readable on it (readable means the
  // server closed it, or sent what nobody asked for).
  bool LooksAlive() const {
    pollfd P{FContext->fd, POLLIN, 0};
    return ::poll(&P, 1, 0) == 0;
  }

  // Sends one command and waits for its answer; What names it in messages. An error answer
  // raises, except NOSCRIPT when NoScriptOk (none then: the caller sends EVAL).
  TReplyPtr Command(const char* What, const std::vector<std::string_view>& Args,
                    bool NoScriptOk = false) {
    std::vector<const char*> Argv;
    std::vector<std::size_t> Lengths;
    Argv.reserve(Args.size());
    Lengths.reserve(Args.size());
    for (auto A : Args) {
      Argv.push_back(A.data());
      Lengths.push_back(A.size());
    }
    FRoundTrips.fetch_add(1, std::memory_order_relaxed);
    TReplyPtr Reply;
    int Error = 0;
    {
      TSigPipeBlock NoSigPipe;
      Reply.reset(static_cast<redisReply*>(redisCommandArgv(
          FContext.get(), static_cast<int>(Argv.size()), Argv.data(), Lengths.data())));
      Error = errno;
    }
    if (!Reply) FailIO(What, Error);
    if (Reply->type == REDIS_REPLY_ERROR) {
      std::string Text(Reply->str, Reply->len);
      if (NoScriptOk && Text.starts_with("NOSCRIPT")) return nullptr;
      Fail(std::string(What) + " refused", Text);
    }
    return Reply;
  }

  // Runs Script: EVALSHA, and EVAL when the server does not have it cached.
  TReplyPtr Eval(const char* What, const TScript& Script, const std::vector<std::string>& Keys,
                 const std::vector<std::string_view>& Args) {
    const std::string KeyCount = std::to_string(Keys.size());
    std::vector<std::string_view> All{"EVALSHA", Script.Sha, KeyCount};
    All.insert(All.end(), Keys.begin(), Keys.end());
    All.insert(All.end(), Args.begin(), Args.end());
    if (auto Reply = Command(What, All, true)) return Reply;
    All[0] = "EVAL";
    All[1] = Script.Source;
    return Command(What, All);
  }

  [[noreturn]] void Unexpected(const char* What) { Fail(What, "unexpected answer"); }

 private:
  std::unique_ptr<redisContext, TContextRelease> FContext;
  const std::string& FName;
  std::chrono::milliseconds FTimeout;
  std::atomic<std::uint64_t>& FRoundTrips;
  bool FBroken = false;

  [[noreturn]] void Fail(const std::string& What, const std::string& Why) {
    FBroken = true;
    throw EStoreUnavailable("Session store " + FName + ": " + What + ": " + Why);
  }
  [[noreturn]] void FailIO(const std::string& What, int Error) {
    if (FContext->err == REDIS_ERR_IO && (Error == EAGAIN || Error == EWOULDBLOCK))
      Fail(What, "no answer within " + std::to_string(FTimeout.count()) + " ms");
    if (FContext->err == REDIS_ERR_EOF) Fail(What, "the server closed the connection");
    Fail(What, FContext->err ? std::string(FContext->errstr) : "no answer");
  }
};

std::string RandomInstanceId() {
  unsigned char Bytes[8];
  if (RAND_bytes(Bytes, sizeof Bytes) != 1)
    throw rtl::Exception("Session store: no random bytes for an instance id");
  return Hex(Bytes, sizeof Bytes);
}

void CheckTtl(const char* What, std::chrono::milliseconds Ttl) {
  if (Ttl.count() <= 0)
    throw rtl::Exception(std::string("Session store: ") + What +
                         ": the time to live must be positive, not " + std::to_string(Ttl.count()) +
                         " ms");
}

bool ParseVersion(const redisReply* R, std::uint64_t& Version) {
  if (!R || R->type != REDIS_REPLY_STRING) return false;
  const char* End = R->str + R->len;
  const auto [Ptr, Ec] = std::from_chars(R->str, End, Version);
  return Ec == std::errc() && Ptr == End && R->len > 0;
}

class TRedisStore final : public TSessionStore {
 public:
  TRedisStore(TStoreAddress Address, TStoreOptions Options)
      : FAddress(std::move(Address)), FName(FAddress.Name()), FOptions(std::move(Options)) {
    if (FOptions.InstanceId.empty()) FOptions.InstanceId = RandomInstanceId();
    // The scripts' hashes are made once, here, not on a request thread's first call.
    AllScripts();
  }

  TLeaseResult Lease(const std::string& Id, std::chrono::milliseconds Ttl,
                     std::chrono::milliseconds RecordTtl) override {
    CheckTtl("Lease", Ttl);
    return Run("Lease", [&](TRedisConnection& C) {
      auto R = C.Eval("Lease", LeaseScript(), {LeaseKey(Id), RecordKey(Id)},
                      {FOptions.InstanceId, std::to_string(Ttl.count()),
                       std::to_string(std::max<long long>(RecordTtl.count(), 0))});
      TLeaseResult Result;
      if (R->type != REDIS_REPLY_ARRAY || R->elements != 3 ||
          R->element[0]->type != REDIS_REPLY_INTEGER ||
          R->element[2]->type != REDIS_REPLY_INTEGER ||
          !ParseVersion(R->element[1], Result.Version))
        C.Unexpected("Lease");
      Result.Granted = R->element[0]->integer == 1;
      Result.Wait = std::chrono::milliseconds(std::max<long long>(R->element[2]->integer, 0));
      return Result;
    });
  }

  void ReleaseLease(const std::string& Id) override {
    Run("ReleaseLease", [&](TRedisConnection& C) {
      auto R = C.Eval("ReleaseLease", ReleaseScript(), {LeaseKey(Id)}, {FOptions.InstanceId});
      if (R->type != REDIS_REPLY_INTEGER) C.Unexpected("ReleaseLease");
      return 0;
    });
  }

  std::optional<std::pair<std::string, std::uint64_t>> Load(const std::string& Id) override {
    return Run("Load", [&](TRedisConnection& C) {
      auto R = C.Command("Load", {"HMGET", RecordKey(Id), "v", "d"});
      std::optional<std::pair<std::string, std::uint64_t>> Result;
      if (R->type != REDIS_REPLY_ARRAY || R->elements != 2) C.Unexpected("Load");
      const redisReply* V = R->element[0];
      const redisReply* D = R->element[1];
      if (V->type == REDIS_REPLY_NIL && D->type == REDIS_REPLY_NIL) return Result;
      std::uint64_t Version = 0;
      if (!ParseVersion(V, Version) || D->type != REDIS_REPLY_STRING) C.Unexpected("Load");
      Result.emplace(std::string(D->str, D->len), Version);
      return Result;
    });
  }

  TSaveResult Save(const std::string& Id, std::uint64_t Expected, const std::string& Record,
                   std::chrono::milliseconds Ttl, const std::vector<std::string>& FlowKeys,
                   std::uint64_t& NewVersion) override {
    CheckTtl("Save", Ttl);
    return Run("Save", [&](TRedisConnection& C) {
      std::vector<std::string> Keys{RecordKey(Id), LeaseKey(Id)};
      for (const auto& F : FlowKeys)
        Keys.push_back(FlowKey(F));
      auto R = C.Eval("Save", SaveScript(), Keys,
                      {FOptions.InstanceId, std::to_string(Expected), std::to_string(Expected + 1),
                       Record, std::to_string(Ttl.count()), Id});
      if (R->type != REDIS_REPLY_INTEGER || R->integer < 0 || R->integer > 2) C.Unexpected("Save");
      if (R->integer == 1) return TSaveResult::srConflict;
      if (R->integer == 2) return TSaveResult::srLeaseLost;
      NewVersion = Expected + 1;
      return TSaveResult::srSaved;
    });
  }

  TSaveResult SaveNew(const std::string& Id, const std::string& From, const std::string& Record,
                      std::chrono::milliseconds Ttl, std::chrono::milliseconds LeaseTtl,
                      const std::vector<std::string>& FlowKeys, std::uint64_t& NewVersion,
                      const std::string& Proof, std::chrono::milliseconds NoteTtl) override {
    CheckTtl("SaveNew", Ttl);
    CheckTtl("SaveNew", LeaseTtl);
    const bool Note = !From.empty() && !Proof.empty();
    if (Note) CheckTtl("SaveNew", NoteTtl);
    return Run("SaveNew", [&](TRedisConnection& C) {
      std::vector<std::string> Keys{RecordKey(Id), LeaseKey(Id)};
      for (const auto& F : FlowKeys)
        Keys.push_back(FlowKey(F));
      if (!From.empty()) {
        Keys.push_back(RecordKey(From));
        Keys.push_back(LeaseKey(From));
      }
      if (Note) Keys.push_back(RenewalKey(From, Proof));
      auto R = C.Eval("SaveNew", SaveNewScript(), Keys,
                      {FOptions.InstanceId, std::to_string(LeaseTtl.count()), Record,
                       std::to_string(Ttl.count()), Id, std::to_string(FlowKeys.size()),
                       std::to_string(Note ? NoteTtl.count() : 0)});
      if (R->type != REDIS_REPLY_INTEGER || R->integer < 0 || R->integer > 2)
        C.Unexpected("SaveNew");
      if (R->integer == 1) return TSaveResult::srConflict;
      if (R->integer == 2) return TSaveResult::srLeaseLost;
      NewVersion = 1;
      return TSaveResult::srSaved;
    });
  }

  bool Rename(const std::string& OldId, const std::string& NewId) override {
    return Run("Rename", [&](TRedisConnection& C) {
      auto R = C.Eval("Rename", RenameScript(),
                      {RecordKey(OldId), RecordKey(NewId), LeaseKey(OldId), LeaseKey(NewId)},
                      {FOptions.InstanceId});
      if (R->type != REDIS_REPLY_INTEGER) C.Unexpected("Rename");
      return R->integer == 1;
    });
  }

  void Delete(const std::string& Id) override {
    Run("Delete", [&](TRedisConnection& C) {
      auto R = C.Command("Delete", {"DEL", RecordKey(Id), LeaseKey(Id)});
      if (R->type != REDIS_REPLY_INTEGER) C.Unexpected("Delete");
      return 0;
    });
  }

  std::optional<std::string> SessionOfFlow(const std::string& Key) override {
    return Run("SessionOfFlow", [&](TRedisConnection& C) {
      auto R = C.Command("SessionOfFlow", {"GET", FlowKey(Key)});
      std::optional<std::string> Result;
      if (R->type == REDIS_REPLY_STRING)
        Result.emplace(R->str, R->len);
      else if (R->type != REDIS_REPLY_NIL)
        C.Unexpected("SessionOfFlow");
      return Result;
    });
  }

  std::optional<std::string> RenewalOf(const std::string& OldId,
                                       const std::string& Proof) override {
    return Run("RenewalOf", [&](TRedisConnection& C) {
      auto R = C.Command("RenewalOf", {"GET", RenewalKey(OldId, Proof)});
      std::optional<std::string> Result;
      if (R->type == REDIS_REPLY_STRING)
        Result.emplace(R->str, R->len);
      else if (R->type != REDIS_REPLY_NIL)
        C.Unexpected("RenewalOf");
      return Result;
    });
  }

  TClaim ClaimFlow(const std::string& Key, const std::string& SessionId,
                   std::chrono::milliseconds Ttl) override {
    CheckTtl("ClaimFlow", Ttl);
    return Run("ClaimFlow", [&](TRedisConnection& C) {
      auto R = C.Eval("ClaimFlow", ClaimScript(), {ClaimKey(Key), LeaseKey(SessionId)},
                      {FOptions.InstanceId, std::to_string(Ttl.count())});
      if (R->type != REDIS_REPLY_INTEGER || R->integer < 0 || R->integer > 2)
        C.Unexpected("ClaimFlow");
      return R->integer == 0   ? TClaim::clRefused
             : R->integer == 1 ? TClaim::clClaimed
                               : TClaim::clTakenOver;
    });
  }

  void ReleaseFlowClaim(const std::string& Key) override {
    Run("ReleaseFlowClaim", [&](TRedisConnection& C) {
      auto R = C.Eval("ReleaseFlowClaim", ReleaseScript(), {ClaimKey(Key)}, {FOptions.InstanceId});
      if (R->type != REDIS_REPLY_INTEGER) C.Unexpected("ReleaseFlowClaim");
      return 0;
    });
  }

  bool Reachable() override {
    try {
      return Run("PING", [&](TRedisConnection& C) {
        auto R = C.Command("PING", {"PING"});
        if (R->type != REDIS_REPLY_STATUS) C.Unexpected("PING");
        return true;
      });
    } catch (const EStoreUnavailable&) {
      return false;
    }
  }

  TStoreCounters Counters() const override {
    TStoreCounters C;
    C.Calls = FCalls.load(std::memory_order_relaxed);
    C.RoundTrips = FRoundTrips.load(std::memory_order_relaxed);
    C.Errors = FErrors.load(std::memory_order_relaxed);
    C.Connects = FConnects.load(std::memory_order_relaxed);
    for (std::size_t I = 0; I < C.Latency.size(); ++I)
      C.Latency[I] = FLatency[I].load(std::memory_order_relaxed);
    C.LatencySumMicroseconds = FLatencySum.load(std::memory_order_relaxed);
    return C;
  }

 private:
  const TStoreAddress FAddress;
  const std::string FName;
  TStoreOptions FOptions;

  std::mutex FPoolMutex;
  std::condition_variable FPoolChanged;
  std::vector<std::unique_ptr<TRedisConnection>> FIdle;  // guarded by FPoolMutex
  int FOpen = 0;  // connections idle, borrowed or being made; guarded by FPoolMutex

  std::atomic<std::uint64_t> FCalls{0};
  std::atomic<std::uint64_t> FRoundTrips{0};
  std::atomic<std::uint64_t> FErrors{0};
  std::atomic<std::uint64_t> FConnects{0};
  std::array<std::atomic<std::uint64_t>, TStoreCounters::LatencyBoundsMs.size() + 1> FLatency{};
  std::atomic<std::uint64_t> FLatencySum{0};

  static std::string RecordKey(const std::string& Id) { return "zelk:s:" + Id; }
  static std::string LeaseKey(const std::string& Id) { return "zelk:l:" + Id; }
  static std::string FlowKey(const std::string& Key) { return "zelk:f:" + Key; }
  static std::string ClaimKey(const std::string& Key) { return "zelk:c:" + Key; }
  static std::string RenewalKey(const std::string& OldId, const std::string& Proof) {
    const std::string Text = OldId + "\n" + Proof;
    unsigned char Digest[EVP_MAX_MD_SIZE];
    unsigned int Size = 0;
    if (EVP_Digest(Text.data(), Text.size(), Digest, &Size, EVP_sha256(), nullptr) != 1)
      throw rtl::Exception("Session store: SHA-256 unavailable");
    return "zelk:r:" + Hex(Digest, Size);
  }

  // A connection borrowed from the pool, given back (or dropped when broken) when this goes.
  class TBorrowed {
   public:
    TBorrowed(TRedisStore& Store, std::unique_ptr<TRedisConnection> C)
        : FStore(Store), FConnection(std::move(C)) {}
    ~TBorrowed() { FStore.GiveBack(std::move(FConnection)); }
    TBorrowed(const TBorrowed&) = delete;
    TBorrowed& operator=(const TBorrowed&) = delete;
    TRedisConnection& operator*() const { return *FConnection; }

   private:
    TRedisStore& FStore;
    std::unique_ptr<TRedisConnection> FConnection;
  };

  std::unique_ptr<TRedisConnection> Borrow(const char* What) {
    const auto Deadline = Clock::now() + FOptions.Timeout;
    std::unique_lock Lock(FPoolMutex);
    for (;;) {
      if (!FIdle.empty()) {
        auto C = std::move(FIdle.back());
        FIdle.pop_back();
        Lock.unlock();
        if (C->LooksAlive()) return C;
        C.reset();  // closed by the server while idle: made anew below
        Lock.lock();
        --FOpen;
        continue;
      }
      if (FOpen < FOptions.Connections) {
        ++FOpen;
        Lock.unlock();
        try {
          FConnects.fetch_add(1, std::memory_order_relaxed);
          return std::make_unique<TRedisConnection>(FAddress, FName, FOptions.Timeout, FRoundTrips);
        } catch (...) {
          Lock.lock();
          --FOpen;
          FPoolChanged.notify_one();
          throw;
        }
      }
      if (FPoolChanged.wait_until(Lock, Deadline) == std::cv_status::timeout && FIdle.empty() &&
          FOpen >= FOptions.Connections)
        throw EStoreUnavailable("Session store " + FName + ": " + What + ": all " +
                                std::to_string(FOptions.Connections) + " connections busy for " +
                                std::to_string(FOptions.Timeout.count()) + " ms");
    }
  }

  void GiveBack(std::unique_ptr<TRedisConnection> C) {
    if (C->Broken()) C.reset();
    std::lock_guard Lock(FPoolMutex);
    if (C)
      FIdle.push_back(std::move(C));
    else
      --FOpen;
    FPoolChanged.notify_one();
  }

  // Runs one call on a borrowed connection, counting it, its time and its failure.
  template <class Body>
  std::invoke_result_t<Body&, TRedisConnection&> Run(const char* What, Body&& B) {
    const auto Start = Clock::now();
    FCalls.fetch_add(1, std::memory_order_relaxed);
    try {
      TBorrowed C(*this, Borrow(What));
      auto Result = B(*C);
      Measure(Start);
      return Result;
    } catch (const EStoreUnavailable&) {
      FErrors.fetch_add(1, std::memory_order_relaxed);
      Measure(Start);
      throw;
    }
  }

  void Measure(Clock::time_point Start) {
    const auto Us = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - Start).count());
    std::size_t Bucket = 0;
    while (Bucket < TStoreCounters::LatencyBoundsMs.size() &&
           Us > TStoreCounters::LatencyBoundsMs[Bucket] * 1000ull)
      ++Bucket;
    FLatency[Bucket].fetch_add(1, std::memory_order_relaxed);
    FLatencySum.fetch_add(Us, std::memory_order_relaxed);
  }
};

}  // namespace

std::unique_ptr<TSessionStore> OpenSessionStore(const std::string& URL, TStoreOptions Options) {
  auto Address = detail::ParseStoreURL(URL);
  if (Options.Timeout.count() <= 0)
    throw rtl::Exception("Session store: the time-out must be positive, not " +
                         std::to_string(Options.Timeout.count()) + " ms");
  if (Options.Connections < 1)
    throw rtl::Exception("Session store: at least one connection is needed, not " +
                         std::to_string(Options.Connections));
  return std::make_unique<TRedisStore>(std::move(Address), std::move(Options));
}

}  // namespace zelk::web::store
