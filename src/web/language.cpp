#include "web/language.h"

#include <cctype>
#include <cstdlib>
#include <sstream>

namespace kvistur::web {

std::string ChooseLanguage(const Site& site, const std::string* lang_param, const std::string& accept_language) {
  if (lang_param && site.HasLanguage(*lang_param)) return *lang_param;
  // "en-GB,en;q=0.9,is;q=0.8": the first language with the highest q that
  // the site has.
  std::string best = kDefaultLanguage;
  double best_q = 0;
  std::stringstream items(accept_language);
  for (std::string item; std::getline(items, item, ',');) {
    std::string tag = item.substr(0, item.find(';'));
    tag.erase(0, tag.find_first_not_of(' '));
    tag = tag.substr(0, tag.find_first_of(" -_"));
    for (char& c : tag) c = char(std::tolower(static_cast<unsigned char>(c)));
    double q = 1;
    if (auto at = item.find("q="); at != std::string::npos) q = std::atof(item.c_str() + at + 2);
    if (q > best_q && site.HasLanguage(tag)) best = tag, best_q = q;
  }
  return best;
}

std::string Fill(std::string text, const std::map<std::string, std::string>& values) {
  for (auto& [name, value] : values) {
    std::string mark = "{" + name + "}";
    for (std::size_t p = text.find(mark); p != std::string::npos; p = text.find(mark, p + value.size()))
      text.replace(p, mark.size(), value);
  }
  return text;
}

std::string Counted(const nlohmann::json& texts, const std::string& lang, const std::string& key, int64_t n) {
  bool one = lang == "is" ? n % 10 == 1 && n % 100 != 11 : n == 1;
  return texts.value(key + (one ? "_one" : "_many"), std::string());
}

}  // namespace kvistur::web
