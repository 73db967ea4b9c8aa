// The language of a page's own texts: Icelandic unless the address asks
// for another (lang=en) or the browser prefers one the site has texts for
// (Accept-Language, by its q-values).  The catalogue's texts are shown as
// they are, whatever the language.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "web/site.h"

namespace kvistur::web {

inline constexpr char kDefaultLanguage[] = "is";

// LANG_PARAM (null: none given) or ACCEPT_LANGUAGE, among the languages
// SITE has texts for.
std::string ChooseLanguage(const Site& site, const std::string* lang_param, const std::string& accept_language);

// TEXT with each {name} of VALUES put in.
std::string Fill(std::string text, const std::map<std::string, std::string>& values);

// The text of KEY in the one or the many form for N ("KEY_one" or
// "KEY_many"), as the language counts: Icelandic takes the one form for
// 1, 21, 31 ... but not 11, English for 1 alone.
std::string Counted(const nlohmann::json& texts, const std::string& lang, const std::string& key, int64_t n);

}  // namespace kvistur::web
