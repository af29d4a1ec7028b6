// Twitter in the simulator: the three OAuth 1.0a legs and status updates, on the Twitter
// listener of a Simulator.
//
//  POST /oauth/request_token   signed with the consumer secret alone; needs "oauth_callback";
//                              answers oauth_token, oauth_token_secret and
//                              oauth_callback_confirmed=true
//  GET  /oauth/authorize       the consent page for a request token, with Allow and Deny
//  POST /oauth/authorize       the user's decision: back to the callback with oauth_token and
//                              oauth_verifier, or with denied=<request token>
//  GET  /oauth/access_token    signed with the request-token secret; needs the verifier;
//  (and POST)                  answers the access token, its secret, user_id and screen_name
//  POST /1/statuses/update.json  signed with the access token; answers the status as JSON with
//                              "id_str"
//
// The same listener plays the current API on its own host name (the "x.api" endpoint setting
// names it as "localhost" and the listener's port): there a request token is issued only for a
// callback on the consumer's allow list (exact match), the browser is sent to
//  GET  /oauth/authenticate    the consent page, as /oauth/authorize
// and posts go to
//  POST /2/tweets              signed with the access token over the method, the URL and the
//                              OAuth parameters only; the JSON body {"text": ...}; answers 201
//                              {"data":{"id":..,"text":..}} or a v2 error document (403 with
//                              "detail" for a duplicate, 400 for a text over 280 characters)
//
// Every signed call is checked as Twitter checks it: the signature over the server's own base
// string (see OAuth1Verifier.h), a known consumer key, a token of the right kind for that
// consumer, a time stamp within the window, and a nonce not seen before for the same consumer
// and time stamp. Refusals answer Twitter's error documents and are kept, with the reason in
// full, in Rejections() for tests to show.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/Simulator.h"

namespace zelk::sim {

struct TTwitterConsumer {
  std::string Key;
  std::string Secret;
  std::string Name = "Zelk demo";  // shown on the consent page
  // The callback addresses registered for the current API, each matched exactly.
  std::vector<std::string> Callbacks;
};

struct TTwitterUser {
  std::string UserID;
  std::string ScreenName;
  std::string Name;
};

// A status the simulator accepted.
struct TTwitterStatus {
  std::string ID;
  std::string UserID;
  std::string Text;
};

// Installs the Twitter routes on construction. Configuration and inspection are thread-safe
// and may happen while the simulator serves requests. The routes keep the simulated state
// alive on their own, so this object may go before the Simulator does.
class TwitterSim {
 public:
  // The consumer and the users a new TwitterSim knows.
  static constexpr const char* kDefaultConsumerKey = "zelksimconsumerkey";
  static constexpr const char* kDefaultConsumerSecret = "zelksimconsumersecret";

  explicit TwitterSim(Simulator& Sim);
  ~TwitterSim();
  TwitterSim(const TwitterSim&) = delete;
  TwitterSim& operator=(const TwitterSim&) = delete;

  // Adds a consumer, or replaces the one with the same key.
  void AddConsumer(TTwitterConsumer Consumer);
  void RemoveConsumer(const std::string& Key);
  // Adds URL to the allow list of the consumer with Key (as a developer registers a callback
  // address); nothing when there is no such consumer.
  void AllowCallback(const std::string& Key, const std::string& URL);
  // Whether a request's Host header names the current API's host.
  static bool IsCurrentHost(std::string_view HostHeader);
  // Adds a user, or replaces the one with the same id. The consent page offers every user; the
  // first is preselected.
  void AddUser(TTwitterUser User);
  std::vector<TTwitterUser> Users() const;

  // How far a request's time stamp may be from the simulator's clock (default 300 s).
  void SetTimestampWindow(std::chrono::seconds Window);
  // The simulator's clock (default: the system clock).
  void SetClock(std::function<std::chrono::system_clock::time_point()> Clock);

  // Statuses accepted, in order.
  std::vector<TTwitterStatus> Statuses() const;
  // Every refused request: method, path and the full reason.
  std::vector<std::string> Rejections() const;
  void ClearRejections();

 private:
  struct TState;
  std::shared_ptr<TState> FState;
};

}  // namespace zelk::sim
