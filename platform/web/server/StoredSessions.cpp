#include "platform/web/server/StoredSessions.h"

#include <algorithm>
#include <cstdio>
#include <thread>

namespace zelk::web {

namespace {

using namespace std::chrono_literals;

// A claim outlives the longest completion (the provider calls of one return, each bounded by
// the transport's own deadline) by far. A claim whose instance died is taken over by the next
// instance to hold the session, or runs out after this.
constexpr auto kClaimTime = std::chrono::minutes(2);
// A session idle this long gives its lease back, so that another instance the balancer sends
// its browser to need not wait for the lease to run out.
constexpr auto kLeaseIdle = 1s;
constexpr auto kReachableCache = 500ms;
// How often a save the store failed is tried again while its caller waits.
constexpr auto kSaveRetryPause = 100ms;
// How long the browser of a return that renewed a session id can come back with the old one.
constexpr auto kRenewalMemory = std::chrono::minutes(2);

TSessionClock::rep Ticks(TSessionClock::time_point T) {
  return T.time_since_epoch().count();
}

// One Prometheus sample line.
void Sample(std::string& Out, const std::string& Name, std::uint64_t Value,
            const std::string& Labels = {}) {
  Out += Name;
  if (!Labels.empty()) Out += "{" + Labels + "}";
  Out += " " + std::to_string(Value) + "\n";
}

void Help(std::string& Out, const std::string& Name, const std::string& Type,
          const std::string& Text) {
  Out += "# HELP " + Name + " " + Text + "\n# TYPE " + Name + " " + Type + "\n";
}

}  // namespace

TStoredSessions::TStoredSessions(std::unique_ptr<store::TSessionStore> Store, store::TKeyRing Keys,
                                 TOptions Options)
    : FStore(std::move(Store)), FKeys(std::move(Keys)), FOptions(Options) {}

std::optional<store::TLeaseResult> TStoredSessions::WaitForLease(TIWSession& S,
                                                                 const std::string& Id) {
  const auto Deadline = TSessionClock::now() + FOptions.WaitTimeout;
  for (;;) {
    const store::TLeaseResult R = FStore->Lease(Id, FOptions.LeaseTime, FOptions.SessionTimeout);
    if (R.Granted) {
      S.LeaseHeld = true;
      S.LeaseTaken = Ticks(TSessionClock::now());
      return R;
    }
    const auto Now = TSessionClock::now();
    if (Now >= Deadline) {
      ++FBusy;
      return std::nullopt;
    }
    // Another instance works on the session: it gives the lease back once its request is done
    // and the session idles, or the lease runs out when that instance died. Asked again soon.
    const auto Pause = std::clamp<std::chrono::milliseconds>(R.Wait, 5ms, 50ms);
    std::this_thread::sleep_for(std::min<TSessionClock::duration>(Pause, Deadline - Now));
  }
}

TStoredSessions::TTake TStoredSessions::Take(TIWSession& S) {
  // This instance took or renewed the lease less than half its time ago: nobody else can have
  // saved the session since, so the copy in memory is current without asking (the half is the
  // margin for the time the lease's answer took to arrive).
  const TSessionClock::time_point Taken{TSessionClock::duration(S.LeaseTaken.load())};
  if (S.LeaseHeld && TSessionClock::now() - Taken < FOptions.LeaseTime / 2) return TTake::tkCurrent;
  const auto R = WaitForLease(S, S.StoredID.empty() ? S.ID() : S.StoredID);
  if (!R) return TTake::tkBusy;
  return R->Version == S.StoredVersion ? TTake::tkCurrent : TTake::tkStale;
}

std::optional<std::string> TStoredSessions::Load(const std::string& Id, std::uint64_t& Version) {
  const auto Record = FStore->Load(Id);
  if (!Record) return std::nullopt;
  std::optional<std::string> Plain = store::OpenRecord(FKeys, Id, Record->first);
  if (!Plain) {
    ++FRefused;
    return std::nullopt;
  }
  Version = Record->second;
  return Plain;
}

bool TStoredSessions::Save(TIWSession& S, const std::string& State,
                           const std::vector<std::string>& FlowKeys, const std::string& Proof,
                           std::chrono::milliseconds Wait) {
  const std::string& Id = S.ID();
  const bool Moved = !S.StoredID.empty() && S.StoredID != Id;
  if (!Moved && S.StoredVersion > 0 && State == S.StoredState) return true;
  // Sealed once: the same bytes are sent again when an attempt fails (here, or later for a
  // pending save), so that an attempt the store carried out but whose answer was lost is
  // recognised as done, not as a conflict.
  const std::string Record = S.SavePending && !S.PendingRecord.empty() && S.PendingState == State
                                 ? S.PendingRecord
                                 : store::SealRecord(FKeys, Id, State);
  std::uint64_t Version = 0;
  const std::string From = Moved ? S.StoredID : std::string();
  const auto Deadline = TSessionClock::now() + Wait;
  store::TSaveResult R = store::TSaveResult::srConflict;
  for (;;) {
    try {
      if (Moved || S.StoredVersion == 0) {
        // A new session, or one whose id was renewed, starts a record of its own under a
        // lease of its own (a fresh random id: nobody else holds it), and the record of the
        // old id goes in the same write (with the renewal's note), so that the old id names
        // nothing in the store either: one round trip.
        const auto SaveNew = [&] {
          return FStore->SaveNew(Id, From, Record, FOptions.SessionTimeout, FOptions.LeaseTime,
                                 FlowKeys, Version, Proof, kRenewalMemory);
        };
        R = SaveNew();
        // Another instance holds the fresh id's lease: waited for like any other lease.
        if (R == store::TSaveResult::srLeaseLost) {
          if (!WaitForLease(S, Id))
            throw store::EStoreUnavailable("the session's lease could not be had");
          R = SaveNew();
        }
        if (R == store::TSaveResult::srSaved) {
          S.LeaseHeld = true;
          S.LeaseTaken = Ticks(TSessionClock::now());
        }
      } else {
        const auto SaveNext = [&] {
          return FStore->Save(Id, S.StoredVersion, Record, FOptions.SessionTimeout, FlowKeys,
                              Version);
        };
        R = SaveNext();
        // The lease ran out under a long request (or another instance took it meanwhile):
        // taken again, the write goes through as long as nobody saved in between.
        if (R == store::TSaveResult::srLeaseLost && WaitForLease(S, Id)) R = SaveNext();
      }
      break;
    } catch (const store::EStoreUnavailable&) {
      if (TSessionClock::now() >= Deadline) {
        S.PendingRecord = Record;
        S.PendingState = State;
        throw;
      }
    }
    std::this_thread::sleep_for(kSaveRetryPause);
  }
  if (R != store::TSaveResult::srSaved) {
    ++FConflicts;
    return false;
  }
  ++FSaves;
  S.SavePending = false;
  S.PendingRecord.clear();
  S.PendingState.clear();
  S.StoredID = Id;
  S.StoredVersion = Version;
  S.StoredState = State;
  return true;
}

TStoredSessions::TFlush TStoredSessions::SavePending(TIWSession& S, const std::string& State,
                                                     const std::vector<std::string>& FlowKeys) {
  const std::string& Id = S.StoredID.empty() ? S.ID() : S.StoredID;
  const store::TLeaseResult R = FStore->Lease(Id, FOptions.LeaseTime, FOptions.SessionTimeout);
  if (!R.Granted) return TFlush::fsLater;
  S.LeaseHeld = true;
  S.LeaseTaken = Ticks(TSessionClock::now());
  // A version other than this copy's: another instance saved meanwhile, or the failed save
  // was carried out after all; the save tells which (the same bytes count as saved).
  return Save(S, State, FlowKeys) ? TFlush::fsSaved : TFlush::fsStale;
}

void TStoredSessions::Delete(TIWSession& S) {
  FStore->Delete(S.ID());
  if (!S.StoredID.empty() && S.StoredID != S.ID()) FStore->Delete(S.StoredID);
  S.LeaseHeld = false;
  S.StoredVersion = 0;
  S.StoredState.clear();
}

void TStoredSessions::Release(TIWSession& S) {
  if (!S.LeaseHeld.exchange(false)) return;
  try {
    FStore->ReleaseLease(S.StoredID.empty() ? S.ID() : S.StoredID);
  } catch (...) {
    // The lease runs out by itself.
  }
}

store::TClaim TStoredSessions::Claim(const std::string& Key, const TIWSession& S) {
  const store::TClaim R =
      FStore->ClaimFlow(Key, S.StoredID.empty() ? S.ID() : S.StoredID, kClaimTime);
  if (R == store::TClaim::clTakenOver) ++FTakenOver;
  return R;
}

void TStoredSessions::Unclaim(const std::string& Key) {
  FStore->ReleaseFlowClaim(Key);
}

std::optional<std::string> TStoredSessions::RenewalOf(const std::string& OldId,
                                                      const std::string& Proof) {
  return FStore->RenewalOf(OldId, Proof);
}

std::optional<std::string> TStoredSessions::SessionOfFlow(const std::string& Key) {
  return FStore->SessionOfFlow(Key);
}

bool TStoredSessions::Reachable() {
  std::lock_guard L(FReachMutex);
  const auto Now = TSessionClock::now();
  if (Now - FReachAsked >= kReachableCache) {
    FReachable = FStore->Reachable();
    FReachAsked = Now;
  }
  return FReachable;
}

void TStoredSessions::Maintain(TIWSessionList& Sessions, TSessionClock::time_point Now) {
  for (const TIWSessionList::TEntry& E : Sessions.Snapshot()) {
    TIWSession& S = *E.Session;
    if (!S.LeaseHeld) continue;
    const TSessionClock::time_point Taken{TSessionClock::duration(S.LeaseTaken.load())};
    if (E.InUse || S.SavePending) {
      // A request is in progress (waiting for a provider, say), or this copy holds changes
      // the store has not got: the lease must not run out under it.
      if (Now - Taken < FOptions.LeaseTime / 3) continue;
      try {
        if (FStore->Lease(E.ID, FOptions.LeaseTime, FOptions.SessionTimeout).Granted)
          S.LeaseTaken = Ticks(Now);
      } catch (...) {
        // Tried again at the next round; the request's own save tells whether it was lost.
      }
    } else if (Now - E.LastUse >= kLeaseIdle && S.Mutex.try_lock()) {
      Release(S);
      S.Mutex.unlock();
    }
  }
}

std::string TStoredSessions::MetricsText() const {
  const store::TStoreCounters C = FStore->Counters();
  std::string Out;
  Help(Out, "zelk_sessions_restored_total", "counter",
       "Sessions this instance built from the session store.");
  Sample(Out, "zelk_sessions_restored_total", FRestored);
  Help(Out, "zelk_session_saves_total", "counter", "Session states written to the store.");
  Sample(Out, "zelk_session_saves_total", FSaves);
  Help(Out, "zelk_session_save_conflicts_total", "counter",
       "Writes the store refused because another instance saved or took the lease.");
  Sample(Out, "zelk_session_save_conflicts_total", FConflicts);
  Help(Out, "zelk_session_records_refused_total", "counter",
       "Stored records that failed authentication or named an unknown key.");
  Sample(Out, "zelk_session_records_refused_total", FRefused);
  Help(Out, "zelk_session_lease_timeouts_total", "counter",
       "Requests that gave up waiting for another instance's lease.");
  Sample(Out, "zelk_session_lease_timeouts_total", FBusy);
  Help(Out, "zelk_flow_claims_taken_over_total", "counter",
       "Provider returns completed here after the instance that had claimed them lost the "
       "session (it stopped mid-completion).");
  Sample(Out, "zelk_flow_claims_taken_over_total", FTakenOver);
  Help(Out, "zelk_session_store_calls_total", "counter", "Calls made to the session store.");
  Sample(Out, "zelk_session_store_calls_total", C.Calls);
  Help(Out, "zelk_session_store_round_trips_total", "counter",
       "Requests sent to the session store.");
  Sample(Out, "zelk_session_store_round_trips_total", C.RoundTrips);
  Help(Out, "zelk_session_store_errors_total", "counter",
       "Session store calls that failed or timed out.");
  Sample(Out, "zelk_session_store_errors_total", C.Errors);
  Help(Out, "zelk_session_store_call_duration_seconds", "histogram",
       "Session store calls by duration.");
  std::uint64_t Cumulative = 0;
  for (std::size_t I = 0; I < C.Latency.size(); ++I) {
    Cumulative += C.Latency[I];
    std::string Bound = "+Inf";
    if (I < store::TStoreCounters::LatencyBoundsMs.size()) {
      char Text[32];
      std::snprintf(Text, sizeof Text, "%g", store::TStoreCounters::LatencyBoundsMs[I] / 1000.0);
      Bound = Text;
    }
    Sample(Out, "zelk_session_store_call_duration_seconds_bucket", Cumulative,
           "le=\"" + Bound + "\"");
  }
  Out += "zelk_session_store_call_duration_seconds_sum " +
         std::to_string(static_cast<double>(C.LatencySumMicroseconds) / 1e6) + "\n";
  Sample(Out, "zelk_session_store_call_duration_seconds_count", C.Calls);
  return Out;
}

}  // namespace zelk::web
