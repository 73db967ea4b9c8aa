// The four text methods: a whole-record text (and for SkilaRSv the MARC
// text) in, a display string out.  No frame and no log lines: a text the
// parser cannot read reaches the host as an error.
#include "component/methods.h"
#include "marc/description.h"
#include "marc/lists.h"
#include "record/record_text.h"

namespace kvistur {

Text SkilaRSv(Variant& szÖll, Variant& szMarc) {
  CatalogueRecord r = ParseRecordText(szÖll.to_text());
  r.MarkSnið = szMarc.to_text();
  return BuildDescription(r, 0);
}

Text SkilaAN(Variant& szÖll) { return HoldingsText(ParseRecordText(szÖll.to_text())); }
Text SkilaEN(Variant& szÖll) { return SubjectsText(ParseRecordText(szÖll.to_text())); }
Text SkilaGF(Variant& szÖll) { return ContentsText(ParseRecordText(szÖll.to_text())); }

}  // namespace kvistur
