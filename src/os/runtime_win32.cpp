// Lean stand-ins for a few of the C++ runtime's own routines, linked into
// PELMATIC.EXE only (an updater travels with every copy of the application
// it updates, so its size matters).
//
// The standard containers report misuse through std::__throw_* helpers.
// The library's versions all live in one object that builds the standard
// error classes, and those bring a second, reference-counted string
// implementation with them: about a fifth of the program. The program
// never catches these errors by type; like any other unexpected error they
// reach the "Application Error" box of the entry point through
// std::exception, which the stand-ins below still derive from.
//
// The default terminate handler names the active exception with the C++
// demangler before it aborts; a program without a console has nowhere to
// write that name, and the demangler is larger than the rest of the
// runtime together.
//
// Should a later compiler need a helper that is not defined here, the
// library's object comes back in and the link fails on the duplicates:
// never silently.
#include <cstdlib>
#include <exception>
#include <new>

namespace {

class RuntimeFault : public std::exception {
 public:
  explicit RuntimeFault(const char* what) : what_(what) {}
  const char* what() const noexcept override { return what_; }

 private:
  const char* what_;
};

}  // namespace

namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

namespace std {
void __throw_bad_alloc() { throw bad_alloc(); }
void __throw_bad_array_new_length() { throw bad_array_new_length(); }
void __throw_bad_function_call() { throw RuntimeFault("bad function call"); }
void __throw_length_error(const char* what) { throw RuntimeFault(what); }
void __throw_logic_error(const char* what) { throw RuntimeFault(what); }
void __throw_system_error(int) { throw RuntimeFault("a lock of the system failed"); }
// The format's arguments are not filled in: the text names the call.
void __throw_out_of_range_fmt(const char* format, ...) { throw RuntimeFault(format); }
}  // namespace std
