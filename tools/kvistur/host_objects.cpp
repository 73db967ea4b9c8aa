#include "host_objects.h"

#include <vector>

#include "kvistur/number.h"

namespace kvistur::host {

namespace {

using json = nlohmann::json;

std::string u8(TextView t) { return to_utf8(t); }

// How a value written to a member is listed: numbers as the runtime writes
// them, Booleans as true/false, texts as they are.
std::string value_text(const Variant& v) {
  switch (v.type()) {
    case VarType::Boolean: return v.as_bool() ? "true" : "false";
    case VarType::Null: return "null";
    case VarType::Object: return "[object]";
    default: return u8(v.to_text());
  }
}

// What the objects of one window share: the log of calls and the fail list.
struct Recorder {
  std::set<std::string> fail;
  std::vector<std::string> calls;

  // Lists the use of `member`; raises 438 when it is to fail.
  void use(const std::string& member, const std::string& listed) {
    calls.push_back(listed);
    if (fail.count(member)) throw no_such_member(from_utf8(member));
  }
  [[noreturn]] void missing(const std::string& member, const std::string& listed) {
    calls.push_back(listed);
    throw no_such_member(from_utf8(member));
  }
};

struct ProgressState {
  Recorder rec;
  bool visible = false;
  std::vector<std::string> lines;
  int32_t list_index = -1;
  int32_t new_index = -1;
  json value = 0;
};

class ListBox : public Dispatch {
 public:
  explicit ListBox(std::shared_ptr<ProgressState> s) : s_(std::move(s)) {}
  Variant invoke(TextView member, std::vector<Variant>& args) override {
    std::string m = u8(member);
    if (m == "Clear") {
      s_->rec.use("lbLeit.Clear", "lbLeit.Clear");
      s_->lines.clear();
      s_->new_index = -1;
      s_->list_index = -1;
      return Variant();
    }
    if (m == "AddItem") {
      std::string text = args.empty() ? "" : value_text(args[0]);
      s_->rec.use("lbLeit.AddItem", "lbLeit.AddItem:" + text);
      s_->lines.push_back(text);
      s_->new_index = static_cast<int32_t>(s_->lines.size()) - 1;
      return Variant();
    }
    s_->rec.missing("lbLeit." + m, "lbLeit." + m);
  }
  Variant get(TextView member) override {
    std::string m = u8(member);
    if (m == "NewIndex") {
      s_->rec.use("lbLeit.NewIndex", "lbLeit.NewIndex");
      return Variant(s_->new_index);
    }
    if (m == "ListIndex") {
      s_->rec.use("lbLeit.ListIndex", "lbLeit.ListIndex");
      return Variant(s_->list_index);
    }
    s_->rec.missing("lbLeit." + m, "lbLeit." + m);
  }
  void put(TextView member, const Variant& v) override {
    std::string m = u8(member);
    if (m == "ListIndex") {
      s_->rec.use("lbLeit.ListIndex", "lbLeit.ListIndex=" + value_text(v));
      s_->list_index = v.to_i32();
      return;
    }
    s_->rec.missing("lbLeit." + m, "lbLeit." + m + "=" + value_text(v));
  }

 private:
  std::shared_ptr<ProgressState> s_;
};

class ProgressBar : public Dispatch {
 public:
  explicit ProgressBar(std::shared_ptr<ProgressState> s) : s_(std::move(s)) {}
  Variant invoke(TextView member, std::vector<Variant>&) override {
    s_->rec.missing("prgBarLeit." + u8(member), "prgBarLeit." + u8(member));
  }
  Variant get(TextView member) override {
    std::string m = u8(member);
    if (m == "Value") {
      s_->rec.use("prgBarLeit.Value", "prgBarLeit.Value");
      return s_->value.is_number_integer() ? Variant(s_->value.get<int32_t>()) : Variant(s_->value.get<double>());
    }
    s_->rec.missing("prgBarLeit." + m, "prgBarLeit." + m);
  }
  void put(TextView member, const Variant& v) override {
    std::string m = u8(member);
    if (m == "Value") {
      s_->rec.use("prgBarLeit.Value", "prgBarLeit.Value=" + value_text(v));
      double d = v.to_double();
      if (d == static_cast<double>(static_cast<int64_t>(d)))
        s_->value = static_cast<int64_t>(d);
      else
        s_->value = d;
      return;
    }
    s_->rec.missing("prgBarLeit." + m, "prgBarLeit." + m + "=" + value_text(v));
  }

 private:
  std::shared_ptr<ProgressState> s_;
};

class ProgressWindow : public HostObject {
 public:
  explicit ProgressWindow(std::set<std::string> fail) : s_(std::make_shared<ProgressState>()) {
    s_->rec.fail = std::move(fail);
  }
  Variant invoke(TextView member, std::vector<Variant>&) override {
    std::string m = u8(member);
    if (m == "Show" || m == "Hide" || m == "Refresh") {
      s_->rec.use(m, m);
      if (m == "Show") s_->visible = true;
      if (m == "Hide") s_->visible = false;
      return Variant();
    }
    s_->rec.missing(m, m);
  }
  Variant get(TextView member) override {
    std::string m = u8(member);
    // Looking a child up is not listed, unless the lookup itself is to fail.
    if (m == "lbLeit" || m == "prgBarLeit") {
      if (s_->rec.fail.count(m)) s_->rec.use(m, m);
      if (m == "lbLeit") return Variant(std::shared_ptr<Dispatch>(std::make_shared<ListBox>(s_)));
      return Variant(std::shared_ptr<Dispatch>(std::make_shared<ProgressBar>(s_)));
    }
    if (m == "Visible") {
      s_->rec.use(m, m);
      return Variant(s_->visible);
    }
    s_->rec.missing(m, m);
  }
  void put(TextView member, const Variant& v) override { s_->rec.missing(u8(member), u8(member) + "=" + value_text(v)); }
  json state() const override {
    return json{{"visible", s_->visible}, {"lines", s_->lines}, {"listIndex", s_->list_index},
                {"value", s_->value},     {"calls", s_->rec.calls}};
  }

 private:
  std::shared_ptr<ProgressState> s_;
};

class RichText : public HostObject {
 public:
  explicit RichText(std::set<std::string> fail) { rec_.fail = std::move(fail); }
  Variant invoke(TextView member, std::vector<Variant>&) override { rec_.missing(u8(member), u8(member)); }
  Variant get(TextView member) override {
    std::string m = u8(member);
    if (m == "SelUnderline") {
      rec_.use(m, m);
      return Variant(underline_);
    }
    if (m == "SelText") {
      rec_.use(m, m);
      return Variant(Text());
    }
    if (m == "Text") {
      rec_.use(m, m);
      return Variant(from_utf8(text_));
    }
    rec_.missing(m, m);
  }
  void put(TextView member, const Variant& v) override {
    std::string m = u8(member);
    if (m == "SelUnderline") {
      bool b = v.to_bool();
      rec_.use(m, std::string("SelUnderline=") + (b ? "true" : "false"));
      underline_ = b;
      return;
    }
    if (m == "SelText") {
      std::string t = value_text(v);
      rec_.use(m, "SelText:" + t);
      text_ += t;
      if (!t.empty()) {
        if (!runs_.empty() && runs_.back().second == underline_)
          runs_.back().first += t;
        else
          runs_.emplace_back(t, underline_);
      }
      return;
    }
    rec_.missing(m, m + "=" + value_text(v));
  }
  json state() const override {
    json runs = json::array();
    for (auto& [t, u] : runs_) runs.push_back(json{{"text", t}, {"underline", u}});
    return json{{"text", text_}, {"runs", runs}, {"calls", rec_.calls}};
  }

 private:
  Recorder rec_;
  bool underline_ = false;
  std::string text_;
  std::vector<std::pair<std::string, bool>> runs_;
};

class Plain : public HostObject {
 public:
  explicit Plain(std::set<std::string> fail) { rec_.fail = std::move(fail); }
  Variant invoke(TextView member, std::vector<Variant>&) override { rec_.missing(u8(member), u8(member)); }
  Variant get(TextView member) override { rec_.missing(u8(member), u8(member)); }
  void put(TextView member, const Variant& v) override { rec_.missing(u8(member), u8(member) + "=" + value_text(v)); }
  json state() const override { return json{{"calls", rec_.calls}}; }

 private:
  Recorder rec_;
};

}  // namespace

std::shared_ptr<HostObject> make_host_object(const std::string& kind, std::set<std::string> fail) {
  if (kind == "progress") return std::make_shared<ProgressWindow>(std::move(fail));
  if (kind == "richtext") return std::make_shared<RichText>(std::move(fail));
  if (kind == "plain") return std::make_shared<Plain>(std::move(fail));
  return nullptr;
}

}  // namespace kvistur::host
