#include "web/site.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <kainjow/mustache.hpp>

namespace kvistur::web {

namespace {

namespace fs = std::filesystem;
using kainjow::mustache::data;
using kainjow::mustache::mustache;
using kainjow::mustache::partial;

// The templates every site must have.
constexpr const char* kPages[] = {"layout", "home", "results", "browse", "record", "print", "error", "opensearch"};

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + p.string());
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string content_type(const fs::path& p) {
  static const std::map<std::string, std::string> types = {
      {".css", "text/css; charset=utf-8"}, {".js", "text/javascript; charset=utf-8"},
      {".svg", "image/svg+xml"},           {".png", "image/png"},
      {".jpg", "image/jpeg"},              {".jpeg", "image/jpeg"},
      {".gif", "image/gif"},               {".webp", "image/webp"},
      {".ico", "image/x-icon"},            {".woff2", "font/woff2"},
      {".txt", "text/plain; charset=utf-8"}};
  auto it = types.find(p.extension().string());
  return it == types.end() ? "application/octet-stream" : it->second;
}

// A model as Mustache data: numbers become their text, null is false.
data to_data(const nlohmann::json& j) {
  switch (j.type()) {
    case nlohmann::json::value_t::object: {
      data d{data::type::object};
      for (auto& [k, v] : j.items()) d.set(k, to_data(v));
      return d;
    }
    case nlohmann::json::value_t::array: {
      data d{data::type::list};
      for (auto& v : j) d.push_back(to_data(v));
      return d;
    }
    case nlohmann::json::value_t::string: return data(j.get<std::string>());
    case nlohmann::json::value_t::boolean: return data(j.get<bool>());
    case nlohmann::json::value_t::null: return data(false);
    default: return data(j.dump());
  }
}

}  // namespace

Site::Site(const std::string& folder) : folder_(folder) {
  static std::atomic<uint64_t> sites{0};
  id_ = ++sites;
  const fs::path root(folder);
  std::error_code e;
  if (!fs::is_directory(root / "templates", e))
    throw std::runtime_error("the templates folder " + (root / "templates").string() + " does not exist");
  for (auto& entry : fs::directory_iterator(root / "templates")) {
    if (entry.path().extension() != ".mustache") continue;
    std::string text = read_file(entry.path());
    mustache parsed(text);
    if (!parsed.is_valid())
      throw std::runtime_error("the template " + entry.path().string() + ": " + parsed.error_message());
    templates_[entry.path().stem().string()] = std::move(text);
  }
  for (const char* page : kPages)
    if (!templates_.count(page))
      throw std::runtime_error("the template " + (root / "templates" / (std::string(page) + ".mustache")).string() +
                               " is missing");
  for (const char* lang : {"is", "en"}) {
    fs::path p = root / "texts" / (std::string(lang) + ".json");
    if (!fs::exists(p, e)) continue;
    nlohmann::json t = nlohmann::json::parse(read_file(p), nullptr, false);
    if (!t.is_object()) throw std::runtime_error("the texts " + p.string() + " are not a JSON object");
    texts_[lang] = std::move(t);
  }
  if (!texts_.count("is")) throw std::runtime_error("the texts " + (root / "texts" / "is.json").string() + " are missing");
  std::size_t bytes = 0;
  if (fs::is_directory(root / "static", e)) {
    for (auto& entry : fs::recursive_directory_iterator(root / "static")) {
      if (!entry.is_regular_file()) continue;
      std::string name = "/static/" + fs::relative(entry.path(), root / "static").generic_string();
      StaticFile f{content_type(entry.path()), read_file(entry.path())};
      bytes += f.bytes.size();
      if (bytes > kMaxStaticBytes)
        throw std::runtime_error("the static files of " + folder + " hold more than " +
                                 std::to_string(kMaxStaticBytes >> 20) + " MiB");
      statics_[name] = std::move(f);
    }
  }
}

std::string Site::Render(const std::string& name, const nlohmann::json& model) const {
  // Each thread parses a site's templates once and keeps them: a parsed
  // template is not to be rendered by two threads at once.
  thread_local std::map<std::pair<uint64_t, std::string>, std::unique_ptr<mustache>> parsed;
  auto& t = parsed[{id_, name}];
  if (!t) t = std::make_unique<mustache>(templates_.at(name));
  // The partials first: a model's own value of the same name counts.
  data d{data::type::object};
  for (auto& [partial_name, text] : templates_) {
    const std::string* body = &text;
    d.set(partial_name, partial([body] { return *body; }));
  }
  for (auto& [k, v] : model.items()) d.set(k, to_data(v));
  return t->render(d);
}

const StaticFile* Site::Static(const std::string& path) const {
  auto it = statics_.find(path);
  return it == statics_.end() ? nullptr : &it->second;
}

}  // namespace kvistur::web
