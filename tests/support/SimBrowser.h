// A tiny browser for integration tests: GET and form POST over HTTPS to the simulator (trusting
// its CA, with certificate and host-name checks on) or over plain HTTP to a local application.
// It never follows a redirect: a test reads Location and decides where to go next, e.g. follows
// a sign-in redirect to a consent page and presses Allow or Deny.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace zelk::sim {
class Simulator;
}

namespace zelk::testing {

struct TBrowserResponse {
  int Status = 0;
  std::string Location;  // the Location header, empty when none
  std::string Body;
  std::vector<std::pair<std::string, std::string>> Headers;
  // The first header named Name (letter case ignored), or empty.
  std::string Header(const std::string& Name) const;
};

class SimBrowser {
 public:
  // Trusts the CA certificate(s) of CACertificatePEM for https URLs.
  explicit SimBrowser(std::string CACertificatePEM);
  explicit SimBrowser(const sim::Simulator& Sim);

  // URL: "https://host:port/path?query" or "http://...". Raises rtl::Exception naming the URL
  // when no reply could be had (refused connection, bad certificate, malformed URL).
  TBrowserResponse Get(const std::string& URL);
  // Sends Fields form-encoded (application/x-www-form-urlencoded) in their order.
  TBrowserResponse PostForm(const std::string& URL,
                            const std::vector<std::pair<std::string, std::string>>& Fields);
  // Header lines sent with every request from now on, e.g. the cookies a test keeps ("Cookie",
  // "a=1; b=2"). An empty value removes the header.
  void SetHeader(const std::string& Name, const std::string& Value);

 private:
  TBrowserResponse Send(const std::string& Method, const std::string& URL, const std::string& Body);
  std::string FCACertificatePEM;
  std::vector<std::pair<std::string, std::string>> FHeaders;
};

}  // namespace zelk::testing
