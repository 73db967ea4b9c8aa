#include "kvistur/variant.h"

#include <cmath>
#include <cstdio>

#include "kvistur/dispatch.h"
#include "kvistur/number.h"

namespace kvistur {

namespace {

// Days from 1.1.1970 for a proleptic Gregorian date (Howard Hinnant's method).
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool valid_date(int y, int m, int d) {
  if (y < 100 || y > 9999 || m < 1 || m > 12 || d < 1) return false;
  static const int mdays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int md = mdays[m - 1];
  if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) md = 29;
  return d <= md;
}

}  // namespace

std::optional<DateTime> parse_datetime(TextView s) {
  std::string u = to_utf8(trim(s));
  DateTime d{};
  int n = 0;
  char sep = 0;
  int c = std::sscanf(u.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d%n", &d.year, &d.month, &d.day, &sep, &d.hour, &d.minute,
                      &d.second, &n);
  if (c == 7 && (sep == ' ' || sep == 'T') && n == static_cast<int>(u.size())) {
    // full date and time
  } else {
    d = DateTime{};
    n = 0;
    c = std::sscanf(u.c_str(), "%4d-%2d-%2d%n", &d.year, &d.month, &d.day, &n);
    if (c != 3 || n != static_cast<int>(u.size())) return std::nullopt;
    d.hour = d.minute = d.second = 0;
  }
  if (!valid_date(d.year, d.month, d.day) || d.hour > 23 || d.minute > 59 || d.second > 59 || d.hour < 0 ||
      d.minute < 0 || d.second < 0)
    return std::nullopt;
  return d;
}

Text iso_text(const DateTime& d) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", d.year, d.month, d.day, d.hour, d.minute, d.second);
  return from_utf8(buf);
}

Text general_text(const DateTime& d) {
  char buf[48];
  if (d.hour == 0 && d.minute == 0 && d.second == 0)
    std::snprintf(buf, sizeof buf, "%d.%d.%04d", d.day, d.month, d.year);
  else
    std::snprintf(buf, sizeof buf, "%d.%d.%04d %02d:%02d:%02d", d.day, d.month, d.year, d.hour, d.minute, d.second);
  return from_utf8(buf);
}

const char* type_name(VarType t) {
  switch (t) {
    case VarType::Empty: return "Empty";
    case VarType::Null: return "Null";
    case VarType::Integer: return "Integer";
    case VarType::Long: return "Long";
    case VarType::Double: return "Double";
    case VarType::String: return "String";
    case VarType::Boolean: return "Boolean";
    case VarType::Date: return "Date";
    case VarType::Object: return "Object";
  }
  return "?";
}

VarType Variant::type() const {
  switch (v_.index()) {
    case 0: return VarType::Empty;
    case 1: return VarType::Null;
    case 2: return VarType::Integer;
    case 3: return VarType::Long;
    case 4: return VarType::Double;
    case 5: return VarType::String;
    case 6: return VarType::Boolean;
    case 7: return VarType::Date;
    default: return VarType::Object;
  }
}

bool Variant::is_numeric() const {
  auto t = type();
  return t == VarType::Integer || t == VarType::Long || t == VarType::Double || t == VarType::Boolean;
}

double Variant::to_double() const {
  switch (type()) {
    case VarType::Empty: return 0;
    case VarType::Null: throw Error(err::kInvalidNull);
    case VarType::Integer: return as_integer();
    case VarType::Long: return as_long();
    case VarType::Double: return as_double();
    case VarType::Boolean: return as_bool() ? -1 : 0;
    case VarType::String: {
      const Text& s = as_string();
      if (auto d = parse_whole_number(s)) return *d;
      Text t = trim(s);
      if (equals_ci(t, u"True")) return -1;
      if (equals_ci(t, u"False")) return 0;
      throw Error(err::kTypeMismatch);
    }
    case VarType::Date: {
      const DateTime& d = as_date();
      double days = static_cast<double>(days_from_civil(d.year, d.month, d.day) - days_from_civil(1899, 12, 30));
      double frac = (d.hour * 3600 + d.minute * 60 + d.second) / 86400.0;
      return days >= 0 ? days + frac : days - frac;
    }
    case VarType::Object: throw Error(err::kTypeMismatch);
  }
  return 0;
}

int16_t Variant::to_i16() const {
  if (type() == VarType::Integer) return as_integer();
  return round_to_i16(to_double());
}

int32_t Variant::to_i32() const {
  if (type() == VarType::Long) return as_long();
  if (type() == VarType::Integer) return as_integer();
  return round_to_i32(to_double());
}

bool Variant::to_bool() const {
  if (type() == VarType::Boolean) return as_bool();
  return to_double() != 0;
}

Text Variant::to_text() const {
  switch (type()) {
    case VarType::Empty: return Text();
    case VarType::Null: throw Error(err::kInvalidNull);
    case VarType::Integer: return number_text(as_integer());
    case VarType::Long: return number_text(as_long());
    case VarType::Double: return double_text(as_double());
    case VarType::Boolean: return as_bool() ? u"True" : u"False";
    case VarType::String: return as_string();
    case VarType::Date: return general_text(as_date());
    case VarType::Object: throw Error(err::kTypeMismatch);
  }
  return Text();
}

}  // namespace kvistur
