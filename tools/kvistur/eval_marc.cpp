// eval operations of `kvistur host` for the display builders: the
// description and its areas, and the subfield primitives they rest on.
//
// A record travels as an object with "ÖllFærslan" (the whole-record text,
// parsed here) and optionally "MarkSnið", "Tag" and "Upprunafærsla"; a name
// entry as an object with "iGerð", "p1".."p5" and "iRöð", members left out
// being empty or 0.
#include "json_values.h"
#include "marc/description.h"
#include "marc/subfields.h"
#include "record/record_text.h"

namespace kvistur::host {
namespace {

const json* member(const json& o, const char* name) {
  auto it = o.find(name);
  return it == o.end() ? nullptr : &*it;
}

CatalogueRecord record_from_json(const json& j) {
  if (!j.is_object()) throw HostError("expected a record object with \"ÖllFærslan\", got " + j.dump());
  const json* text = member(j, "ÖllFærslan");
  if (!text) throw HostError("the record object needs \"ÖllFærslan\"");
  CatalogueRecord r = ParseRecordText(text_from_json(*text));
  if (const json* m = member(j, "MarkSnið")) r.MarkSnið = text_from_json(*m);
  if (const json* t = member(j, "Tag")) r.Tag = integer_from_json(*t);
  if (const json* u = member(j, "Upprunafærsla")) r.Upprunafærsla = long_from_json(*u);
  return r;
}

NameEntry name_from_json(const json& j) {
  if (!j.is_object()) throw HostError("expected a name entry object, got " + j.dump());
  NameEntry n = EmptyNameEntry();
  if (const json* v = member(j, "iGerð")) n.iGerð = integer_from_json(*v);
  Text* parts[] = {&n.p1, &n.p2, &n.p3, &n.p4, &n.p5};
  const char* names[] = {"p1", "p2", "p3", "p4", "p5"};
  for (int i = 0; i < 5; ++i)
    if (const json* v = member(j, names[i])) *parts[i] = text_from_json(*v);
  if (const json* v = member(j, "iRöð")) n.iRöð = integer_from_json(*v);
  return n;
}

json name_to_json(const NameEntry& n) {
  return json{{"iGerð", n.iGerð}, {"p1", to_utf8(n.p1)}, {"p2", to_utf8(n.p2)}, {"p3", to_utf8(n.p3)},
              {"p4", to_utf8(n.p4)}, {"p5", to_utf8(n.p5)}, {"iRöð", n.iRöð}};
}

Text text_arg(const json& args, std::size_t n, const char* what) { return text_from_json(arg(args, n, what)); }

// A record operation: one record object in, one text out.
template <Text (*F)(const CatalogueRecord&)>
json record_op(const json& args) {
  return text_to_json(F(record_from_json(arg(args, 0, "record"))));
}

[[maybe_unused]] const bool registered = [] {
  register_eval("BuildDescription", [](const json& args) {
    CatalogueRecord r = record_from_json(arg(args, 0, "record"));
    int16_t flag = args.size() > 1 ? integer_from_json(args[1]) : 0;
    return text_to_json(BuildDescription(r, flag));
  });
  register_eval("BuildAreaTail", record_op<BuildAreaTail>);
  register_eval("BuildHostPart", record_op<BuildHostPart>);
  register_eval("BuildCallNumber", record_op<BuildCallNumber>);
  register_eval("BuildPublication", record_op<BuildPublication>);
  register_eval("BuildPhysical", record_op<BuildPhysical>);
  register_eval("BuildEdition", record_op<BuildEdition>);
  register_eval("BuildSeries", record_op<BuildSeries>);
  register_eval("FindFieldLine", [](const json& args) {
    return text_to_json(FindFieldLine(text_arg(args, 0, "tag"), text_arg(args, 1, "MARC text")));
  });
  register_eval("GetSubfield", [](const json& args) {
    return text_to_json(
        GetSubfield(text_arg(args, 0, "tag"), text_arg(args, 1, "code"), text_arg(args, 2, "MARC text")));
  });
  register_eval("SubfieldValue", [](const json& args) {
    return text_to_json(SubfieldValue(text_arg(args, 0, "marker"), text_arg(args, 1, "field line")));
  });
  register_eval("BuildMainEntry", [](const json& args) {
    MainEntry m = BuildMainEntry(text_arg(args, 0, "MARC text"));
    return json{{"name", name_to_json(m.name)}, {"kind", m.kind}};
  });
  register_eval("FormatName", [](const json& args) {
    return text_to_json(FormatName(name_from_json(arg(args, 0, "name entry"))));
  });
  return true;
}();

}  // namespace
}  // namespace kvistur::host
