// The search's progress display on a form of the host's: status lines in
// the list box lbLeit, a bar prgBarLeit, shown at the start and hidden at
// the end.  Every point does nothing when iRofi is 0; the form and its
// controls are looked up by name at every use.  A failing control call is a
// failure of the search.
#pragma once

#include "kvistur/automation.h"

namespace kvistur {

// Tells the thread's on_work listener (settings/thread_state.h), if any,
// how far a long step is; an empty WHAT says the step is over.
void ReportWork(std::string_view what, int64_t done, int64_t total);

class SearchProgress {
 public:
  SearchProgress(int16_t iRofi, const Variant* form) : on_(iRofi != 0), form_(form) {}
  bool on() const { return on_; }

  void started();                                      // P1
  void term_query(TextView term);                      // P2
  void term_hits(int32_t h, TextView term);            // P3
  // The steps of a loop, once a hit: checked here, so that a search
  // without a window pays no call for them.
  void row(int32_t j, int32_t h) { if (on_) throttled(j, h); }  // P4
  void sorting_hits();                                 // P5
  void merge_started();                                // P6
  void merge_step(int32_t j, int32_t h) { if (on_) throttled(j, h); }  // P7
  void merge_done();                                   // P8
  void merging_term(TextView term);                    // P9
  void fetching_results();                             // P10
  void result(int32_t k, int32_t m) { if (on_) throttled(k, m); }  // P11
  void sorting_results();                              // P12
  void finished();                                     // P13
  // Starts a throttled loop.
  void reset() { last_ = 0; }

 private:
  const Variant& form() const;
  void add_line(TextView text);
  void select_new_line();
  void refresh();
  void bar(int16_t value);
  void throttled(int32_t j, int32_t h);

  bool on_;
  const Variant* form_;
  int16_t last_ = 0;
};

}  // namespace kvistur
