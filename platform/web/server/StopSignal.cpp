#include "platform/web/server/StopSignal.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <string>
#include <system_error>
#include <thread>

#include "platform/rtl/SysUtils.h"

namespace zelk::web {

namespace {

// The pipe a signal handler writes to, -1 when no TStopSignal exists. A handler may only touch
// lock-free atomics, so this is one; the previous dispositions are only touched by the owner.
std::atomic<int> GSignalWriteFD{-1};
// Handlers running right now; the pipe is closed only when none may still write to it.
std::atomic<int> GHandlersRunning{0};
static_assert(std::atomic<int>::is_always_lock_free);

struct TSavedHandlers {
  struct sigaction Int {};
  struct sigaction Term {};
};
// Guarded by GSignalWriteFD: only the one existing TStopSignal reads and writes it.
TSavedHandlers GSaved;

extern "C" void OnStopSignal(int Signal) {
  const int SavedErrno = errno;
  GHandlersRunning.fetch_add(1);
  const int FD = GSignalWriteFD.load();
  if (FD >= 0) {
    const unsigned char Byte = static_cast<unsigned char>(Signal);
    [[maybe_unused]] const ssize_t Written = write(FD, &Byte, 1);
  }
  GHandlersRunning.fetch_sub(1);
  errno = SavedErrno;
}

void WriteByte(int FD, unsigned char Byte) {
  while (write(FD, &Byte, 1) < 0 && errno == EINTR) {
  }
}

}  // namespace

TStopSignal::TStopSignal() {
  int FDs[2];
  if (pipe2(FDs, O_CLOEXEC) != 0) {
    const int Error = errno;
    throw rtl::Exception("Cannot wait for stop signals: pipe failed: " +
                         std::system_category().message(Error));
  }
  FReadFD = FDs[0];
  FWriteFD = FDs[1];
  // A handler must never block: with a full pipe the byte is dropped, and one is enough.
  fcntl(FWriteFD, F_SETFL, fcntl(FWriteFD, F_GETFL) | O_NONBLOCK);
  int Expected = -1;
  if (!GSignalWriteFD.compare_exchange_strong(Expected, FWriteFD)) {
    close(FReadFD);
    close(FWriteFD);
    throw rtl::Exception("Cannot wait for stop signals: another waiter already exists");
  }
  struct sigaction Action {};
  Action.sa_handler = OnStopSignal;
  sigemptyset(&Action.sa_mask);
  Action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &Action, &GSaved.Int);
  sigaction(SIGTERM, &Action, &GSaved.Term);
}

TStopSignal::~TStopSignal() {
  sigaction(SIGINT, &GSaved.Int, nullptr);
  sigaction(SIGTERM, &GSaved.Term, nullptr);
  GSignalWriteFD.store(-1);
  // A handler that read the descriptor before it was withdrawn finishes its write first.
  while (GHandlersRunning.load() != 0)
    std::this_thread::yield();
  close(FReadFD);
  close(FWriteFD);
}

int TStopSignal::Wait() {
  unsigned char Byte = 0;
  for (;;) {
    const ssize_t N = read(FReadFD, &Byte, 1);
    if (N == 1) return Byte;
    const int Error = errno;
    if (N < 0 && Error == EINTR) continue;
    throw rtl::Exception("Waiting for a stop signal failed: " +
                         std::system_category().message(Error));
  }
}

void TStopSignal::Notify() {
  WriteByte(FWriteFD, 0);
}

}  // namespace zelk::web
