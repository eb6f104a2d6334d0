#pragma once
// The design's exception classes. Each carries one UTF-8 message; what() returns it.
#include <exception>
#include <string>

class Exception : public std::exception {
public:
  explicit Exception(std::string message) : FMessage(std::move(message)) {}
  const char* what() const noexcept override { return FMessage.c_str(); }
  const std::string& Message() const noexcept { return FMessage; }

private:
  std::string FMessage;
};

// The silent abort: handlers that show errors show nothing for it.
class EAbort : public Exception {
public:
  EAbort() : Exception("Operation aborted") {}
  using Exception::Exception;
};

class EOutOfMemory : public Exception { public: using Exception::Exception; };
// Resource exhaustion is a kind of memory exhaustion, as in the run-time it models.
class EOutOfResources : public EOutOfMemory { public: using EOutOfMemory::EOutOfMemory; };
class EAssertionFailed : public Exception { public: using Exception::Exception; };
class EConvertError : public Exception { public: using Exception::Exception; };
class EInvalidGraphic : public Exception { public: using Exception::Exception; };
class EInvalidOperation : public Exception { public: using Exception::Exception; };
class EOSError : public Exception { public: using Exception::Exception; };

class EStreamError : public Exception { public: using Exception::Exception; };
class EFileStreamError : public EStreamError { public: using EStreamError::EStreamError; };
class EFOpenError : public EFileStreamError { public: using EFileStreamError::EFileStreamError; };
class EFCreateError : public EFileStreamError { public: using EFileStreamError::EFileStreamError; };
class EReadError : public EStreamError { public: using EStreamError::EStreamError; };
class EWriteError : public EStreamError { public: using EStreamError::EStreamError; };

// The assertion of internal invariants: raises EAssertionFailed with the message.
// Never for bad input, only for states that cannot happen.
inline void Assert(bool condition, const char* message) {
  if (!condition) throw EAssertionFailed(message);
}

// Text of the application's error box: the message with "." appended when its last
// character's code is above that of "." (so "Failed" gets one, "Failed." and "x-" do not).
std::string ErrorBoxText(const std::string& message);
