// The column names of a recordset, as the engine reports them (UTF-8), and
// the lookup of a field by name that both engines' recordsets share: the
// exact name first, then the name folded as the engine folds identifiers.
//
// A recordset is opened for every record a search describes, and nearly
// every lookup names the column exactly as the query spelt it; so the names
// are kept as the engine gave them, compared without converting them, and
// folded only when an exact match fails.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kvistur/text.h"
#include "platform/sqlite_functions.h"

namespace kvistur::db {

class ColumnNames {
 public:
  void add(const char* utf8) { names_.emplace_back(utf8 ? utf8 : ""); }
  std::size_t size() const { return names_.size(); }

  // The column's position, -1 when no column has that name.
  int find(TextView name) {
    for (std::size_t i = 0; i < names_.size(); ++i)
      if (same(names_[i], name)) return int(i);
    if (folded_.size() != names_.size()) {
      folded_.clear();
      for (auto& n : names_) folded_.push_back(fold_utf8(n));
    }
    std::string f = fold_text(name);
    for (std::size_t i = 0; i < folded_.size(); ++i)
      if (folded_[i] == f) return int(i);
    return -1;
  }

 private:
  // Whether UTF-8 A is B written in UTF-8 (as to_utf8 writes it: a lone
  // surrogate as U+FFFD), compared as B is encoded, without a copy.
  static bool same(const std::string& a, TextView b) {
    std::size_t at = 0;
    for (std::size_t i = 0; i < b.size(); ++i) {
      uint32_t c = b[i];
      if (c < 0x80) {
        if (at >= a.size() || static_cast<unsigned char>(a[at]) != c) return false;
        ++at;
        continue;
      }
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < b.size() && b[i + 1] >= 0xDC00 && b[i + 1] <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (b[i + 1] - 0xDC00);
        ++i;
      } else if (c >= 0xD800 && c <= 0xDFFF) {
        c = 0xFFFD;
      }
      unsigned char bytes[4];
      int n;
      if (c < 0x800) {
        bytes[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
        n = 1;
      } else if (c < 0x10000) {
        bytes[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
        bytes[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
        n = 2;
      } else {
        bytes[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
        bytes[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
        bytes[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
        n = 3;
      }
      bytes[n++] = static_cast<unsigned char>(0x80 | (c & 0x3F));
      if (a.size() - at < std::size_t(n)) return false;
      for (int k = 0; k < n; ++k)
        if (static_cast<unsigned char>(a[at + std::size_t(k)]) != bytes[k]) return false;
      at += std::size_t(n);
    }
    return at == a.size();
  }

  std::vector<std::string> names_;
  std::vector<std::string> folded_;  // made at the first lookup an exact name misses
};

}  // namespace kvistur::db
