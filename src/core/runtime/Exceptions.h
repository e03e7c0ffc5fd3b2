// Failures of the system are C++ exceptions carrying one UTF-8 message text.
#pragma once

#include <exception>
#include <string>

// The general failure: a message text only, no code.
class Exception : public std::exception {
public:
  explicit Exception(std::string message) : FMessage(std::move(message)) {}
  const char *what() const noexcept override { return FMessage.c_str(); }
  const std::string &Message() const noexcept { return FMessage; }

private:
  std::string FMessage;
};

// An index outside a buffer's bounds.
class ERangeError : public Exception {
public:
  ERangeError() : Exception("Range check error") {}
};

// A file could not be created, opened, read or written.
class EInOutError : public Exception {
public:
  using Exception::Exception;
};

// A value could not be written to the settings file.
class EIniFileException : public Exception {
public:
  using Exception::Exception;
};
