#include "server/records.h"

#include <yaz/diagbib1.h>
#include <yaz/oid_db.h>
#include <yaz/oid_util.h>

namespace kvistur::server {

FormChoice ChooseForm(const Odr_oid* syntax, const char* name) {
  std::string n = name ? name : "";
  for (char& ch : n)
    if (ch >= 'A' && ch <= 'Z') ch = char(ch - 'A' + 'a');
  FormChoice c;
  bool marc = syntax && (oid_oidcmp(syntax, yaz_oid_recsyn_usmarc) == 0 || oid_oidcmp(syntax, yaz_oid_recsyn_marc21) == 0);
  bool xml = syntax && (oid_oidcmp(syntax, yaz_oid_recsyn_xml) == 0 || oid_oidcmp(syntax, yaz_oid_recsyn_text_xml) == 0);
  if (syntax && !marc && !xml) {
    char buf[OID_STR_MAX];
    c.error = {YAZ_BIB1_RECORD_SYNTAX_UNSUPP, oid_oid_to_dotstring(syntax, buf)};
    return c;
  }
  // MARC, the Z39.50 default, under no element set name or the full or
  // brief one; an XML schema named without a syntax is that schema.
  if (!xml && (n.empty() || n == "f" || n == "b")) return c;
  if (!marc) {
    if (n.empty() || n == "f" || n == "b" || n == "http://www.loc.gov/marc21/slim") n = "marcxml";
    const Form forms[] = {Form::MarcXml, Form::DublinCore, Form::Display};
    for (std::size_t i = 0; i < Schemas().size(); ++i) {
      const SchemaInfo& s = Schemas()[i];
      if (n == s.name || n == s.identifier) {
        c.form = forms[i];
        c.schema = s.identifier;
        return c;
      }
    }
  }
  c.error = {YAZ_BIB1_SPECIFIED_ELEMENT_SET_NAME_NOT_VALID_FOR_SPECIFIED_, name ? name : ""};
  return c;
}

const std::vector<SchemaInfo>& Schemas() {
  static const std::vector<SchemaInfo> schemas = {
      {"info:srw/schema/1/marcxml-v1.1", "marcxml", "MARC 21 in MARCXML"},
      {"info:srw/schema/1/dc-v1.1", "dc", "Dublin Core"},
      {"urn:x-kvistur:display", "kvistur", "The display texts: description, holdings, subjects, contents"}};
  return schemas;
}

}  // namespace kvistur::server
