// The five output operations the print layout writes through.
//
// Each works in one of two modes, chosen by what the host passed as vCtrl:
//   - an object: the host's rich-text control; the operation sets its
//     SelUnderline / SelText by member name and returns an empty text;
//   - the number 1 (anything that converts to the 16-bit integer 1): no
//     control is touched and the output comes back as marked-up text
//     ("<U>", "</U>", the text itself; a new line gives nothing).
// Any other number, and an empty vCtrl (which converts to 0), selects neither
// mode: the operation does nothing and returns "".
//
// The four simple operations never fail: any fault (the control lacks the
// member, vCtrl holds a text that is not a number, or Null) makes them return
// "Villa".  PrintCallNumber traps nothing: a fault in its own mode test
// passes on to the caller.
#pragma once

#include "kvistur/automation.h"
#include "record/catalogue_record.h"

namespace kvistur {

// What a simple operation returns when its work failed.
inline constexpr char16_t kPrintFailure[] = u"Villa";

enum class PrintMode { kNone, kControl, kText };

// The mode vCtrl selects; throws the conversion error (13, 94, 6) when vCtrl
// is neither an object nor convertible to a 16-bit integer.
PrintMode print_mode(const Variant& vCtrl);

Text PrintUnderlineOn(const Variant& vCtrl);
Text PrintUnderlineOff(const Variant& vCtrl);
Text PrintNewLine(const Variant& vCtrl);
Text PrintText(const Variant& vCtrl, TextView text);
// Marktákn1 without its surrounding blanks, written with PrintText and
// returned in both modes ("" in neither mode).
Text PrintCallNumber(const Variant& vCtrl, const CatalogueRecord& record);

}  // namespace kvistur
