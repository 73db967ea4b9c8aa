// eval operation of `kvistur host` for the record-text parser: a
// whole-record text in, the record it gives as an object out.  A fault of
// the parser ends the operation with its error number (5 or 6).
#include "json_values.h"
#include "record/record_text.h"
#include "record_json.h"

namespace kvistur::host {
namespace {

[[maybe_unused]] const bool registered = register_eval("ParseRecordText", [](const json& args) {
  Text text = text_from_json(arg(args, 0, "whole-record text"));
  return to_json(record_json(ParseRecordText(text)));
});

}  // namespace
}  // namespace kvistur::host
