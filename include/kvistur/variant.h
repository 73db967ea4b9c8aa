// Variant: a value that may hold nothing (Empty), Null, a 16- or 32-bit
// integer, a double, a text, a Boolean, a date or an object, as the
// component's variant parameters do.  The conversions fail the way the host
// runtime's do: Null where a value is needed is error 94, a text that is not
// a number is error 13, a number too large for the target is error 6.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <variant>

#include "kvistur/error.h"
#include "kvistur/text.h"

namespace kvistur {

class Dispatch;

// A calendar date and time of day, as database columns hold them.  The zero
// value is 30.12.1899 00:00:00, the runtime's empty date.
struct DateTime {
  int year = 1899, month = 12, day = 30, hour = 0, minute = 0, second = 0;
  friend bool operator==(const DateTime&, const DateTime&) = default;
};
// "YYYY-MM-DD HH:MM:SS" (the form SQLite files hold); also accepts a date
// alone.  Nothing when the text is not such a date.
std::optional<DateTime> parse_datetime(TextView s);
Text iso_text(const DateTime& d);      // "2026-12-05 14:03:07"
Text general_text(const DateTime& d);  // "5.12.2026 14:03:07", time left out at midnight

enum class VarType { Empty, Null, Integer, Long, Double, String, Boolean, Date, Object };

class Variant {
 public:
  Variant() = default;  // Empty
  static Variant null() { Variant v; v.v_ = NullTag{}; return v; }
  Variant(int16_t i) : v_(i) {}
  Variant(int32_t i) : v_(i) {}
  Variant(double d) : v_(d) {}
  Variant(bool b) : v_(b) {}
  Variant(Text s) : v_(std::move(s)) {}
  Variant(const char16_t* s) : v_(Text(s)) {}
  Variant(DateTime d) : v_(d) {}
  Variant(std::shared_ptr<Dispatch> o) : v_(std::move(o)) {}

  VarType type() const;
  bool is_empty() const { return type() == VarType::Empty; }
  bool is_null() const { return type() == VarType::Null; }
  bool is_object() const { return type() == VarType::Object; }
  bool is_numeric() const;  // Integer, Long, Double, Boolean

  // Direct access; the caller has checked the type.
  int16_t as_integer() const { return std::get<int16_t>(v_); }
  int32_t as_long() const { return std::get<int32_t>(v_); }
  double as_double() const { return std::get<double>(v_); }
  bool as_bool() const { return std::get<bool>(v_); }
  const Text& as_string() const { return std::get<Text>(v_); }
  const DateTime& as_date() const { return std::get<DateTime>(v_); }
  // The object, or nullptr when the variant holds none (an object variant may
  // hold an unset object: Nothing).
  const std::shared_ptr<Dispatch>& as_object() const { return std::get<std::shared_ptr<Dispatch>>(v_); }

  // Conversions with the host runtime's rules.
  //  Empty -> 0 / "" / false; Null -> error 94; Boolean -> -1 / 0;
  //  text -> the number it spells out whole (else 13), "True"/"False" too;
  //  date -> its serial day number; object -> error 13.
  double to_double() const;
  int16_t to_i16() const;  // rounded half to even, overflow 6
  int32_t to_i32() const;
  bool to_bool() const;
  // Numbers without a leading blank, Booleans "True"/"False", dates in the
  // general form, Empty "".  Null -> 94, object -> 13.
  Text to_text() const;

  friend bool operator==(const Variant& a, const Variant& b) { return a.v_ == b.v_; }

 private:
  struct NullTag {
    friend bool operator==(NullTag, NullTag) { return true; }
  };
  std::variant<std::monostate, NullTag, int16_t, int32_t, double, Text, bool, DateTime,
               std::shared_ptr<Dispatch>>
      v_;
};

const char* type_name(VarType t);

}  // namespace kvistur
