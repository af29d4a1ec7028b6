// Waiting for the operating system's request to stop: SIGINT (Ctrl+C) or SIGTERM.
//
// While a TStopSignal exists, those two signals no longer end the process: a handler writes the
// signal's number into a pipe (the only thing a handler can safely do) and Wait() reads it. It
// works whichever thread the signal is delivered to. The previous handling comes back when the
// object goes. One TStopSignal may exist at a time in a process.
#pragma once

namespace zelk::web {

class TStopSignal {
 public:
  // Raises Exception when another TStopSignal exists or the pipe cannot be made.
  TStopSignal();
  ~TStopSignal();
  TStopSignal(const TStopSignal&) = delete;
  TStopSignal& operator=(const TStopSignal&) = delete;

  // Blocks until SIGINT or SIGTERM arrives or Notify is called; returns the signal's number,
  // or 0 for Notify.
  int Wait();
  // Wakes Wait from any thread, as a programmatic stop.
  void Notify();

 private:
  int FReadFD = -1;
  int FWriteFD = -1;
};

}  // namespace zelk::web
