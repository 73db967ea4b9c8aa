// A rich-text control for the tests: records every write as "U+", "U-" or
// "T:" + text, and can be told to refuse a member.
#pragma once

#include <vector>

#include "kvistur/automation.h"

namespace kvistur::testing {

class RecordingControl : public Dispatch {
 public:
  std::vector<Text> calls;
  bool fail_underline = false;
  bool fail_text = false;

  Variant invoke(TextView member, std::vector<Variant>&) override { throw no_such_member(member); }
  Variant get(TextView member) override { throw no_such_member(member); }
  void put(TextView member, const Variant& value) override {
    if (member == u"SelUnderline" && !fail_underline) {
      calls.push_back(value.to_bool() ? u"U+" : u"U-");
    } else if (member == u"SelText" && !fail_text) {
      calls.push_back(u"T:" + value.to_text());
    } else {
      throw no_such_member(member);
    }
  }
  // The calls joined, with underlined text between "<U>" and "</U>" and the
  // writes that carry no text left out: what text mode would have given.
  Text as_marked() const {
    Text t;
    for (auto& c : calls) t += c == u"U+" ? Text(u"<U>") : c == u"U-" ? Text(u"</U>") : c.substr(2);
    return t;
  }
};

}  // namespace kvistur::testing
