// MARCXML written in tests: a collection of records, each of a type
// (leader/05-07, "nam" for a new book) and fields.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kvistur::testing {

inline std::string marc_collection(const std::string& records) {
  return "<collection xmlns=\"http://www.loc.gov/MARC21/slim\">" + records + "</collection>";
}
inline std::string marc_record(const std::string& type, const std::string& fields) {
  return "<record><leader>00000" + type + " a2200000 a 4500</leader>" + fields + "</record>";
}
inline std::string marc_control(const std::string& tag, const std::string& value) {
  return "<controlfield tag=\"" + tag + "\">" + value + "</controlfield>";
}
// IND: the two indicators, as "10".
inline std::string marc_field(const std::string& tag, const std::string& ind,
                              const std::vector<std::pair<char, std::string>>& subfields) {
  std::string s = "<datafield tag=\"" + tag + "\" ind1=\"" + ind.substr(0, 1) + "\" ind2=\"" + ind.substr(1, 1) + "\">";
  for (auto& [code, value] : subfields) s += std::string("<subfield code=\"") + code + "\">" + value + "</subfield>";
  return s + "</datafield>";
}

}  // namespace kvistur::testing
