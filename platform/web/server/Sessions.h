// The server's browser sessions: each has a random identifier, a lock that serialises its
// requests, and the application object that owns the session's components.
//
// Threads: TIWSessionList is safe to use from every request thread. Its lock guards the maps and
// each session's bookkeeping (last use, requests in progress, whether the browser has shown the
// cookie back); a session's own Mutex guards its Application and Ended. Nothing takes the list's
// lock while holding it across application code, so a session's components may be created and
// freed (and their clients leave the auth registry) under the session's lock alone.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "platform/rtl/Classes.h"
#include "platform/web/IWApplication.h"

namespace zelk::web {

using TSessionClock = std::chrono::steady_clock;

// A new session identifier: 32 bytes from the operating system's CSPRNG as 64 lower-case
// hexadecimal digits. Raises Exception when no random bytes can be had.
std::string NewSessionID();
// Whether Text has the shape of a session identifier (64 lower-case hexadecimal digits).
bool IsSessionIDShape(std::string_view Text);

// The lock of one session: a mutex that can be waited for with a time limit. Built on a plain
// mutex and a condition variable rather than std::timed_mutex, whose timed wait the thread
// sanitizer of the supported compilers cannot follow (it would report every session's lock
// as misused).
class TSessionMutex {
 public:
  void lock();
  bool try_lock();
  bool try_lock_for(std::chrono::milliseconds Timeout);
  void unlock();

 private:
  std::mutex FMutex;
  std::condition_variable FReleased;
  bool FHeld = false;  // guarded by FMutex
};

class TIWSession {
 public:
  explicit TIWSession(std::string ID) : FID(std::move(ID)) {}
  TIWSession(const TIWSession&) = delete;
  TIWSession& operator=(const TIWSession&) = delete;

  // Changes only under both the list's lock and Mutex (Rename): reading it under either is safe.
  const std::string& ID() const { return FID; }

  // Held while one of the session's requests is served, while it is created and while it is
  // freed. Timed, so that a request stuck behind a slow one can give up with a clear answer.
  TSessionMutex Mutex;
  // The session's application object; guarded by Mutex.
  std::unique_ptr<TIWApplication> Application;
  // Set under Mutex when the session has been freed; a request that got the lock late sees it.
  bool Ended = false;

  // With a session store, guarded by Mutex: the id and version of the stored record this copy
  // was built from or last saved (version 0: nothing stored yet), and the state as it was then
  // (a request that leaves it unchanged writes nothing).
  std::string StoredID;
  std::uint64_t StoredVersion = 0;
  std::string StoredState;
  // Whether this instance holds the session's lease, and since when (its last renewal): read by
  // the sweeper without the session's Mutex.
  std::atomic<bool> LeaseHeld{false};
  std::atomic<TSessionClock::rep> LeaseTaken{0};
  // This copy holds changes the store has not got: their save failed while the store was
  // unreachable (a completed sign-in or payment among them). Saved as soon as the store
  // answers again, before another instance would restore the older stored state.
  std::atomic<bool> SavePending{false};
  // Guarded by Mutex: the sealed record of the failed save and the state it holds. Sent again
  // as it is while the state is unchanged, so that an attempt the store carried out after all
  // (its answer was lost) is recognised as done.
  std::string PendingRecord;
  std::string PendingState;

 private:
  friend class TIWSessionList;
  std::string FID;
  // Guarded by the list's lock.
  TSessionClock::time_point FLastUse{};
  int FInUse = 0;
  bool FConfirmed = false;
  bool FEstablished = false;
  bool FListed = false;
  const rtl::TComponent* FApplicationKey = nullptr;
};

using TIWSessionPtr = std::shared_ptr<TIWSession>;

class TIWSessionList {
 public:
  TIWSessionList() = default;
  TIWSessionList(const TIWSessionList&) = delete;
  TIWSessionList& operator=(const TIWSessionList&) = delete;

  // The live session named ID, marked in use (Release when done), or none. Confirm records that
  // the browser has presented the session's identifier back: such a session is evicted only
  // after every one whose browser never came back.
  TIWSessionPtr Acquire(std::string_view ID, bool Confirm);
  // The session whose Application is App, marked in use, or none. A session that has left the
  // list but not yet forgotten its application (it is being freed) is still found: a request
  // for it then waits for its lock and finds it Ended.
  TIWSessionPtr AcquireByApplication(const rtl::TComponent* App);
  // Drops the application of Session from the lookup above; called while the session is freed,
  // after its clients have left every registry and before the application object goes.
  void ForgetApplication(const TIWSessionPtr& Session);
  // Ends one use; the session's idle time starts at Now.
  void Release(const TIWSessionPtr& Session, TSessionClock::time_point Now);

  enum class TAddResult { arAdded, arFull };
  using enum TAddResult;
  // Enters Session (its Application already made) marked in use. At MaxSessions an anonymous
  // session (not in use, no flow of it ever succeeded) makes room: the idlest whose browser
  // never presented its cookie back, else the idlest of the others. It leaves the list and is
  // returned in Evicted for the caller to free. Without an anonymous session the list stays as
  // it is and arFull is returned: established sessions are never pushed out by new ones.
  TAddResult Add(const TIWSessionPtr& Session, std::size_t MaxSessions,
                 TSessionClock::time_point Now, TIWSessionPtr& Evicted);
  // Marks Session established (a flow of it succeeded): it is never evicted.
  void Establish(const TIWSessionPtr& Session);
  // Gives Session the identifier NewID; the old one names nothing from then on. Called under
  // Session's Mutex.
  void Rename(const TIWSessionPtr& Session, std::string NewID);
  // Takes Session out of the list (its creation failed).
  void Remove(const TIWSessionPtr& Session);
  // Takes out every session not in use whose last use is at least Timeout before Now.
  std::vector<TIWSessionPtr> TakeIdle(TSessionClock::time_point Now,
                                      TSessionClock::duration Timeout);
  // Takes out every session (the server stops).
  std::vector<TIWSessionPtr> TakeAll();
  // Whether Session is still in the list: false once it expired, was evicted or taken out,
  // even while it is being freed.
  bool Listed(const TIWSessionPtr& Session) const;
  // Sessions in the list (not counting those being freed).
  std::size_t Count() const;
  // Every session in the list with its id, whether a request holds it now and its last use.
  struct TEntry {
    TIWSessionPtr Session;
    std::string ID;
    bool InUse = false;
    TSessionClock::time_point LastUse;
  };
  std::vector<TEntry> Snapshot() const;
  // Session's application object is now App (it was built again from a newer stored state):
  // AcquireByApplication finds it by App from now on. Called under Session's Mutex.
  void ReplaceApplication(const TIWSessionPtr& Session, const rtl::TComponent* App);

 private:
  void EraseLocked(const TIWSessionPtr& Session);
  // Enters Session into FEvictable when it can be evicted (listed, not in use, not
  // established), and takes it out; called around every change of those fields or FLastUse.
  void MarkEvictableLocked(TIWSession* Session);
  void UnmarkEvictableLocked(TIWSession* Session);
  mutable std::mutex FMutex;
  std::unordered_map<std::string, TIWSessionPtr> FByID;
  // The sessions Add may evict, never confirmed first, then idlest first: a full list makes
  // room without scanning every session.
  std::set<std::tuple<bool, TSessionClock::time_point, TIWSession*>> FEvictable;
  std::unordered_map<const rtl::TComponent*, TIWSessionPtr> FByApplication;
};

}  // namespace zelk::web
