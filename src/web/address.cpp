#include "web/address.h"

#include <cctype>
#include <cstdio>

namespace kvistur::web {

std::string PercentEncode(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += char(c);
    } else {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    }
  }
  return out;
}

std::string Address(const std::string& path, const Query& query) {
  std::string out = path;
  char sep = '?';
  for (auto& [k, v] : query) {
    out += sep + PercentEncode(k) + "=" + PercentEncode(v);
    sep = '&';
  }
  return out;
}

std::optional<int32_t> WholeNumber(const std::string& text) {
  std::size_t start = !text.empty() && text[0] == '-' ? 1 : 0;
  std::size_t digits = text.size() - start;
  if (digits < 1 || digits > 10) return std::nullopt;
  int64_t v = 0;
  for (std::size_t i = start; i < text.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
    v = v * 10 + (text[i] - '0');
  }
  if (start) v = -v;
  if (v < INT32_MIN || v > INT32_MAX) return std::nullopt;
  return int32_t(v);
}

std::size_t Characters(const std::string& text) {
  std::size_t n = 0;
  for (unsigned char c : text) n += (c & 0xC0) != 0x80;
  return n;
}

}  // namespace kvistur::web
