// The print layout behind FormaFyrirPrentun.
#include "print/layout.h"

#include <exception>

#include "marc/description.h"
#include "marc/lists.h"
#include "marc/subfields.h"
#include "print/rich_text.h"
#include "settings/frame.h"
#include "settings/log.h"
#include "settings/settings.h"

namespace kvistur {
namespace {

bool has_content(TextView s) { return !trim(s).empty(); }

Text title_of(const CatalogueRecord& r) {
  Text t;
  for (int16_t i = 0; i < r.Titlar.count(); ++i) {
    if (i > 0) t += u" : ";
    t += FormatTitleElement(r.Titlar[i]);
  }
  return t;
}

Text main_entry_of(const CatalogueRecord& r) { return FormatName(BuildMainEntry(r.MarkSnið).name); }

Text first_name_of(const CatalogueRecord& r) {
  return r.Ábyrgðaraðildir.empty() ? Text() : FormatName(r.Ábyrgðaraðildir[0]);
}

Text all_names_of(const CatalogueRecord& r) {
  Text t;
  for (int16_t i = 0; i < r.Ábyrgðaraðildir.count(); ++i) {
    if (i > 0) t += u" ; ";
    t += FormatName(r.Ábyrgðaraðildir[i]);
  }
  return t;
}

// One layout run: the control, the arrays and the current line k.
class Layout {
 public:
  Layout(const Variant& vCtrl, int16_t list_type, const RecordSource& fetch, PrintLines& out)
      : vCtrl_(vCtrl), type_(list_type), fetch_(fetch), out_(out) {}

  // Lays out record J of LID.  The line is begun, and the two new lines
  // written, before LID(J) is read: when the number cannot be read (LID
  // does not reach down to J), the begun line stays as the failure finds it.
  void record(const SafeArray<int32_t>& lID, int32_t j) {
    new_line(kLineNotPrinted);
    PrintNewLine(vCtrl_);
    PrintNewLine(vCtrl_);
    CatalogueRecord r = fetch_(lID(j));
    switch (r.Tag) {
      case 1: ordinary_item(r); break;
      case 2: component_part(r); break;
      case 100: periodical(r); break;
      case 200: article(r); break;
      default: break;  // not printed: the line keeps kind -1
    }
  }

 private:
  // Extends the four arrays to line k + 1, keeping what they hold.
  void new_line(int16_t kind) {
    if (k_ == INT32_MAX) throw Error(err::kOverflow);
    ++k_;
    out_.iTag.redim_preserve(0, k_);
    out_.szA1.redim_preserve(0, k_);
    out_.szA2.redim_preserve(0, k_);
    out_.szA3.redim_preserve(0, k_);
    out_.szA1(k_) = Text();
    out_.szA2(k_) = Text();
    out_.szA3(k_) = Text();
    out_.iTag(k_) = kind;
  }

  void keep(const Text& returned) { out_.szA2(k_) += returned; }
  void piece(TextView text) { keep(PrintText(vCtrl_, text)); }
  void underlined(TextView text) {
    keep(PrintUnderlineOn(vCtrl_));
    piece(text);
    keep(PrintUnderlineOff(vCtrl_));
  }

  // Kind, call number and the tab that every printed entry starts with.
  void entry_start(const CatalogueRecord& call_number_record) {
    out_.iTag(k_) = kLineEntry;
    out_.szA1(k_) = PrintCallNumber(vCtrl_, call_number_record);
    PrintText(vCtrl_, u"\t");
  }

  void subject_line(const CatalogueRecord& r) {
    Text s = JoinPairs(r.Efnisorð);
    if (s.empty()) return;
    PrintNewLine(vCtrl_);
    PrintText(vCtrl_, u"\t");
    Text returned = PrintText(vCtrl_, u"Efnisorð: " + s);
    new_line(kLineSubjects);
    out_.szA2(k_) = returned;
  }

  void ordinary_item(const CatalogueRecord& r) {
    entry_start(r);
    Text main = main_entry_of(r);
    if (!main.empty()) piece(main + u": ");
    Text title = title_of(r);
    if (!title.empty()) underlined(title);
    switch (type_) {
      case 0: {
        Text publication = BuildPublication(r);
        if (!publication.empty()) piece(u". - " + publication);
        break;
      }
      case 1: case 2: case 3: case 4: {
        Text tail = BuildAreaTail(r);
        if (has_content(tail)) piece(tail);
        if (type_ == 3) subject_line(r);
        break;
      }
      default: break;
    }
  }

  void component_part(const CatalogueRecord& r) {
    CatalogueRecord host = fetch_(r.Upprunafærsla);
    entry_start(host);
    Text first = first_name_of(r);
    if (!first.empty()) piece(first + u": ");
    Text title = title_of(r);
    if (!title.empty()) piece(u"\"" + title + u"\"");
    piece(u".  Í: ");
    Text main = main_entry_of(r);
    if (!main.empty()) piece(main + u": ");
    Text host_title = title_of(host);
    if (!host_title.empty()) underlined(host_title);
    Text publication = BuildPublication(host);
    if (!publication.empty()) piece(u". - " + publication);
  }

  void periodical(const CatalogueRecord& r) {
    entry_start(r);
    Text t = r.Titlar.empty() ? Text() : FormatTitleElement(r.Titlar[0]);
    Text v = SubfieldValue(u"$a", FindFieldLine(u"255", r.MarkSnið));
    if (!t.empty()) {
      underlined(t);
      if (!v.empty()) piece(u". - ");
    }
    if (!v.empty()) piece(v);
    piece(u" [tímarit]");
  }

  void article(const CatalogueRecord& r) {
    entry_start(r);
    if (!r.Ábyrgðaraðildir.empty()) piece(all_names_of(r) + u": ");
    Text title = title_of(r);
    if (!title.empty()) underlined(title);
    Text c = BuildHostPart(r);
    switch (type_) {
      case 0:
        if (!c.empty()) piece(u". - " + c);
        break;
      case 1: case 2: case 3:
        if (has_content(c)) piece(u". - " + c);
        if (type_ == 3) subject_line(r);
        break;
      case 4:
        if (has_content(c)) piece(c);
        break;
      default: break;
    }
  }

  const Variant& vCtrl_;
  int16_t type_;
  const RecordSource& fetch_;
  PrintLines& out_;
  int32_t k_ = 0;
};

}  // namespace

int16_t PrintListType() { return round_to_i16(read_number(RegLesa(u"Prentun", u"ListaTegund"))); }

int32_t RecordListBound(const SafeArray<int32_t>& lID) { return lID.allocated() ? lID.ubound() : -1; }

int32_t LayOutRecords(const Variant& vCtrl, const SafeArray<int32_t>& lID, int16_t list_type,
                      const RecordSource& fetch, PrintLines& out) {
  int32_t last = RecordListBound(lID);
  if (last < 1) return 0;
  Layout layout(vCtrl, list_type, fetch, out);
  for (int32_t j = 1; j <= last; ++j) layout.record(lID, j);
  return last;
}

int32_t PrintLayout(const Variant& vCtrl, const SafeArray<int32_t>& lID, PrintLines& out,
                    const RecordSource& fetch) {
  // The failure handler covers the entry line too.
  try {
    MeldaError(u"FormaFyrirPrentun inn.  UBound(lID):", RecordListBound(lID), u"", false);
    int16_t list_type = PrintListType();
    int32_t result = LayOutRecords(vCtrl, lID, list_type, fetch, out);
    MeldaError(u"FormaFyrirPrentun út, normal", 0, u"", false);
    return result;
  } catch (const Error& e) {
    log_frame_failure(e);
  } catch (const std::exception& e) {
    log_frame_failure(error_from_std(e));
  }
  return -1;
}

}  // namespace kvistur
