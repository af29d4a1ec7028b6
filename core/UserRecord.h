// TUserRecord: the base of the providers' user records (the optional profile data of the
// signed-in user). Its fields are texts behind one lock, so that a record is safe to read from
// any thread while the client's LoginResponse writes it.
#pragma once

#include <mutex>
#include <string>
#include <utility>

#include "platform/rtl/Classes.h"

namespace zelk::IWZelkAuthBase {

class TUserRecord : public rtl::TPersistent {
 protected:
  // A record's accessors read and write their fields through these, under the record's lock.
  std::string Read(const std::string& Field) const {
    std::lock_guard L(FMutex);
    return Field;
  }
  void Write(std::string& Field, std::string Value) {
    std::lock_guard L(FMutex);
    Field = std::move(Value);
  }

 private:
  mutable std::mutex FMutex;
};

}  // namespace zelk::IWZelkAuthBase
