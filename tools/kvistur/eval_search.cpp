// eval operations of `kvistur host` for the search's building blocks: the
// order of hits, cutting and joining texts, and cleaning a search term.
//
//   SortHits [[k1, k2, ...]]      -> [positions of the keys, 1-based, in sorted order]
//   SplitText [text, separator]   -> {"text": text after the call, "parts": [part 1, ..., part n]}
//   JoinLines [text]              -> text
//   StripPunctuation [text]       -> text
#include "json_values.h"
#include "marc/text_split.h"
#include "search/hits.h"
#include "search/terms.h"

namespace kvistur::host {
namespace {

Text text_arg(const json& args, std::size_t n, const char* what) { return text_from_json(arg(args, n, what)); }

json sort_hits(const json& args) {
  // The keys come as one list argument; a variant is never a JSON array, so
  // keys given directly as the arguments are taken as the list too.
  if (!args.is_array()) throw HostError("SortHits expects a list of keys, got " + args.dump());
  const json& keys = args.size() == 1 && args[0].is_array() ? args[0] : args;
  if (keys.size() > std::size_t(INT32_MAX - 1)) throw HostError("SortHits: too many keys");
  // Slot 0 is never looked at by the sort; the keys go to 1..n and each hit
  // carries its position as its record number.
  HitArray hits(keys.size() + 1);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    hits[i + 1].ID = int32_t(i + 1);
    hits[i + 1].SortKey = variant_from_json(keys[i]);
  }
  SortHits(hits);
  json order = json::array();
  for (std::size_t i = 1; i < hits.size(); ++i) order.push_back(hits[i].ID);
  return order;
}

json split_text(const json& args) {
  Text text = text_arg(args, 0, "text");
  Text separator = text_arg(args, 1, "separator");
  std::vector<Text> parts{Text()};
  SplitText(text, parts, separator);
  json out = json::array();
  for (std::size_t i = 1; i < parts.size(); ++i) out.push_back(text_to_json(parts[i]));
  return json{{"text", text_to_json(text)}, {"parts", out}};
}

[[maybe_unused]] const bool registered = [] {
  register_eval("SortHits", sort_hits);
  register_eval("SplitText", split_text);
  register_eval("JoinLines", [](const json& args) { return text_to_json(JoinLines(text_arg(args, 0, "text"))); });
  register_eval("StripPunctuation", [](const json& args) {
    Text t = text_arg(args, 0, "text");
    return text_to_json(StripPunctuation(t));
  });
  return true;
}();

}  // namespace
}  // namespace kvistur::host
