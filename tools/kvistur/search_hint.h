// What to search for when a text found nothing only because of how it was
// written.  The word index keeps words as runs of letters and digits, and
// an ISBN or ISSN as its digits, while the search cuts its text at blanks
// alone: "Brennu-Njáls" and "978-9970-01-026-4" are terms no word of the
// index can equal.  The search itself stays as it is (hosts rely on it);
// the command line only suggests the text written the index's way.
//
//   search_instead("Brennu-Njáls saga")   == "brennu njáls saga"
//   search_instead("978-9970-01-026-4")   == "9789970010264"
//   search_instead("njáls saga")          == ""
#pragma once

#include <string>

namespace kvistur::cli {

// TEXT with each term written as the word index writes it: "" when that
// changes none of them.  A * at a term's start or end stays there.
std::string search_instead(const std::string& text);

}  // namespace kvistur::cli
