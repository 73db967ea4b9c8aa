#include "server/query_map.h"

#include <yaz/cql.h>
#include <yaz/diagbib1.h>
#include <yaz/oid_db.h>
#include <yaz/oid_util.h>

#include <cstring>
#include <memory>

#include "search/terms.h"

namespace kvistur::server {

namespace {

std::string lower_ascii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return s;
}

bool all_digits(const std::string& s) {
  if (s.empty() || s.size() > 9) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// A term's bytes as text: UTF-8 when they are, else ISO 8859-1 (what older
// clients send without negotiating a character set).
Text term_text(const char* p, std::size_t n) {
  std::string s(p, n);
  bool utf8 = true;
  for (std::size_t i = 0; i < n && utf8;) {
    unsigned char c = s[i];
    std::size_t len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (len == 0 || i + len > n) utf8 = false;
    for (std::size_t k = 1; utf8 && k < len; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) utf8 = false;
    i += len ? len : 1;
  }
  if (utf8) return from_utf8(s);
  Text t;
  for (unsigned char c : s) t += char16_t(c);
  return t;
}


QueryNode term_node(const Text& field, const Text& words) {
  QueryNode n;
  n.kind = QueryNode::Kind::Term;
  n.field = field;
  n.words = words;
  return n;
}

QueryNode pair_node(QueryNode::Kind kind, QueryNode a, QueryNode b) {
  QueryNode n;
  n.kind = kind;
  n.operands.push_back(std::move(a));
  n.operands.push_back(std::move(b));
  return n;
}

// ---------------------------------------------------------------- RPN

struct Attributes {
  long long use = -1;       // -1: none given
  std::string use_name;     // a use attribute given as a string
  long long relation = 3, position = 3, structure = 2, truncation = 100, completeness = 1;
};

std::string number_string(long long v) { return std::to_string(v); }

Attributes read_attributes(const Z_AttributeList* list, const Odr_oid* query_set) {
  if (query_set && oid_oidcmp(query_set, yaz_oid_attset_bib_1) != 0) {
    char buf[OID_STR_MAX];
    refuse(YAZ_BIB1_UNSUPP_ATTRIBUTE_SET, oid_oid_to_dotstring(query_set, buf));
  }
  Attributes a;
  bool seen[7] = {};
  for (int i = 0; list && i < list->num_attributes; ++i) {
    const Z_AttributeElement* e = list->attributes[i];
    if (!e || !e->attributeType) refuse(YAZ_BIB1_MALFORMED_QUERY);
    if (e->attributeSet && oid_oidcmp(e->attributeSet, yaz_oid_attset_bib_1) != 0) {
      char buf[OID_STR_MAX];
      refuse(YAZ_BIB1_UNSUPP_ATTRIBUTE_SET, oid_oid_to_dotstring(e->attributeSet, buf));
    }
    long long type = *e->attributeType;
    if (type < 1 || type > 6) refuse(YAZ_BIB1_UNSUPP_ATTRIBUTE_TYPE, number_string(type));
    if (seen[type]) refuse(YAZ_BIB1_UNSUPP_ATTRIBUTE_COMBI, "attribute type " + number_string(type) + " twice");
    seen[type] = true;
    long long value = 0;
    if (e->which == Z_AttributeValue_numeric && e->value.numeric) {
      value = *e->value.numeric;
    } else if (type == 1 && e->which == Z_AttributeValue_complex && e->value.complex &&
               e->value.complex->num_list == 1 && e->value.complex->list[0]->which == Z_StringOrNumeric_string) {
      a.use_name = e->value.complex->list[0]->u.string;
      continue;
    } else if (e->which == Z_AttributeValue_complex && e->value.complex && e->value.complex->num_list == 1 &&
               e->value.complex->list[0]->which == Z_StringOrNumeric_numeric) {
      value = *e->value.complex->list[0]->u.numeric;
    } else {
      refuse(YAZ_BIB1_UNSUPP_ATTRIBUTE_TYPE, number_string(type));
    }
    switch (type) {
      case 1: a.use = value; break;
      case 2: a.relation = value; break;
      case 3: a.position = value; break;
      case 4: a.structure = value; break;
      case 5: a.truncation = value; break;
      case 6: a.completeness = value; break;
    }
  }
  return a;
}

// The field the attributes choose, and the checks of the attributes that
// Leita's search can honour: equality, any position, words (a phrase or a
// word list is all of its words), right, left or both truncation, an
// incomplete subfield.
Text chosen_field(const Attributes& a, const IndexTable& table) {
  if (a.relation != 3) refuse(YAZ_BIB1_UNSUPP_RELATION_ATTRIBUTE, number_string(a.relation));
  if (a.position != 3 && a.position != 1 && a.position != 2)
    refuse(YAZ_BIB1_UNSUPP_POSITION_ATTRIBUTE, number_string(a.position));
  if (a.structure != 1 && a.structure != 2 && a.structure != 6 && a.structure != 105 && a.structure != 106)
    refuse(YAZ_BIB1_UNSUPP_STRUCTURE_ATTRIBUTE, number_string(a.structure));
  if (a.truncation != 100 && (a.truncation < 1 || a.truncation > 3))
    refuse(YAZ_BIB1_UNSUPP_TRUNCATION_ATTRIBUTE, number_string(a.truncation));
  if (a.completeness != 1) refuse(YAZ_BIB1_UNSUPP_COMPLETENESS_ATTRIBUTE, number_string(a.completeness));
  if (!a.use_name.empty()) {
    if (const Text* f = table.by_index(a.use_name)) return *f;
    refuse(YAZ_BIB1_UNSUPP_USE_ATTRIBUTE, a.use_name);
  }
  if (a.use < 0) return Text();
  if (const Text* f = table.by_use(a.use)) return *f;
  refuse(YAZ_BIB1_UNSUPP_USE_ATTRIBUTE, number_string(a.use));
}

// A term longer than the limit is refused before it is read.
void check_term_bytes(std::size_t bytes, const QueryLimits& limits) {
  if (bytes > std::size_t(limits.term_bytes))
    refuse(YAZ_BIB1_TOO_MANY_CHARS_IN_SEARCH_STATEMENT, std::to_string(limits.term_bytes) + " bytes to a term at most");
}

Text rpn_term(const Z_Term* t, const QueryLimits& limits) {
  if (!t) refuse(YAZ_BIB1_MALFORMED_QUERY);
  switch (t->which) {
    case Z_Term_general:
      if (!t->u.general || t->u.general->len < 0) refuse(YAZ_BIB1_MALFORMED_QUERY);
      check_term_bytes(std::size_t(t->u.general->len), limits);
      return term_text(reinterpret_cast<const char*>(t->u.general->buf), std::size_t(t->u.general->len));
    case Z_Term_characterString:
      if (!t->u.characterString) refuse(YAZ_BIB1_MALFORMED_QUERY);
      check_term_bytes(std::strlen(t->u.characterString), limits);
      return term_text(t->u.characterString, std::strlen(t->u.characterString));
    case Z_Term_numeric:
      return from_utf8(std::to_string(*t->u.numeric));
    default:
      refuse(YAZ_BIB1_TERM_TYPE_UNSUPP, number_string(t->which));
  }
}

// What mapping one query needs: the indexes, the limits, and the leaves
// (terms and result-set operands) met so far.
struct Mapping {
  const IndexTable& table;
  const QueryLimits& limits;
  int leaves = 0;

  void leaf(int n = 1) {
    leaves += n;
    if (leaves > limits.terms)
      refuse(YAZ_BIB1_TOO_MANY_BOOLEAN_OPERATORS, std::to_string(limits.terms) + " terms to a query at most");
  }
  void check_depth(int depth) const {
    if (depth > limits.depth)
      refuse(YAZ_BIB1_TOO_MANY_BOOLEAN_OPERATORS, std::to_string(limits.depth) + " operators nested at most");
  }
};

QueryNode map_apt(const Z_AttributesPlusTerm& apt, const Odr_oid* set, Mapping& m) {
  m.leaf();
  Attributes a = read_attributes(apt.attributes, set);
  Text field = chosen_field(a, m.table);
  Text term = rpn_term(apt.term, m.limits);
  return term_node(field, LeitaWords(term, a.truncation == 2 || a.truncation == 3,
                                     a.truncation == 1 || a.truncation == 3));
}

QueryNode map_rpn(const Z_RPNStructure* s, const Odr_oid* set, Mapping& m, int depth) {
  if (!s) refuse(YAZ_BIB1_MALFORMED_QUERY);
  m.check_depth(depth);
  if (s->which == Z_RPNStructure_simple) {
    const Z_Operand* o = s->u.simple;
    if (!o) refuse(YAZ_BIB1_MALFORMED_QUERY);
    if (o->which == Z_Operand_APT && o->u.attributesPlusTerm) return map_apt(*o->u.attributesPlusTerm, set, m);
    if (o->which == Z_Operand_resultSetId && o->u.resultSetId) {
      m.leaf();
      QueryNode n;
      n.kind = QueryNode::Kind::Set;
      n.set = o->u.resultSetId;
      return n;
    }
    refuse(YAZ_BIB1_RESULT_SET_UNSUPP_AS_A_SEARCH_TERM);
  }
  const Z_Complex* c = s->u.complex;
  if (!c || !c->roperator) refuse(YAZ_BIB1_MALFORMED_QUERY);
  QueryNode::Kind kind;
  switch (c->roperator->which) {
    case Z_Operator_and: kind = QueryNode::Kind::And; break;
    case Z_Operator_or: kind = QueryNode::Kind::Or; break;
    case Z_Operator_and_not: kind = QueryNode::Kind::Not; break;
    default: refuse(YAZ_BIB1_OPERATOR_UNSUPP, "proximity");
  }
  return pair_node(kind, map_rpn(c->s1, set, m, depth + 1), map_rpn(c->s2, set, m, depth + 1));
}

// ---------------------------------------------------------------- CQL

// The context sets whose indexes we have, by their identifiers.
const char* prefix_of_uri(const char* uri) {
  static const std::pair<const char*, const char*> sets[] = {
      {"info:srw/cql-context-set/1/cql-v1.1", "cql"}, {"info:srw/cql-context-set/1/cql-v1.2", "cql"},
      {"info:srw/cql-context-set/1/dc-v1.1", "dc"},   {"info:srw/cql-context-set/1/bib-v1", "bib"}};
  for (auto& [u, p] : sets)
    if (std::strcmp(uri, u) == 0) return p;
  return nullptr;
}

std::string index_name(const cql_node& st) {
  std::string index = st.u.st.index ? st.u.st.index : "cql.serverChoice";
  if (st.u.st.index_uri) {
    const char* prefix = prefix_of_uri(st.u.st.index_uri);
    if (!prefix) refuse(YAZ_BIB1_UNSUPP_ATTRIBUTE_SET, st.u.st.index_uri);
    std::size_t dot = index.find('.');
    index = std::string(prefix) + "." + (dot == std::string::npos ? index : index.substr(dot + 1));
  }
  return index;
}

// A CQL term as words for Leita: `\` escapes the next character; an
// unescaped `*` at the start or end of a word truncates it; `*` inside a
// word, `?` and `^` are refused.  An escaped character stands for itself,
// except that `*` and `?` cannot be part of an indexed word and are left out.
Text cql_words(const std::string& term) {
  Text t = from_utf8(term);
  Text out;
  std::size_t i = 0;
  while (i < t.size()) {
    if (t[i] == u' ') {
      out += u' ';
      ++i;
      continue;
    }
    // One word.
    Text word;
    bool left = false, right = false;
    std::size_t start = i;
    for (; i < t.size() && t[i] != u' '; ++i) {
      char16_t c = t[i];
      if (c == u'\\' && i + 1 < t.size()) {
        char16_t n = t[++i];
        if (n != u'*' && n != u'?') word += n;
        continue;
      }
      if (c == u'*') {
        bool at_start = i == start, at_end = i + 1 == t.size() || t[i + 1] == u' ';
        if (at_start && !at_end) left = true;
        else if (at_end && i != start) right = true;
        else if (at_start && at_end) refuse(YAZ_BIB1_UNSUPP_TRUNCATION_ATTRIBUTE, "*");
        else refuse(YAZ_BIB1_UNSUPP_TRUNCATION_ATTRIBUTE, to_utf8(t.substr(start)));
        continue;
      }
      if (c == u'?') refuse(YAZ_BIB1_UNSUPP_TRUNCATION_ATTRIBUTE, "?");
      if (c == u'^') refuse(YAZ_BIB1_UNSUPP_POSITION_ATTRIBUTE, "^");
      word += c;
    }
    out += LeitaWords(word, left, right);
  }
  return out;
}

QueryNode map_clause(const cql_node& st, Mapping& m) {
  m.leaf();
  if (st.u.st.extra_terms) refuse(YAZ_BIB1_MALFORMED_QUERY, "more than one term");
  if (st.u.st.modifiers) refuse(YAZ_BIB1_UNSUPP_RELATION_ATTRIBUTE, std::string("/") + st.u.st.modifiers->u.st.index);
  std::string index = index_name(st);
  const Text* field = m.table.by_index(index);
  if (!field) refuse(YAZ_BIB1_UNSUPP_USE_ATTRIBUTE, index);
  std::string relation = lower_ascii(st.u.st.relation ? st.u.st.relation : "=");
  if (st.u.st.relation_uri) refuse(YAZ_BIB1_UNSUPP_RELATION_ATTRIBUTE, relation);
  const char* term = st.u.st.term ? st.u.st.term : "";
  check_term_bytes(std::strlen(term), m.limits);
  Text words = cql_words(term);
  if (relation == "=" || relation == "all" || relation == "scr") return term_node(*field, words);
  if (relation == "any") {
    // Each word on its own, the records of any of them.
    std::vector<Text> parts;
    std::size_t i = 0;
    while (i < words.size()) {
      std::size_t j = words.find(u' ', i);
      if (j == Text::npos) j = words.size();
      if (j > i) parts.push_back(words.substr(i, j - i));
      i = j + 1;
    }
    if (parts.size() <= 1) return term_node(*field, words);
    m.leaf(int(parts.size()) - 1);
    QueryNode n;
    n.kind = QueryNode::Kind::Or;
    for (auto& p : parts) n.operands.push_back(term_node(*field, p));
    return n;
  }
  refuse(YAZ_BIB1_UNSUPP_RELATION_ATTRIBUTE, relation);
}

QueryNode map_cql(const cql_node* n, Mapping& m, int depth) {
  if (!n) refuse(YAZ_BIB1_MALFORMED_QUERY);
  m.check_depth(depth);
  switch (n->which) {
    case CQL_NODE_ST:
      return map_clause(*n, m);
    case CQL_NODE_BOOL: {
      std::string op = lower_ascii(n->u.boolean.value ? n->u.boolean.value : "");
      QueryNode::Kind kind;
      if (op == "and") kind = QueryNode::Kind::And;
      else if (op == "or") kind = QueryNode::Kind::Or;
      else if (op == "not") kind = QueryNode::Kind::Not;
      else if (op == "prox") refuse(YAZ_BIB1_PROX_SEARCH_OF_SETS_UNSUPP, "prox");
      else refuse(YAZ_BIB1_OPERATOR_UNSUPP, op);
      if (n->u.boolean.modifiers) refuse(YAZ_BIB1_OPERATOR_UNSUPP, op + "/" + n->u.boolean.modifiers->u.st.index);
      return pair_node(kind, map_cql(n->u.boolean.left, m, depth + 1), map_cql(n->u.boolean.right, m, depth + 1));
    }
    default:
      refuse(YAZ_BIB1_DATABASE_SPECIFIC_SORT_UNSUPP, "sortBy");
  }
}

// Runs a CQL parse and hands its tree to FN; a syntax error is 108.
template <typename Fn>
void with_cql(const std::string& text, Fn&& fn) {
  std::unique_ptr<cql_parser, void (*)(CQL_parser)> p(cql_parser_create(), cql_parser_destroy);
  if (!p) refuse(YAZ_BIB1_TEMPORARY_SYSTEM_ERROR);
  if (cql_parser_string(p.get(), text.c_str()) != 0) refuse(YAZ_BIB1_MALFORMED_QUERY, text);
  fn(cql_parser_result(p.get()));
}

}  // namespace

// ---------------------------------------------------------------- public

IndexTable IndexTable::Standard() {
  IndexTable t;
  t.uses_ = {{1016, u""}, {4, u"Titill"}, {1003, u"Höfundur"}, {21, u"Efnisorð"}, {5, u"Ritröð"}, {1018, u"Útgefandi"}};
  t.indexes_ = {{"cql.serverChoice", u""}, {"cql.anywhere", u""},    {"dc.title", u"Titill"},
                {"dc.creator", u"Höfundur"}, {"dc.subject", u"Efnisorð"}, {"bib.series", u"Ritröð"},
                {"dc.publisher", u"Útgefandi"}};
  return t;
}

bool IndexTable::add(const Text& key, const Text& field) {
  std::string k = to_utf8(trim(key));
  if (all_digits(k)) {
    uses_[std::stoll(k)] = trim(field);
    return true;
  }
  auto dot = k.find('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == k.size() || k.find_first_of(" =\"<>/()") != std::string::npos)
    return false;
  for (auto it = indexes_.begin(); it != indexes_.end(); ++it)
    if (lower_ascii(it->first) == lower_ascii(k)) {
      indexes_.erase(it);
      break;
    }
  indexes_[k] = trim(field);
  return true;
}

const Text* IndexTable::by_use(long long use) const {
  auto it = uses_.find(use);
  return it == uses_.end() ? nullptr : &it->second;
}

const Text* IndexTable::by_index(const std::string& index) const {
  std::string wanted = lower_ascii(index);
  for (auto& [name, field] : indexes_)
    if (lower_ascii(name) == wanted) return &field;
  return nullptr;
}

Text LeitaWords(const Text& term, bool left, bool right) {
  Text out;
  std::size_t i = 0;
  while (i <= term.size()) {
    std::size_t j = term.find(u' ', i);
    if (j == Text::npos) j = term.size();
    Text word = term.substr(i, j - i);
    Text bare = word;
    StripPunctuation(bare);
    if (!bare.empty() && bare != u"*") {
      if (left && word.front() != u'*') word.insert(word.begin(), u'*');
      if (right && word.back() != u'*') word += u'*';
    }
    out += word;
    if (j < term.size()) out += u' ';
    i = j + 1;
  }
  return out;
}

namespace {

// Fills a fresh result; a refusal on the way becomes its diagnostic.
template <typename Result, typename Fill>
Result filled(Fill&& fill) {
  Result r;
  try {
    fill(r);
  } catch (const Refusal& f) {
    r.error = f.diagnostic;
  }
  return r;
}

}  // namespace

Mapped MapRpn(const Z_RPNQuery& query, const IndexTable& table, const QueryLimits& limits) {
  return filled<Mapped>([&](Mapped& m) {
    Mapping mapping{table, limits};
    m.query = map_rpn(query.RPNStructure, query.attributeSetId, mapping, 0);
  });
}

Mapped MapCql(const std::string& cql, const IndexTable& table, const QueryLimits& limits) {
  return filled<Mapped>([&](Mapped& m) {
    Mapping mapping{table, limits};
    with_cql(cql, [&](const cql_node* root) { m.query = map_cql(root, mapping, 0); });
  });
}

ScanStart MapRpnScan(const Z_AttributesPlusTerm& term, const Odr_oid* attribute_set, const IndexTable& table,
                     const QueryLimits& limits) {
  return filled<ScanStart>([&](ScanStart& s) {
    Attributes a = read_attributes(term.attributes, attribute_set);
    if (a.truncation != 100) refuse(YAZ_BIB1_UNSUPP_TRUNCATION_ATTRIBUTE, number_string(a.truncation));
    s.field = chosen_field(a, table);
    s.word = rpn_term(term.term, limits);
  });
}

ScanStart MapCqlScan(const std::string& clause, const IndexTable& table, const QueryLimits& limits) {
  return filled<ScanStart>([&](ScanStart& s) {
    with_cql(clause, [&](const cql_node* root) {
      if (!root || root->which != CQL_NODE_ST) refuse(YAZ_BIB1_SCAN_MALFORMED_SCAN, clause);
      Mapping mapping{table, limits};
      QueryNode n = map_clause(*root, mapping);
      if (n.kind != QueryNode::Kind::Term) refuse(YAZ_BIB1_SCAN_MALFORMED_SCAN, clause);
      s.field = n.field;
      s.word = n.words;
    });
  });
}

}  // namespace kvistur::server
