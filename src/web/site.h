// The library's own look, read from one folder when the program starts, so
// that a library changes its pages without rebuilding anything:
//
//   templates/*.mustache   the pages (Mustache: no logic, every value
//                          HTML-escaped where it is written)
//   texts/is.json, en.json the pages' own words in each language
//   static/...             the style sheet, the script, the logo
//
// Every template is also a partial under its name ({{> search_form}}).  A
// page is rendered from a model (JSON: objects, lists, texts, true and
// false) into its template, then into `layout` as {{{content}}}.  The
// static files are held in memory and found by their exact name, so no
// address can reach a file outside the folder.
#pragma once

#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

namespace kvistur::web {

struct StaticFile {
  std::string content_type, bytes;
};

// Bytes of static files held at most; a folder with more is refused.
constexpr std::size_t kMaxStaticBytes = 32u << 20;

class Site {
 public:
  // Reads FOLDER.  Throws std::runtime_error naming the file that is
  // missing or wrong (a template that does not parse, texts that are not a
  // JSON object).
  explicit Site(const std::string& folder);

  // TEMPLATE rendered with MODEL (the texts of LANG as `t`).
  std::string Render(const std::string& name, const nlohmann::json& model) const;

  // The languages there are texts for; "is" always.
  bool HasLanguage(const std::string& lang) const { return texts_.count(lang) > 0; }
  const nlohmann::json& Texts(const std::string& lang) const { return texts_.at(lang); }

  // The static file at PATH under /static/, or null.
  const StaticFile* Static(const std::string& path) const;

  const std::string& folder() const { return folder_; }

 private:
  std::string folder_;
  std::map<std::string, std::string> templates_;
  std::map<std::string, nlohmann::json> texts_;
  std::map<std::string, StaticFile> statics_;
  uint64_t id_;  // tells one site's parsed templates from another's
};

}  // namespace kvistur::web
