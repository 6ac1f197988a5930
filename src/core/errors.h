// The program's own small family of raised errors. Each remembers the code
// address that raised it, for the report of an unhandled failure.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

// The code address that the current function returns to: the address an
// error reports. Only a macro gives the caller's address whatever the
// compiler inlines; functions that use it are marked noinline.
#define PELMATIC_CALLER_ADDRESS() reinterpret_cast<uintptr_t>(__builtin_return_address(0))

// On std::exception itself rather than std::runtime_error: the standard
// error classes pull a second, reference-counted string implementation
// into the Windows executable.
class EPelmaticError : public std::exception {
 public:
  EPelmaticError(const std::string& message, uintptr_t address)
      : message_(message), address_(address) {}
  const char* what() const noexcept override { return message_.c_str(); }
  virtual const char* KindName() const = 0;
  uintptr_t Address() const { return address_; }

 private:
  std::string message_;
  uintptr_t address_;
};

class EInOutError : public EPelmaticError {
 public:
  EInOutError(int32_t code, uintptr_t address);
  EInOutError(int32_t code, const std::string& message, uintptr_t address)
      : EPelmaticError(message, address), ErrorCode(code) {}
  const char* KindName() const override { return "EInOutError"; }
  int32_t ErrorCode;
};

// A file stream that could not be created or written.
class EFCreateError : public EPelmaticError {
 public:
  using EPelmaticError::EPelmaticError;
  const char* KindName() const override { return "EFCreateError"; }
};

class EWriteError : public EPelmaticError {
 public:
  using EPelmaticError::EPelmaticError;
  const char* KindName() const override { return "EWriteError"; }
};

class EOleError : public EPelmaticError {
 public:
  using EPelmaticError::EPelmaticError;
  const char* KindName() const override { return "EOleError"; }
};

class EOleSysError : public EOleError {
 public:
  EOleSysError(const std::string& message, int32_t status, uintptr_t address)
      : EOleError(message, address), ErrorCode(status) {}
  const char* KindName() const override { return "EOleSysError"; }
  int32_t ErrorCode;
};

class EOleException : public EOleSysError {
 public:
  EOleException(const std::string& message, int32_t status, const std::string& source,
                const std::string& helpFile, int32_t helpContext, uintptr_t address)
      : EOleSysError(message, status, address),
        Source(source),
        HelpFile(helpFile),
        HelpContext(helpContext) {}
  const char* KindName() const override { return "EOleException"; }
  std::string Source;
  std::string HelpFile;
  int32_t HelpContext;
};

// Eight upper-case hexadecimal digits: how error reports write code
// addresses and status codes.
std::string HexWord(uint32_t value);
// A code address with every digit it has: eight on a 32-bit build, sixteen
// on a 64-bit one, so that nothing of it is lost.
std::string HexAddress(uintptr_t address);

// The fixed message of an I/O error code.
std::string InOutErrorMessage(int32_t code);

// Raises EInOutError for a Windows error code; the reported address is the
// caller's, so the box points at the routine that failed.
[[noreturn]] void RaiseInOutError(int32_t code);

// The text of the "Application Error" box.
std::string UnhandledErrorText(const std::string& kind, const std::string& module,
                               uintptr_t address, const std::string& message);
