// /browse: the headings of the title, author or subject index in
// Icelandic alphabetical order from the words typed on, 20 a page, each
// with the number of records that have it and a link that searches it.
//
// The headings are the words of the word index in that search field, as a
// Z39.50 or SRU scan lists them (search/word_scan.h).  Paging forward
// starts the next page at the heading after the page's last, paging back
// at the first of the 20 before the page's first, so neither costs more
// than one page; page=P counts pages on from FROM, up to kMaxBrowsePage.
#pragma once

#include "kvistur/faersla.h"
#include "web/page.h"

namespace kvistur::web {

inline constexpr int kBrowsePageSize = 20;
inline constexpr int kMaxBrowsePage = 50;

Response BrowsePage(const PageContext& c, Faersla& faersla);

}  // namespace kvistur::web
