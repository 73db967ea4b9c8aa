#include "record/record_text.h"

#include "kvistur/number.h"

namespace kvistur {

Text NextToken(int16_t& pos, TextView text) {
  if (pos < 1) throw Error(err::kInvalidArgument);  // positions start at 1
  std::size_t start = std::size_t(pos) - 1;
  std::size_t end = start <= text.size() ? text.find(kValueEnd, start) : TextView::npos;
  if (end == TextView::npos) throw Error(err::kInvalidArgument);
  std::size_t n = end - start;
  if (n > 32767 || int32_t(pos) + int32_t(n) + 1 > 32767) throw Error(err::kOverflow);
  pos = int16_t(pos + int16_t(n) + 1);
  return Text(text.substr(start, n));
}

namespace {

class Reader {
 public:
  explicit Reader(TextView t) : t_(t) {}

  Text value() { return NextToken(pos_, t_); }
  int16_t i16() { return round_to_i16(read_number(value())); }
  int32_t i32() { return round_to_i32(read_number(value())); }

  // The character at the current position; invalid argument past the end.
  char16_t look() const {
    if (pos_ < 1 || std::size_t(pos_) > t_.size()) throw Error(err::kInvalidArgument);
    return t_[std::size_t(pos_) - 1];
  }
  // True (and steps past it) when the list ends here.
  bool at_end(char16_t end_char) {
    if (look() != end_char) return false;
    if (pos_ == 32767) throw Error(err::kOverflow);
    ++pos_;
    return true;
  }
  bool at_last_character() const { return std::size_t(pos_) >= t_.size(); }

  TitleElement title() {
    TitleElement e;
    e.iGerð = i16();
    e.s1 = value();
    e.s2 = value();
    return e;
  }
  NameEntry name() {
    NameEntry e;
    e.iGerð = i16();
    e.p1 = value();
    e.p2 = value();
    e.p3 = value();
    e.p4 = value();
    e.p5 = value();
    return e;
  }
  TermPair term() {
    TermPair e;
    e.s1 = value();
    e.s2 = value();
    return e;
  }
  HoldingItem holding() {
    HoldingItem e;
    e.Númer = i32();
    e.Athugasemd = value();
    e.Staðsetning = value();
    return e;
  }

  template <typename T, typename Element>
  void list(List<T>& out, Element element, char16_t end_char = kListEnd) {
    while (!at_end(end_char)) out.append((this->*element)());
  }
  // The list of added names also ends at the last character of the text.
  void names_to_last(List<NameEntry>& out) {
    while (!at_end(kListEnd) && !at_last_character()) out.append(name());
  }
  ContentsEntry contents() {
    ContentsEntry c = EmptyContentsEntry();
    list(c.Titlar, &Reader::title);
    list(c.Nöfn, &Reader::name);
    list(c.Efnisorð, &Reader::term);
    return c;
  }

 private:
  TextView t_;
  int16_t pos_ = 1;
};

}  // namespace

CatalogueRecord ParseRecordText(TextView text) {
  CatalogueRecord r = EmptyRecord();
  if (text.empty()) return r;
  Reader in(text);
  r.Aukatexti1 = in.value();
  r.Aukatexti2 = in.value();
  r.Útgefandi = in.value();
  r.Útgáfutími = in.value();
  r.Útgáfustaður = in.value();
  EditionGroup edition = EmptyEditionGroup();
  edition.Texti = in.value();
  in.list(edition.Nöfn, &Reader::name);
  r.Útgáfa = edition;
  r.Umfang = in.value();
  r.Aukatexti3 = in.value();
  r.Fylgiefni = in.value();
  r.Aukatexti4 = in.value();
  r.Efnistegund = in.value();
  r.Stærð = in.value();
  r.AðrarUpplýsingar = in.value();
  r.Marktákn1 = in.value();
  r.Marktákn2 = in.value();
  r.Marktákn3 = in.value();
  r.Marktákn4 = in.value();
  in.list(r.Titlar, &Reader::title);
  in.list(r.Ábyrgðaraðildir, &Reader::name);
  in.list(r.Efnisorð, &Reader::term);
  in.list(r.Aðfanganúmer, &Reader::holding);
  in.list(r.Efnisyfirlit, &Reader::contents, kContentsEnd);
  AddedEntries added = EmptyAddedEntries();
  in.list(added.Titlar, &Reader::title);
  in.names_to_last(added.Nöfn);
  r.Aukafærslur = added;
  SeriesGroup series = EmptySeriesGroup();
  in.list(series.Titlar, &Reader::title);
  in.list(series.Nöfn, &Reader::name);
  series.Tölumerking = in.value();
  r.Ritröð = series;
  r.Aukatexti5 = in.value();
  r.InnlErl = in.i16();
  r.boolOpinLokuð = in.i16();
  r.boolHeilÓheil = in.i16();
  return r;
}

}  // namespace kvistur
