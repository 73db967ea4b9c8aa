// Text: 16-bit strings, as the component's hosts hand them over.
//
// Positions and lengths everywhere count 16-bit units.  UTF-8 exists only at
// the edges (files, SQLite, JSON, the terminal); `to_utf8`/`from_utf8`
// convert there.  Case mapping and comparison follow the Icelandic locale
// through ICU, never hand-written tables.
#pragma once

#include <string>
#include <string_view>

namespace kvistur {

using Text = std::u16string;
using TextView = std::u16string_view;

// UTF-8 <-> UTF-16.  Malformed input becomes U+FFFD; never throws.
std::string to_utf8(TextView s);
Text from_utf8(std::string_view s);

// Removes the blank (U+0020) only, at both ends or one end; tabs and other
// white space stay.
Text trim(TextView s);
Text trim_left(TextView s);
Text trim_right(TextView s);

// Upper and lower case by the Icelandic locale (á -> Á, ð -> Ð, þ -> Þ ...).
Text upper_is(TextView s);
Text lower_is(TextView s);

// Comparison that ignores letter case (Icelandic letters included) but not
// accents: "Þór" equals "þÓR", "a" differs from "á".  Ordering follows the
// Icelandic alphabet.  Returns <0, 0 or >0.
int compare_ci(TextView a, TextView b);
inline bool equals_ci(TextView a, TextView b) { return compare_ci(a, b) == 0; }

// A key for `compare_ci`: equal keys exactly when compare_ci says equal, and
// the bytes order as compare_ci orders.  Used where many comparisons share one
// side (indexes, DISTINCT).
std::string sort_key_ci(TextView s);
// The version of the collation compare_ci and sort_key_ci follow, as ICU
// gives it ("153.120.40.23"): data ordered by it elsewhere holds only while
// the version is the same.
std::string collation_version();

// Binary (code unit) comparison, the engine's and the sort's plain order.
inline int compare_binary(TextView a, TextView b) { return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1); }

}  // namespace kvistur
