// The SRU explain record (ZeeRex) of one database: where the server is,
// the indexes the database really has (the CQL indexes and Bib-1 use
// attributes whose search field is among the group's QueryTypes, and
// those of every field) and the record schemas.
#pragma once

#include <map>
#include <string>

#include "kvistur/text.h"
#include "server/query_map.h"

namespace kvistur::server {

struct ExplainPlace {
  std::string host;
  int port = 0;
  std::string database;
};

// FIELDS: the database's search fields by upper-case QueryTypeName.
std::string ExplainRecord(const ExplainPlace& place, const IndexTable& indexes, const std::map<Text, int32_t>& fields);

}  // namespace kvistur::server
