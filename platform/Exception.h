#pragma once
// The ordinary exception family. Messages are 8-bit text in the system code page.
#include <exception>
#include <string>

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : FMessage(std::move(message)) {}
  const std::string& Message() const noexcept { return FMessage; }
  const char* what() const noexcept override { return FMessage.c_str(); }
  // For a handler that adds context before it rethrows the same object.
  void SetMessage(std::string message) { FMessage = std::move(message); }

 private:
  std::string FMessage;
};

#define VARNOWE_EXCEPTION(Name, Base)   \
  class Name : public Base {            \
   public:                              \
    using Base::Base;                   \
  }

VARNOWE_EXCEPTION(EConvertError, Exception);
VARNOWE_EXCEPTION(EStreamError, Exception);
VARNOWE_EXCEPTION(EFOpenError, EStreamError);
VARNOWE_EXCEPTION(EFCreateError, EStreamError);
VARNOWE_EXCEPTION(EReadError, EStreamError);
VARNOWE_EXCEPTION(EWriteError, EStreamError);
// An output that must not replace a file of its name found one there.
VARNOWE_EXCEPTION(EFileExistsError, EFCreateError);
VARNOWE_EXCEPTION(EInOutError, Exception);
// A length-checked read ran past the end of its record or buffer.
VARNOWE_EXCEPTION(EBoundsError, Exception);
