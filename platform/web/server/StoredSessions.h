// TStoredSessions: what the server does with a session store, so that sessions outlive the
// process and several instances share them: one instance at a time works on a session (a lease
// in the store, renewed while a request is in progress and given back when the session idles),
// a session's state is sealed under the key ring and saved with a compare-and-set before the
// answer goes out, a flow's completion is claimed once across all instances, and returns find
// their session through the store's flow index. Without a store the server has none of this.
//
// Threads: safe to use from every request thread; the calls that name a session are made under
// that session's Mutex. Every store failure raises store::EStoreUnavailable (the server answers
// 503; nothing falls back to process memory), except in Release and Maintain, which are best
// effort.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/web/server/Sessions.h"
#include "platform/web/store/RecordCipher.h"
#include "platform/web/store/SessionStore.h"

namespace zelk::web {

class TStoredSessions {
 public:
  struct TOptions {
    // How long a lease lasts unless renewed: a dead instance's sessions are free again after
    // at most this long.
    std::chrono::milliseconds LeaseTime{std::chrono::seconds(5)};
    // Records expire after this long without use.
    std::chrono::milliseconds SessionTimeout{std::chrono::minutes(10)};
    // The longest a request waits for another instance to give a session's lease back.
    std::chrono::milliseconds WaitTimeout{std::chrono::seconds(30)};
  };

  TStoredSessions(std::unique_ptr<store::TSessionStore> Store, store::TKeyRing Keys,
                  TOptions Options);

  enum class TTake {
    tkCurrent,  // the lease is held and the session's copy is what the store has
    tkStale,    // the lease is held, but the store has a newer state (or none any more)
    tkBusy      // another instance kept the lease for longer than WaitTimeout
  };
  // Under S's Mutex: takes or renews this instance's lease on S, waiting while another instance
  // holds it, and refreshes the record's expiry. One round trip when S's copy is current.
  TTake Take(TIWSession& S);
  // Under the lease of Id: the state stored for Id, opened, and its version; none when nothing
  // is stored or the record was refused (it did not open: tampered, sealed for another
  // session or under a key the ring does not hold; counted, never parsed).
  std::optional<std::string> Load(const std::string& Id, std::uint64_t& Version);
  // Under S's Mutex, before the answer: S's State when it differs from what S was built from or
  // last saved (nothing is written otherwise), sealed for S's id, with the open flows that name
  // S. A session whose id was renewed moves to its new id. One round trip (a new session's and a
  // renewed id's first save take the lease with it). False when the store refused the write
  // because another instance saved in between or took the lease.
  // Proof: the provider's return (its target) that renewed S's id in this request, if one did;
  // a browser that sends it again with the old id (the answer with the new one was lost) is
  // given the new one (RenewalOf).
  // Wait: how long a failing store is tried again before its EStoreUnavailable is raised.
  bool Save(TIWSession& S, const std::string& State, const std::vector<std::string>& FlowKeys,
            const std::string& Proof = {},
            std::chrono::milliseconds Wait = std::chrono::milliseconds(0));
  std::optional<std::string> RenewalOf(const std::string& OldId, const std::string& Proof);
  // A pending save of S (TIWSession::SavePending) tried again without waiting: fsLater when
  // another instance holds S's lease now (or the store still fails: it raises), fsStale when
  // the store has a newer state than this copy was built from (this copy is to be dropped).
  enum class TFlush { fsSaved, fsLater, fsStale };
  TFlush SavePending(TIWSession& S, const std::string& State,
                     const std::vector<std::string>& FlowKeys);
  // S was signed out: its record and lease go.
  void Delete(TIWSession& S);
  // This instance lets go of its copy of S: the lease goes back. Never raises.
  void Release(TIWSession& S);
  // Claims the completion of flow Key of S for this instance, once across all instances; the
  // claim of an instance that lost S's lease (it died mid-completion) is taken over. S's lease
  // is held.
  store::TClaim Claim(const std::string& Key, const TIWSession& S);
  void Unclaim(const std::string& Key);
  // The session an open flow belongs to, by the store's flow index.
  std::optional<std::string> SessionOfFlow(const std::string& Key);
  // Whether the store answers; asked at most every half second.
  bool Reachable();
  // The sweeper's part: leases of sessions with a request in progress are renewed before they
  // run out, those of sessions idle for a second are given back so another instance can take
  // them at once. Never raises.
  void Maintain(TIWSessionList& Sessions, TSessionClock::time_point Now);
  // A session was built from the store (a restart, another instance's session).
  void CountRestored() { ++FRestored; }
  // The store's figures in the Prometheus text format.
  std::string MetricsText() const;

 private:
  // This instance's lease on Id (for S), waiting while another instance holds it; none when it
  // was not given back within WaitTimeout.
  std::optional<store::TLeaseResult> WaitForLease(TIWSession& S, const std::string& Id);
  std::unique_ptr<store::TSessionStore> FStore;
  store::TKeyRing FKeys;
  TOptions FOptions;
  std::atomic<std::uint64_t> FRestored{0};
  std::atomic<std::uint64_t> FRefused{0};
  std::atomic<std::uint64_t> FSaves{0};
  std::atomic<std::uint64_t> FConflicts{0};
  std::atomic<std::uint64_t> FBusy{0};
  std::atomic<std::uint64_t> FTakenOver{0};
  std::mutex FReachMutex;
  TSessionClock::time_point FReachAsked{};
  bool FReachable = true;
};

}  // namespace zelk::web
