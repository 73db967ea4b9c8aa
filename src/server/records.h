// How a Z39.50 or SRU request names the form of the records it wants, and
// the schemas the explain record lists.  The forms themselves are made in
// formats/records.h, which `kvistur web` shares.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "formats/record_read.h"
#include "formats/records.h"
#include "server/query_map.h"

namespace kvistur::server {

using formats::DisplayXml;
using formats::DublinCore;
using formats::Iso2709;
using formats::Iso2709ByYaz;
using formats::Iso2709Of;
using formats::kIdsAtOnce;
using formats::MarcOf;
using formats::MarcXml;
using formats::Purpose;
using formats::ReadStoredRecords;
using formats::RebuildMarc;
using formats::SourceMarc;
using formats::StoredRecord;
using formats::XmlText;

// The forms a record is handed out in, and how a request names them.
enum class Form { Marc, MarcXml, DublinCore, Display };
struct FormChoice {
  Form form = Form::Marc;
  const char* schema = nullptr;  // the schema named in the answer (XML forms)
  Diagnostic error;
};
// SYNTAX (the record syntax asked for; null: none) and NAME (the element
// set name or the SRU record schema; null or empty: none).
FormChoice ChooseForm(const Odr_oid* syntax, const char* name);

// The schemas, for the explain record: identifier, name, title.
struct SchemaInfo {
  const char* identifier;
  const char* name;
  const char* title;
};
const std::vector<SchemaInfo>& Schemas();

}  // namespace kvistur::server
