// Private to the session store and its tests: what a store URL names.
#pragma once

#include <string>

namespace zelk::web::store::detail {

struct TStoreAddress {
  std::string Host;      // without brackets for an IPv6 address
  int Port = 0;          // 1 to 65535
  std::string Password;  // percent-decoded; empty: no AUTH
  int Database = 0;      // SELECT after connecting when not 0

  // "host:port" ("[::1]:6379" for an IPv6 address), for messages.
  std::string Name() const;
};

// Reads "redis://[:password@]host:port[/db]"; raises rtl::Exception saying what is wrong
// (scheme, user name, host, port, db, percent escape) and never quoting the password.
TStoreAddress ParseStoreURL(const std::string& URL);

}  // namespace zelk::web::store::detail
