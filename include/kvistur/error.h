// The one error type of Kvistur.
//
// Every fault that the component reports carries a number (the numbers its
// hosts know: 5, 6, 9, 13, 91, 94, 438 and the database engine's own, such
// as 3024), the name of the component that raised it, and a description.
// Routines that "trap every fault" catch exactly this type (and the standard
// library's, through `error_from_std`).
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace kvistur {

// Error numbers of the automation runtime that hosts know.
namespace err {
inline constexpr int32_t kInvalidArgument = 5;
inline constexpr int32_t kOverflow = 6;
inline constexpr int32_t kSubscript = 9;
inline constexpr int32_t kTypeMismatch = 13;
inline constexpr int32_t kObjectNotSet = 91;
inline constexpr int32_t kInvalidNull = 94;
inline constexpr int32_t kNoSuchMember = 438;
}  // namespace err

// The project name, the source of every error raised by Kvistur's own code.
inline constexpr char16_t kProjectName[] = u"Kvistur";

class Error : public std::exception {
 public:
  // An error of Kvistur's own code with the runtime's standard description.
  explicit Error(int32_t number);
  Error(int32_t number, std::u16string source, std::u16string description);

  int32_t number() const { return number_; }
  const std::u16string& source() const { return source_; }
  const std::u16string& description() const { return description_; }
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  int32_t number_;
  std::u16string source_;
  std::u16string description_;
  std::string what_;
};

// The runtime's description of one of its error numbers ("Overflow", ...);
// "Application-defined or object-defined error" for numbers it does not know.
std::u16string standard_description(int32_t number);

// Turns a standard-library exception into the error a host would have seen:
// bad_alloc is "Out of memory" (7), everything else invalid argument (5).
Error error_from_std(const std::exception& e);

}  // namespace kvistur
