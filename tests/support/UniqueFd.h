// Owns a file descriptor (socket, pipe end) and closes it.
#pragma once

#include <unistd.h>

namespace zelk::testing {

class TUniqueFd {
 public:
  TUniqueFd() = default;
  explicit TUniqueFd(int Fd) : FFd(Fd) {}
  ~TUniqueFd() { Reset(); }
  TUniqueFd(TUniqueFd&& O) noexcept : FFd(O.FFd) { O.FFd = -1; }
  TUniqueFd& operator=(TUniqueFd&& O) noexcept {
    if (this != &O) {
      Reset();
      FFd = O.FFd;
      O.FFd = -1;
    }
    return *this;
  }
  int Get() const { return FFd; }
  void Reset() {
    if (FFd >= 0) ::close(FFd);
    FFd = -1;
  }

 private:
  int FFd = -1;
};

}  // namespace zelk::testing
