// A recording fake transport for unit tests: installs itself as the transport hook, records
// every request and answers with queued replies (or throws a queued exception).
#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "core/IWZelkAuthBase.h"

namespace zelk::testing {

class RecordingTransport {
 public:
  RecordingTransport();
  ~RecordingTransport();
  RecordingTransport(const RecordingTransport&) = delete;
  RecordingTransport& operator=(const RecordingTransport&) = delete;

  // Queues the body of the next reply.
  void Reply(std::string Body);
  // Queues a transport failure with this message for the next call: one before the request
  // was sent (ETransportError whose request cannot have arrived).
  void Fail(std::string Message);
  // Queues a transport failure after the request was sent: its answer lost (ETransportError
  // whose request may have arrived).
  void LoseAnswer(std::string Message);

  std::vector<IWZelkAuthBase::TTransportRequest> Requests() const;
  std::size_t Count() const;
  IWZelkAuthBase::TTransportRequest Last() const;
  IWZelkAuthBase::TTransportRequest At(std::size_t Index) const;
  void Clear();

 private:
  std::string Answer(const IWZelkAuthBase::TTransportRequest& Request);

  mutable std::mutex FMutex;
  std::vector<IWZelkAuthBase::TTransportRequest> FRequests;
  // A reply body, or (in the second alternative) a failure: whether the request may have
  // arrived, and the message.
  std::deque<std::variant<std::string, std::pair<bool, std::string>>> FReplies;
};

}  // namespace zelk::testing
