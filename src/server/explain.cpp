#include "server/explain.h"

#include "server/records.h"

namespace kvistur::server {

std::string ExplainRecord(const ExplainPlace& place, const IndexTable& indexes, const std::map<Text, int32_t>& fields) {
  auto x = [](const std::string& s) { return XmlText(s); };
  std::string out = "<explain xmlns=\"http://explain.z3950.org/dtd/2.0/\">\n";
  out += "<serverInfo protocol=\"SRU\" version=\"1.2\">\n<host>" + x(place.host) + "</host>\n<port>" +
         std::to_string(place.port) + "</port>\n<database>" + x(place.database) + "</database>\n</serverInfo>\n";
  out += "<databaseInfo>\n<title>" + x(place.database) + "</title>\n</databaseInfo>\n";

  // One index per search field, with every CQL name and use attribute of it.
  std::map<Text, std::string> maps;
  auto has = [&](const Text& field) { return field.empty() || fields.count(upper_is(field)) > 0; };
  for (auto& [name, field] : indexes.indexes()) {
    if (!has(field)) continue;
    auto dot = name.find('.');
    maps[field] += "<map><name set=\"" + x(name.substr(0, dot)) + "\">" + x(name.substr(dot + 1)) + "</name></map>\n";
  }
  for (auto& [use, field] : indexes.uses())
    if (has(field)) maps[field] += "<map><attr type=\"1\" set=\"bib1\">" + std::to_string(use) + "</attr></map>\n";
  out += "<indexInfo>\n";
  out += "<set identifier=\"info:srw/cql-context-set/1/cql-v1.2\" name=\"cql\"/>\n";
  out += "<set identifier=\"info:srw/cql-context-set/1/dc-v1.1\" name=\"dc\"/>\n";
  out += "<set identifier=\"info:srw/cql-context-set/1/bib-v1\" name=\"bib\"/>\n";
  for (auto& [field, m] : maps)
    out += "<index>\n<title>" + x(field.empty() ? "Allt" : to_utf8(field)) + "</title>\n" + m + "</index>\n";
  out += "</indexInfo>\n<schemaInfo>\n";
  for (auto& s : Schemas())
    out += "<schema identifier=\"" + std::string(s.identifier) + "\" name=\"" + s.name + "\" retrieve=\"true\">\n<title>" +
           x(s.title) + "</title>\n</schema>\n";
  out += "</schemaInfo>\n<configInfo>\n";
  out += "<default type=\"index\">cql.serverChoice</default>\n<default type=\"relation\">=</default>\n";
  out += "<default type=\"retrieveSchema\">marcxml</default>\n";
  for (const char* r : {"=", "all", "any"}) out += "<supports type=\"relation\">" + x(r) + "</supports>\n";
  for (const char* b : {"and", "or", "not"}) out += "<supports type=\"booleanOperator\">" + std::string(b) + "</supports>\n";
  out += "<supports type=\"maskingCharacter\">*</supports>\n";
  out += "</configInfo>\n</explain>\n";
  return out;
}

}  // namespace kvistur::server
