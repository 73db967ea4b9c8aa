#include "kvistur/number.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kvistur/error.h"

namespace kvistur {

namespace {

bool is_blank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r'; }
bool is_digit(char16_t c) { return c >= u'0' && c <= u'9'; }

// Reads the number at position `i` of `s`; returns the characters it used in
// `end` (the position after the last character that belonged to the number).
double read_at(TextView s, std::size_t& i, bool& any_digit) {
  std::string buf;  // the number, blanks removed, in C syntax for strtod
  any_digit = false;
  auto skip = [&] { while (i < s.size() && is_blank(s[i])) ++i; };
  skip();
  if (i < s.size() && (s[i] == u'-' || s[i] == u'+')) {
    if (s[i] == u'-') buf += '-';
    ++i;
    skip();
  }
  while (i < s.size()) {
    if (is_digit(s[i])) { buf += char(s[i]); any_digit = true; ++i; }
    else if (is_blank(s[i])) { ++i; }
    else break;
  }
  if (i < s.size() && s[i] == u'.') {
    buf += '.';
    ++i;
    while (i < s.size()) {
      if (is_digit(s[i])) { buf += char(s[i]); any_digit = true; ++i; }
      else if (is_blank(s[i])) { ++i; }
      else break;
    }
  }
  if (any_digit && i < s.size() && (s[i] == u'E' || s[i] == u'e' || s[i] == u'D' || s[i] == u'd')) {
    std::size_t j = i + 1;
    std::string ex = "e";
    while (j < s.size() && is_blank(s[j])) ++j;
    if (j < s.size() && (s[j] == u'-' || s[j] == u'+')) { ex += char(s[j]); ++j; }
    bool exp_digit = false;
    while (j < s.size() && (is_digit(s[j]) || is_blank(s[j]))) {
      if (is_digit(s[j])) { ex += char(s[j]); exp_digit = true; }
      ++j;
    }
    if (exp_digit) { buf += ex; i = j; }
  }
  if (!any_digit) return 0.0;
  return std::strtod(buf.c_str(), nullptr);
}

}  // namespace

double read_number(TextView s) {
  std::size_t i = 0;
  bool any = false;
  return read_at(s, i, any);
}

std::optional<double> parse_whole_number(TextView s) {
  std::size_t i = 0;
  bool any = false;
  double d = read_at(s, i, any);
  while (i < s.size() && is_blank(s[i])) ++i;
  if (!any || i != s.size()) return std::nullopt;
  return d;
}

int16_t round_to_i16(double d) {
  if (!std::isfinite(d)) throw Error(err::kOverflow);
  double r = std::nearbyint(d);
  if (r < -32768.0 || r > 32767.0) throw Error(err::kOverflow);
  return static_cast<int16_t>(r);
}

int32_t round_to_i32(double d) {
  if (!std::isfinite(d)) throw Error(err::kOverflow);
  double r = std::nearbyint(d);
  if (r < -2147483648.0 || r > 2147483647.0) throw Error(err::kOverflow);
  return static_cast<int32_t>(r);
}

Text number_text(int64_t n) {
  std::string s = std::to_string(n);
  return Text(s.begin(), s.end());
}

Text number_text_blank(int64_t n) { return n >= 0 ? u" " + number_text(n) : number_text(n); }

Text double_text(double d) {
  if (d == 0) return u"0";
  if (std::isnan(d)) return u"NaN";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15G", d);
  std::string s = buf;
  return Text(s.begin(), s.end());
}

}  // namespace kvistur
