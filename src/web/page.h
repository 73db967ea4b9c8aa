// What every page shares: the request it answers (language, address,
// the site's public address), the layout it is rendered into, and the
// refusal a handler throws to answer with an error page.
#pragma once

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "web/address.h"
#include "web/http_server.h"
#include "web/limits.h"
#include "web/site.h"

namespace kvistur::web {

// What a handler refuses a request with: STATUS and the text (of the
// page's texts) under KEY, with {what} filled in by WHAT.
struct Refusal : std::runtime_error {
  Refusal(int status, std::string key, std::string what = "")
      : std::runtime_error(key), status(status), key(std::move(key)), what_(std::move(what)) {}
  int status;
  std::string key, what_;
};

struct PageContext {
  const Site& site;
  const WebSettings& settings;
  const Request& request;
  std::string lang;
  bool lang_asked = false;  // lang= was in the address: the page's links keep it
  std::string base;         // the site's address as a browser reaches it, without a final "/"

  const nlohmann::json& texts() const { return site.Texts(lang); }
  std::string text(const std::string& key) const { return texts().value(key, key); }
  // An address on the site with the page's language kept when it was asked.
  std::string link(const std::string& path, Query query = {}) const;
};

// The records chosen for the print list: every id=N of the address, each
// once, in order; refused (400) when one is not a number or there are more
// than kMaxPrintRecords.
std::vector<int32_t> ChosenIds(const Request& request);

// The context of REQUEST: its language and the site's address.
PageContext ContextOf(const Site& site, const WebSettings& settings, const Request& request);

// An HTML page: TEMPLATE rendered with MODEL, then the layout around it,
// with TITLE as the page's title.
Response HtmlPage(const PageContext& c, const std::string& name, nlohmann::json model, const std::string& title,
                  int status = 200);

// The error page for REFUSAL (a JSON object under /api).
Response ErrorPage(const PageContext& c, const Refusal& refusal);

}  // namespace kvistur::web
