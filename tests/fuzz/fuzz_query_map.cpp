// Fuzzes the query mapping: the first byte chooses a PQF query, decoded by
// YAZ into an RPN tree (and a scan term), or a CQL query and scan clause,
// parsed by YAZ; whatever the decoders accept must map to a well-formed
// tree of Leita searches or to a diagnostic, never crash or hang.
#include <yaz/odr.h>
#include <yaz/pquery.h>

#include <cstdint>
#include <string>

#include "server/query_map.h"

using namespace kvistur;
using namespace kvistur::server;

namespace {

const IndexTable& table() {
  static const IndexTable t = [] {
    IndexTable s = IndexTable::Standard();
    s.add(u"1", u"Höfundur");
    s.add(u"bib.note", u"Athugasemdir");
    return s;
  }();
  return t;
}

bool known_field(const Text& field) {
  for (auto& [use, f] : table().uses())
    if (f == field) return true;
  for (auto& [index, f] : table().indexes())
    if (f == field) return true;
  return false;
}

void check(const QueryNode& n) {
  using K = QueryNode::Kind;
  const std::size_t ops = n.operands.size();
  const bool ok = n.kind == K::Term  ? known_field(n.field) && ops == 0
                  : n.kind == K::Set ? ops == 0
                  : n.kind == K::Not ? ops == 2
                                     : ops >= 2;  // And, Or
  if (!ok) __builtin_trap();
  for (auto& o : n.operands) check(o);
}

void check(const Mapped& m) {
  if (m.ok()) check(m.query);
  else if (m.error.code < 1) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 4096) return 0;
  std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (text.find('\0') != std::string::npos) return 0;
  if (data[0] & 1) {
    check(MapCql(text, table()));
    ScanStart s = MapCqlScan(text, table());
    if (s.ok() && !known_field(s.field)) __builtin_trap();
    return 0;
  }
  ODR odr = odr_createmem(ODR_DECODE);
  YAZ_PQF_Parser parser = yaz_pqf_create();
  if (Z_RPNQuery* q = yaz_pqf_parse(parser, odr, text.c_str())) check(MapRpn(*q, table()));
  Odr_oid* set = nullptr;
  if (Z_AttributesPlusTerm* t = yaz_pqf_scan(parser, odr, &set, text.c_str())) {
    ScanStart s = MapRpnScan(*t, set, table());
    if (s.ok() && !known_field(s.field)) __builtin_trap();
  }
  yaz_pqf_destroy(parser);
  odr_destroy(odr);
  return 0;
}
