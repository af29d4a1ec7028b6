// Exceptions of the runtime layer. Every failure the library raises is an Exception (or one of
// its kinds); Message() holds the text that users see and tests assert word for word.
#pragma once

#include <exception>
#include <string>

namespace zelk::rtl {

class Exception : public std::exception {
 public:
  explicit Exception(std::string Message) : FMessage(std::move(Message)) {}
  const std::string& Message() const noexcept { return FMessage; }
  const char* what() const noexcept override { return FMessage.c_str(); }

 private:
  std::string FMessage;
};

// Raised by Assert when a caller breaks a precondition; the text is always "Assertion failure".
class EAssertionFailed : public Exception {
 public:
  EAssertionFailed() : Exception("Assertion failure") {}
};

// Raised when an object is not of the class an operation requires.
class EInvalidCast : public Exception {
 public:
  EInvalidCast() : Exception("Invalid class typecast") {}
  explicit EInvalidCast(std::string Message) : Exception(std::move(Message)) {}
};

// Raised by collections and lists for an index outside 0 .. Count - 1.
class EListError : public Exception {
 public:
  using Exception::Exception;
};

// Raised by TPersistent::Assign when the source cannot be copied into the target.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// Raises EAssertionFailed when Condition is false.
inline void Assert(bool Condition) {
  if (!Condition) throw EAssertionFailed();
}

}  // namespace zelk::rtl
