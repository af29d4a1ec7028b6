#include "support/RecordingTransport.h"

#include <gtest/gtest.h>

namespace zelk::testing {

RecordingTransport::RecordingTransport() {
  IWZelkAuthBase::SetTransportHook(
      [this](const IWZelkAuthBase::TTransportRequest& R) { return Answer(R); });
}

RecordingTransport::~RecordingTransport() {
  IWZelkAuthBase::SetTransportHook({});
}

void RecordingTransport::Reply(std::string Body) {
  std::lock_guard L(FMutex);
  FReplies.emplace_back(std::move(Body));
}

void RecordingTransport::Fail(std::string Message) {
  std::lock_guard L(FMutex);
  FReplies.emplace_back(std::pair<bool, std::string>(false, std::move(Message)));
}

void RecordingTransport::LoseAnswer(std::string Message) {
  std::lock_guard L(FMutex);
  FReplies.emplace_back(std::pair<bool, std::string>(true, std::move(Message)));
}

std::vector<IWZelkAuthBase::TTransportRequest> RecordingTransport::Requests() const {
  std::lock_guard L(FMutex);
  return FRequests;
}

std::size_t RecordingTransport::Count() const {
  std::lock_guard L(FMutex);
  return FRequests.size();
}

IWZelkAuthBase::TTransportRequest RecordingTransport::Last() const {
  std::lock_guard L(FMutex);
  if (FRequests.empty()) {
    ADD_FAILURE() << "no request was sent";
    return {};
  }
  return FRequests.back();
}

IWZelkAuthBase::TTransportRequest RecordingTransport::At(std::size_t Index) const {
  std::lock_guard L(FMutex);
  if (Index >= FRequests.size()) {
    ADD_FAILURE() << "only " << FRequests.size() << " requests were sent";
    return {};
  }
  return FRequests[Index];
}

void RecordingTransport::Clear() {
  std::lock_guard L(FMutex);
  FRequests.clear();
  FReplies.clear();
}

std::string RecordingTransport::Answer(const IWZelkAuthBase::TTransportRequest& Request) {
  std::lock_guard L(FMutex);
  FRequests.push_back(Request);
  if (FReplies.empty()) return {};  // an unscripted call gets an empty body
  auto Next = std::move(FReplies.front());
  FReplies.pop_front();
  if (auto* Failure = std::get_if<std::pair<bool, std::string>>(&Next)) {
    // The step is the message's first word, as the transport writes it.
    const std::string& Message = Failure->second;
    throw IWZelkAuthBase::ETransportError(Message, Message.substr(0, Message.find(' ')),
                                          Failure->first);
  }
  return std::get<std::string>(Next);
}

}  // namespace zelk::testing
