// The rich-text output operations: control calls or marked-up text.
#include "print/rich_text.h"

#include <exception>

namespace kvistur {
namespace {

// Runs one simple operation: `control` in control mode, `marked` is the
// text-mode result.  Every fault becomes "Villa".
template <typename Control>
Text simple_operation(const Variant& vCtrl, Control&& control, TextView marked) {
  try {
    switch (print_mode(vCtrl)) {
      case PrintMode::kControl:
        control();
        return Text();
      case PrintMode::kText:
        return Text(marked);
      case PrintMode::kNone:
        return Text();
    }
  } catch (const Error&) {
  } catch (const std::exception&) {
  }
  return Text(kPrintFailure);
}

}  // namespace

PrintMode print_mode(const Variant& vCtrl) {
  if (vCtrl.is_object()) return PrintMode::kControl;
  return vCtrl.to_i16() == 1 ? PrintMode::kText : PrintMode::kNone;
}

Text PrintUnderlineOn(const Variant& vCtrl) {
  return simple_operation(vCtrl, [&] { put_member(vCtrl, u"SelUnderline", Variant(true)); }, u"<U>");
}

Text PrintUnderlineOff(const Variant& vCtrl) {
  return simple_operation(vCtrl, [&] { put_member(vCtrl, u"SelUnderline", Variant(false)); }, u"</U>");
}

Text PrintNewLine(const Variant& vCtrl) {
  return simple_operation(vCtrl, [&] { put_member(vCtrl, u"SelText", Variant(Text(u"\r\n"))); }, u"");
}

Text PrintText(const Variant& vCtrl, TextView text) {
  return simple_operation(vCtrl, [&] { put_member(vCtrl, u"SelText", Variant(Text(text))); }, text);
}

Text PrintCallNumber(const Variant& vCtrl, const CatalogueRecord& record) {
  if (print_mode(vCtrl) == PrintMode::kNone) return Text();
  Text call_number = trim(record.Marktákn1);
  PrintText(vCtrl, call_number);
  return call_number;
}

}  // namespace kvistur
