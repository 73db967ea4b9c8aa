// eval operations of `kvistur host` for the rich-text output: each of the
// five operations on a vCtrl given as a variant (a number, a text, or
// {"object":"NAME"} for a richtext host object).
#include "json_values.h"
#include "print/rich_text.h"

namespace kvistur::host {
namespace {

json text_result(const Text& t) { return text_to_json(t); }

const bool registered = [] {
  register_eval("PrintUnderlineOn",
                [](const json& a) { return text_result(PrintUnderlineOn(variant_from_json(arg(a, 0, "vCtrl")))); });
  register_eval("PrintUnderlineOff",
                [](const json& a) { return text_result(PrintUnderlineOff(variant_from_json(arg(a, 0, "vCtrl")))); });
  register_eval("PrintNewLine",
                [](const json& a) { return text_result(PrintNewLine(variant_from_json(arg(a, 0, "vCtrl")))); });
  register_eval("PrintText", [](const json& a) {
    return text_result(PrintText(variant_from_json(arg(a, 0, "vCtrl")), text_from_json(arg(a, 1, "text"))));
  });
  // The record is given by its call-number part: {"Marktákn1":"629.1"}.
  register_eval("PrintCallNumber", [](const json& a) {
    const json& r = arg(a, 1, "record");
    if (!r.is_object() || !r.contains("Marktákn1")) throw HostError("the record object needs \"Marktákn1\"");
    CatalogueRecord record = EmptyRecord();
    record.Marktákn1 = text_from_json(r["Marktákn1"]);
    return text_result(PrintCallNumber(variant_from_json(arg(a, 0, "vCtrl")), record));
  });
  return true;
}();

}  // namespace
}  // namespace kvistur::host
