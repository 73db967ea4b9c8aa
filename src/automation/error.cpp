#include "kvistur/error.h"

#include <new>
#include <stdexcept>

#include "kvistur/text.h"

namespace kvistur {

std::u16string standard_description(int32_t number) {
  switch (number) {
    case 5: return u"Invalid procedure call or argument";
    case 6: return u"Overflow";
    case 7: return u"Out of memory";
    case 9: return u"Subscript out of range";
    case 11: return u"Division by zero";
    case 13: return u"Type mismatch";
    case 91: return u"Object variable or With block variable not set";
    case 94: return u"Invalid use of Null";
    case 438: return u"Object doesn't support this property or method";
    default: return u"Application-defined or object-defined error";
  }
}

Error::Error(int32_t number) : Error(number, kProjectName, standard_description(number)) {}

Error::Error(int32_t number, std::u16string source, std::u16string description)
    : number_(number), source_(std::move(source)), description_(std::move(description)) {
  what_ = to_utf8(source_) + " " + std::to_string(number_) + ": " + to_utf8(description_);
}

Error error_from_std(const std::exception& e) {
  if (auto* k = dynamic_cast<const Error*>(&e)) return *k;
  if (dynamic_cast<const std::bad_alloc*>(&e)) return Error(7);
  if (dynamic_cast<const std::length_error*>(&e)) return Error(7);
  return Error(err::kInvalidArgument);
}

}  // namespace kvistur
