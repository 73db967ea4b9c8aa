// The host's progress form for the tests: records every call the search
// makes on it ("Show", "lbLeit.AddItem:text", "prgBarLeit.Value=33",
// "Refresh"...) the way the host's stand-in does, and refuses any other
// member as the real form would.
#pragma once

#include <string>
#include <vector>

#include "kvistur/automation.h"

namespace kvistur::testing {

class ProgressForm : public Dispatch {
 public:
  std::vector<std::string> calls, lines;
  bool visible = false;

  Variant invoke(TextView m, std::vector<Variant>&) override {
    if (m == u"Show") visible = true;
    else if (m == u"Hide") visible = false;
    else if (m != u"Refresh") throw no_such_member(m);
    calls.push_back(to_utf8(m));
    return {};
  }
  Variant get(TextView m) override {
    if (m == u"lbLeit" || m == u"prgBarLeit") return Variant(std::shared_ptr<Dispatch>(std::make_shared<Child>(this, m == u"lbLeit")));
    throw no_such_member(m);
  }
  void put(TextView m, const Variant&) override { throw no_such_member(m); }
  // The values written to the bar, in order.
  std::vector<int> bar() const {
    std::vector<int> v;
    for (auto& c : calls)
      if (c.rfind("prgBarLeit.Value=", 0) == 0) v.push_back(std::stoi(c.substr(17)));
    return v;
  }

 private:
  struct Child : Dispatch {
    ProgressForm* form;
    bool list;
    Child(ProgressForm* f, bool l) : form(f), list(l) {}
    Variant invoke(TextView m, std::vector<Variant>& args) override {
      if (list && m == u"Clear") form->lines.clear();
      else if (list && m == u"AddItem") form->lines.push_back(to_utf8(args.at(0).to_text()));
      else throw no_such_member(m);
      form->calls.push_back("lbLeit." + to_utf8(m) + (m == u"Clear" ? "" : ":" + form->lines.back()));
      return {};
    }
    Variant get(TextView m) override {
      if (list && m == u"NewIndex") return Variant(int32_t(form->lines.size() - 1));
      throw no_such_member(m);
    }
    void put(TextView m, const Variant& v) override {
      if (m != (list ? u"ListIndex" : u"Value")) throw no_such_member(m);
      form->calls.push_back(std::string(list ? "lbLeit." : "prgBarLeit.") + to_utf8(m) + "=" + std::to_string(v.to_i32()));
    }
  };
};

}  // namespace kvistur::testing
