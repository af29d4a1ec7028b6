// The session store: where sessions live between requests when they must outlive the process
// and be shared by several instances. A record is opaque bytes here (the server seals it with
// RecordCipher.h before saving); the store keeps it with a version, a lease that lets one
// instance at a time work on a session, an index from open flows to their session, and
// once-only claims on flow completions.
//
// Threads: a store is used by many request threads at once. Every call is safe to make from any
// thread concurrently with any other call; each borrows one of the store's connections for its
// round trip (or waits for one, within the time-out) and gives it back. Counters() never waits
// for a round trip.
//
// Failures: every call that talks to the store raises EStoreUnavailable when the connection
// cannot be made, the store refuses a command, the answer is malformed, or no answer comes
// within TStoreOptions::Timeout; the message names the store's host:port and what failed. A
// connection that failed is dropped and the next call makes a new one, so the store reconnects
// by itself once the server is back. A call is never retried behind the caller's back: after a
// time-out the caller cannot know whether a write was applied (a later Load tells). A Ttl that
// is not positive is a caller's mistake: rtl::Exception, before anything is sent.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/rtl/SysUtils.h"

namespace zelk::web::store {

// A store call failed or timed out: the server answers 503 and never falls back to memory.
class EStoreUnavailable : public rtl::Exception {
 public:
  using rtl::Exception::Exception;
};

struct TLeaseResult {
  bool Granted = false;               // this instance holds the lease now
  std::uint64_t Version = 0;          // the stored record's version (0: none stored)
  std::chrono::milliseconds Wait{0};  // not granted: how long the other holder's lease runs
};

// The answer to a claim on a flow's completion.
enum class TClaim {
  clRefused,    // another request claimed it and may still be completing it
  clClaimed,    // nobody had
  clTakenOver,  // another instance had, but no longer holds the session
};

enum class TSaveResult {
  srSaved,     // written as version Expected + 1
  srConflict,  // the stored version is not Expected: someone saved in between; nothing written
  srLeaseLost  // this instance does not hold the lease (it ran out or was taken); nothing written
};

// What a store has done since it was opened, for /metrics. Every field only grows.
struct TStoreCounters {
  // The upper bounds (ms) of the latency buckets.
  static constexpr std::array<std::uint32_t, 10> LatencyBoundsMs{1,  2,   5,   10,  25,
                                                                 50, 100, 250, 500, 1000};
  std::uint64_t Calls = 0;       // store calls made (each call of TSessionStore once)
  std::uint64_t RoundTrips = 0;  // requests sent (a new connection's set-up counts one)
  std::uint64_t Errors = 0;      // calls that raised EStoreUnavailable
  std::uint64_t Connects = 0;    // connections made (first use, and after each failure)
  // Calls by duration (pool wait and connecting included): Latency[i] counts the calls that took
  // more than LatencyBoundsMs[i - 1] and at most LatencyBoundsMs[i]; the last counts the calls
  // above every bound. Not cumulative: /metrics adds them up.
  std::array<std::uint64_t, LatencyBoundsMs.size() + 1> Latency{};
  std::uint64_t LatencySumMicroseconds = 0;  // the duration of all calls together
};

class TSessionStore {
 public:
  virtual ~TSessionStore() = default;

  // Takes or renews this instance's lease on session Id for Ttl, and reports the stored
  // record's version, so that a holder whose copy is current needs nothing more. When granted
  // and RecordTtl is positive, the record's expiry is refreshed to RecordTtl too (a session in
  // use does not expire). One round trip. Not granted when another instance holds it: Wait
  // then tells how long that lease still runs.
  virtual TLeaseResult Lease(const std::string& Id, std::chrono::milliseconds Ttl,
                             std::chrono::milliseconds RecordTtl) = 0;
  TLeaseResult Lease(const std::string& Id, std::chrono::milliseconds Ttl) {
    return Lease(Id, Ttl, std::chrono::milliseconds(0));
  }
  // Gives back this instance's lease on Id; a lease another instance holds is left alone. One
  // round trip.
  virtual void ReleaseLease(const std::string& Id) = 0;
  // The record of Id and its version; none when nothing is stored. One round trip.
  virtual std::optional<std::pair<std::string, std::uint64_t>> Load(const std::string& Id) = 0;
  // Compare-and-set, one round trip: writes Record as version Expected + 1 only if this
  // instance holds the lease on Id and the stored version is Expected (0: none stored); then
  // sets the record's expiry to Ttl and points each of FlowKeys (open flows' identifiers and
  // request tokens) at Id for Ttl. NewVersion receives the version written (left alone when
  // nothing was written). The lease is checked first: a writer without it gets srLeaseLost
  // whatever the version.
  virtual TSaveResult Save(const std::string& Id, std::uint64_t Expected, const std::string& Record,
                           std::chrono::milliseconds Ttl, const std::vector<std::string>& FlowKeys,
                           std::uint64_t& NewVersion) = 0;
  // The first save of Id, a session id nothing is stored under yet (a fresh random one), in one
  // atomic round trip: takes this instance's lease on Id for LeaseTtl, writes Record as version
  // 1 with the expiry Ttl, points each of FlowKeys at Id for Ttl and, when From is not empty (Id
  // renews the session id From), deletes From's record and lease. srLeaseLost when another
  // instance holds the lease on Id, srConflict when Id has a record already (other than Record
  // itself: an attempt whose answer was lost counts as saved); nothing is written then, and
  // NewVersion is left alone (it receives 1 when saved). With From and Proof, the same write
  // remembers the renewal for NoteTtl (RenewalOf), before the old record is gone.
  virtual TSaveResult SaveNew(const std::string& Id, const std::string& From,
                              const std::string& Record, std::chrono::milliseconds Ttl,
                              std::chrono::milliseconds LeaseTtl,
                              const std::vector<std::string>& FlowKeys, std::uint64_t& NewVersion,
                              const std::string& Proof = {},
                              std::chrono::milliseconds NoteTtl = std::chrono::milliseconds(0)) = 0;
  // Gives the record, its version, its expiry and the lease of OldId the name NewId (session id
  // renewal), in one atomic round trip, if this instance holds the lease on OldId; false (and
  // nothing changed) when it does not. Whatever NewId named before is replaced. Flow keys
  // saved for OldId keep naming OldId until the next Save points them at NewId.
  virtual bool Rename(const std::string& OldId, const std::string& NewId) = 0;
  // Deletes the record and the lease (a session signed out or ended), whoever holds the lease.
  // One round trip.
  virtual void Delete(const std::string& Id) = 0;
  // The session an open flow (identifier or request token) belongs to; none when unknown or
  // expired. One round trip.
  virtual std::optional<std::string> SessionOfFlow(const std::string& FlowKey) = 0;
  // The id OldId was renewed to by the request Proof (a provider's return, its whole target),
  // as SaveNew remembered it: a browser that sends that request again with the old id, because
  // the answer that carried the new one never reached it, gets the new id. Only the hash of the
  // old id and the proof is kept, so the note tells nothing to whoever lacks either. One round
  // trip.
  virtual std::optional<std::string> RenewalOf(const std::string& OldId,
                                               const std::string& Proof) = 0;
  // Claims the completion of flow FlowKey of session SessionId (the session the flow belongs
  // to) for this instance. With nobody's claim on it, it is granted. A claim there already is
  // granted only to the instance that holds SessionId's lease: its own earlier one (requests of
  // one session are one at a time within an instance), or another instance's, taken over. A
  // claim is made under the session's lease, so an instance whose claim is taken over has lost
  // the session since (it died or stalled past its lease time) and cannot save what its
  // completion did: the flow is completed again here, where the provider's own checks (a code
  // redeemed once, a checkout captured once) keep a second completion from taking effect
  // twice. Everyone else is refused until the claim runs out after Ttl or is released. One
  // round trip.
  virtual TClaim ClaimFlow(const std::string& FlowKey, const std::string& SessionId,
                           std::chrono::milliseconds Ttl) = 0;
  // Gives back this instance's claim on FlowKey (the return changed nothing), so that a later
  // return can claim it; another instance's claim is left alone. One round trip.
  virtual void ReleaseFlowClaim(const std::string& FlowKey) = 0;
  // A cheap reachability check (PING) within the store's time-out; never raises.
  virtual bool Reachable() = 0;
  // A snapshot of the counters.
  virtual TStoreCounters Counters() const = 0;
};

struct TStoreOptions {
  // The most any one wait takes: connecting, sending, each wait for an answer, and waiting for
  // a free connection when all are busy.
  std::chrono::milliseconds Timeout{250};
  // This instance's name in leases and claims; instances sharing a store need distinct ones.
  // Empty: a random one made when the store is opened.
  std::string InstanceId;
  // The most connections open at once (request threads beyond this wait for one).
  int Connections = 8;
};

// Makes the store a URL names: "redis://[:password@]host:port[/db]" (the password
// percent-encoded where it holds '%', '@' or '/'; an IPv6 host in brackets; db 0 when left
// out). Raises rtl::Exception with a clear message for a malformed URL or options (a
// non-positive time-out or connection count); the message never holds the password. Does not
// connect yet (the first call does, and a lost connection is re-made by the next call). Every
// key it writes starts with "zelk:".
std::unique_ptr<TSessionStore> OpenSessionStore(const std::string& URL, TStoreOptions Options);

}  // namespace zelk::web::store
