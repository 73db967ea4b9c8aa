// From the queries YAZ decodes to the searches the catalogue answers.
//
// A Z39.50 RPN query or an SRU/CQL query becomes a QueryNode tree whose
// leaves are searches of Leita: a search field, by its QueryTypeName (or
// every field), and the text Leita gets, its words all required, with `*`
// for truncation.  Nothing here touches a database, so a tree from the
// decoders can be mapped (and fuzzed) on its own; the evaluation against
// the catalogue is in evaluate.h.
//
// Everything the catalogue cannot answer is refused with its Bib-1
// diagnostic (YAZ turns it into the SRU diagnostic for SRU requests):
// 113 attribute type, 114 use attribute or index, 117 relation, 118
// structure, 119 position or anchoring, 120 truncation or masking, 121
// attribute set, 122 completeness, 123 attribute combination, 108 malformed
// query or CQL syntax, 110 operator, 129 proximity, 229 term type, 210 sort,
// 6 more terms or deeper nesting than the limits allow, 11 a term too long.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <yaz/z-core.h>

#include "kvistur/text.h"
#include "server/diagnostic.h"
#include "server/limits.h"

namespace kvistur::server {

struct QueryNode {
  enum class Kind { Term, And, Or, Not, Set };
  Kind kind = Kind::Term;
  Text field;                       // Term: a QueryTypeName; empty: every field
  Text words;                       // Term: the text Leita searches for
  std::string set;                  // Set: the name of a result set of the session
  std::vector<QueryNode> operands;  // And, Or: two or more; Not: what the first has and the second has not
};

// The search fields that use attributes and CQL indexes name.  A field is
// named by its QueryTypeName; the empty name is every field.
class IndexTable {
 public:
  // Bib-1 use 1016 (any) and the CQL indexes cql.serverChoice and
  // cql.anywhere: every field; 4 and dc.title: Titill; 1003 and dc.creator:
  // Höfundur; 21 and dc.subject: Efnisorð; 5 and bib.series: Ritröð; 1018
  // and dc.publisher: Útgefandi.
  static IndexTable Standard();
  // A row of the settings section [Z3950]: a use attribute ("1003") or a
  // CQL index ("dc.title") and the QueryTypeName it searches.  Returns
  // false (and changes nothing) when the key is neither.
  bool add(const Text& key, const Text& field);

  const Text* by_use(long long use) const;
  const Text* by_index(const std::string& index) const;  // letter case ignored
  const std::map<long long, Text>& uses() const { return uses_; }
  const std::map<std::string, Text>& indexes() const { return indexes_; }

 private:
  std::map<long long, Text> uses_;
  std::map<std::string, Text> indexes_;
};

struct Mapped {
  QueryNode query;
  Diagnostic error;
  bool ok() const { return error.code == 0; }
};

// A Z39.50 RPN query (type-1 or type-101).  A query over LIMITS is refused
// with Bib-1 6 (too many terms or operators nested) or 11 (a term too long).
Mapped MapRpn(const Z_RPNQuery& query, const IndexTable& table, const QueryLimits& limits = {});
// A CQL query as the client wrote it, held to the same limits.
Mapped MapCql(const std::string& cql, const IndexTable& table, const QueryLimits& limits = {});

// Where a scan starts: a field (empty: every field) and a word.
struct ScanStart {
  Text field;
  Text word;
  Diagnostic error;
  bool ok() const { return error.code == 0; }
};
ScanStart MapRpnScan(const Z_AttributesPlusTerm& term, const Odr_oid* attribute_set, const IndexTable& table,
                     const QueryLimits& limits = {});
ScanStart MapCqlScan(const std::string& clause, const IndexTable& table, const QueryLimits& limits = {});

// The text Leita gets for TERM: its words, each with `*` before it (LEFT)
// and after it (RIGHT) when truncated that way.  Words that are nothing
// but punctuation get no `*`.
Text LeitaWords(const Text& term, bool left, bool right);

}  // namespace kvistur::server
