// Addresses the pages link to, and reading the numbers an address holds.
//
// Every link a page writes is made here from its parts, each part
// percent-encoded, so a search's words or a heading never reach a link as
// they are; the template then escapes the link for HTML like any value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kvistur::web {

using Query = std::vector<std::pair<std::string, std::string>>;

// Everything but letters, digits and - . _ ~ as %XX.
std::string PercentEncode(const std::string& s);
// PATH?k=v&k=v with every name and value encoded; PATH alone when QUERY
// is empty.
std::string Address(const std::string& path, const Query& query);

// A whole number as an address writes it: an optional "-" and 1 to 10
// digits, within 32 bits; nullopt otherwise.
std::optional<int32_t> WholeNumber(const std::string& text);

// The characters of UTF-8 TEXT (code points), for the limits on words.
std::size_t Characters(const std::string& text);

}  // namespace kvistur::web
