// A rich-text control of our own for the print layout: a Dispatch object
// with the two members the layout writes (SelUnderline, SelText) that keeps
// what was written as runs of text, and turns them into a document.  The
// command line (`kvistur print --rtf`) and `kvistur web` (the print list)
// write their RTF documents through it.
//
//   auto control = std::make_shared<RtfControl>();
//   Variant v(std::static_pointer_cast<Dispatch>(control));
//   ... FormaFyrirPrentun(v, ...) ...
//   std::string rtf = control->rtf();        // an RTF document
//   std::string text = control->marked_text();  // "<U>" / "</U>" mark-up
//
// A carriage return and line feed written with SelText ends a paragraph;
// a tab is a tab stop.  Any other member raises error 438.
#pragma once

#include <string>
#include <vector>

#include "kvistur/automation.h"

namespace kvistur {

class RtfControl : public Dispatch {
 public:
  struct Run {
    Text text;
    bool underline = false;
  };

  Variant invoke(TextView member, std::vector<Variant>& args) override;
  Variant get(TextView member) override;
  void put(TextView member, const Variant& value) override;

  const std::vector<Run>& runs() const { return runs_; }
  // The runs split into paragraphs at each CR LF (a lone CR or LF counts
  // as one too), the line ends left out.
  std::vector<std::vector<Run>> paragraphs() const;
  // The RTF document: one paragraph per line written, the entries' text
  // hanging behind a tab stop, underlined runs in \ul, every character
  // outside ASCII as a \uN? escape.  Empty paragraphs at the start are
  // left out.  `title` (may be empty) becomes an underlined first line.
  std::string rtf(TextView title = u"") const;
  // The text with "<U>" and "</U>" around underlined runs, line breaks as
  // "\n", in UTF-8.
  std::string marked_text() const;

 private:
  std::vector<Run> runs_;
  bool underline_ = false;
};

// One text as RTF body text: \, { and } escaped, tab as \tab, characters
// outside ASCII as \uN? (N the signed 16-bit value).
std::string rtf_escape(TextView text);

}  // namespace kvistur
