#include "search/progress.h"

#include "kvistur/number.h"
#include "settings/thread_state.h"

namespace kvistur {

void ReportWork(std::string_view what, int64_t done, int64_t total) {
  auto& listener = thread_state().on_work;
  if (listener) listener(what, done, total);
}

const Variant& SearchProgress::form() const {
  static const Variant nothing;
  return form_ ? *form_ : nothing;
}

void SearchProgress::add_line(TextView text) {
  invoke(get_member(form(), u"lbLeit"), u"AddItem", {Variant(Text(text))});
}
void SearchProgress::select_new_line() {
  Variant list = get_member(form(), u"lbLeit");
  Variant index = get_member(list, u"NewIndex");
  put_member(get_member(form(), u"lbLeit"), u"ListIndex", index);
}
void SearchProgress::refresh() { invoke(form(), u"Refresh"); }
void SearchProgress::bar(int16_t value) { put_member(get_member(form(), u"prgBarLeit"), u"Value", Variant(value)); }

void SearchProgress::throttled(int32_t j, int32_t h) {
  if (!on_ || h == 0) return;
  int16_t p = round_to_i16(double(j) * 100.0 / double(h));
  if (p >= last_ + 5) {
    bar(p);
    refresh();
    last_ = p;
  }
}

void SearchProgress::started() {
  if (!on_) return;
  invoke(form(), u"Show");
  invoke(get_member(form(), u"lbLeit"), u"Clear");
  refresh();
}
void SearchProgress::term_query(TextView term) {
  if (!on_) return;
  bar(0);
  add_line(u"Leita að færslum með " + Text(term));
  select_new_line();
  refresh();
}
void SearchProgress::term_hits(int32_t h, TextView term) {
  if (!on_) return;
  add_line(u"Fann " + number_text(h) + u" færslur með " + Text(term));
  add_line(u"Les inn færslunúmer");
  select_new_line();
  refresh();
}
void SearchProgress::sorting_hits() {
  if (!on_) return;
  bar(100);
  add_line(u"Raða færslum");
  select_new_line();
  refresh();
}
void SearchProgress::merge_started() {
  if (!on_) return;
  bar(0);
  refresh();
}
void SearchProgress::merge_done() {
  if (!on_) return;
  bar(100);
  refresh();
}
void SearchProgress::merging_term(TextView term) {
  if (!on_) return;
  add_line(u"Sæki númer færslna sem innihalda " + Text(term));
  select_new_line();
  refresh();
  bar(0);
  refresh();
}
void SearchProgress::fetching_results() {
  if (!on_) return;
  add_line(u"Sæki niðurstöður");
  refresh();
  select_new_line();
}
void SearchProgress::sorting_results() {
  if (!on_) return;
  add_line(u"Raða niðurstöðum");
  select_new_line();
  refresh();
}
void SearchProgress::finished() {
  if (!on_) return;
  invoke(form(), u"Hide");
}

}  // namespace kvistur
