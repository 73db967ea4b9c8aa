#include "formats/records.h"

#include <yaz/marcdisp.h>
#include <yaz/wrbuf.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "formats/source_iso.h"
#include "marc21/marc_writer.h"
#include "marc21/punctuation.h"

namespace kvistur::formats {

using marc21::MarcField;
using marc21::MarcRecord;

namespace {

// A value as a MARC record can carry it: the three separator characters of
// ISO 2709, and the other control characters XML cannot hold, become blanks.
void clean_in_place(std::string& s) {
  for (char& c : s)
    if (static_cast<unsigned char>(c) < 0x20 && c != '\t') c = ' ';
}

std::string clean(std::string s) {
  clean_in_place(s);
  return s;
}

std::string replace_all(std::string s, const std::string& from, const std::string& to) {
  for (std::size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size())) s.replace(p, from.size(), to);
  return s;
}

MarcField holdings_field(const StoredRecord& r, const Copy& c) {
  MarcField f;
  f.tag = "852";
  if (r.collection >= 0) f.subfields.push_back({'a', std::to_string(r.collection)});
  if (!c.location.empty()) f.subfields.push_back({'b', c.location});
  f.subfields.push_back({'p', std::to_string(c.number)});
  if (!c.note.empty()) f.subfields.push_back({'z', c.note});
  return f;
}

// Replaces the holdings fields (852, 952) by the current copies: where the
// first of them stood, or else in tag order.
void put_holdings(MarcRecord& m, const StoredRecord& r) {
  std::vector<MarcField> fields;
  std::size_t at = std::string::npos;
  for (auto& f : m.fields) {
    if (f.tag == "852" || f.tag == "952") {
      if (at == std::string::npos) at = fields.size();
      continue;
    }
    fields.push_back(std::move(f));
  }
  if (at == std::string::npos) {
    at = 0;
    while (at < fields.size() && fields[at].tag <= "852") ++at;
  }
  std::vector<MarcField> copies;
  for (auto& c : r.copies) copies.push_back(holdings_field(r, c));
  fields.insert(fields.begin() + std::ptrdiff_t(at), copies.begin(), copies.end());
  m.fields = std::move(fields);
}

void utf8_leader(MarcRecord& m) {
  if (m.leader.size() < 24) m.leader.resize(24, ' ');
  m.leader[9] = 'a';
}

// The record written by YAZ's MARC writer.
template <typename Write>
std::string write_with_yaz(const MarcRecord& m, Write&& write) {
  std::unique_ptr<std::remove_pointer_t<yaz_marc_t>, void (*)(yaz_marc_t)> mt(yaz_marc_create(), yaz_marc_destroy);
  std::string leader = m.leader;
  leader.resize(24, ' ');
  int indicator_length, identifier_length, base_address, length_data_entry, length_starting, length_implementation;
  yaz_marc_set_leader(mt.get(), leader.c_str(), &indicator_length, &identifier_length, &base_address,
                      &length_data_entry, &length_starting, &length_implementation);
  for (auto& f : m.fields) {
    if (f.is_control()) {
      std::string data = clean(f.data);
      yaz_marc_add_controlfield(mt.get(), f.tag.c_str(), data.data(), data.size());
      continue;
    }
    char ind[2] = {f.ind1, f.ind2};
    yaz_marc_add_datafield(mt.get(), f.tag.c_str(), ind, 2);
    for (auto& s : f.subfields) {
      std::string code_data = std::string(1, s.code) + clean(s.value);
      yaz_marc_add_subfield(mt.get(), code_data.data(), code_data.size());
    }
  }
  WRBUF w = wrbuf_alloc();
  int r = write(mt.get(), w);
  std::string out = r == 0 ? std::string(wrbuf_buf(w), wrbuf_len(w)) : std::string();
  wrbuf_destroy(w);
  return out;
}

std::string element(const char* name, const std::string& value) {
  return "<dc:" + std::string(name) + ">" + XmlText(value) + "</dc:" + name + ">\n";
}

std::string joined_subfields(const MarcField& f, const char* codes) {
  std::string out;
  for (auto& s : f.subfields) {
    if (!std::strchr(codes, s.code)) continue;
    std::string v = marc21::StripIsbd(s.value);
    if (v.empty()) continue;
    if (!out.empty()) out += ' ';
    out += v;
  }
  return out;
}

}  // namespace

std::optional<MarcRecord> SourceMarc(const std::string& source, int32_t id) {
  std::vector<marc21::ReadProblem> problems;
  try {
    marc21::MarcReader reader = marc21::MarcReader::from_bytes(source, "record " + std::to_string(id));
    return reader.next(problems);
  } catch (const marc21::UnreadableInput&) {  // a damaged source record: the record is made from its rows
    return std::nullopt;
  }
}

MarcRecord RebuildMarc(const Text& marc_lines, int16_t kind) {
  MarcRecord m;
  char level = kind == 100 ? 's' : kind == 200 ? 'b' : kind == 2 ? 'a' : 'm';
  m.leader = std::string("00000na") + level + " a2200000 i 4500";
  std::string text = to_utf8(marc_lines);
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + ((end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n') ? 2 : 1);
    if (line.size() < 3) continue;
    MarcField f;
    f.tag = line.substr(0, 3);
    std::string data = line.size() > 6 ? line.substr(6) : std::string();
    if (f.is_control()) {
      f.data = data;
      m.fields.push_back(std::move(f));
      continue;
    }
    f.ind1 = line.size() > 3 ? line[3] : ' ';
    f.ind2 = line.size() > 4 ? line[4] : ' ';
    std::size_t p = data.find('$');
    while (p != std::string::npos && p + 1 < data.size()) {
      std::size_t next = data.find('$', p + 2);
      std::string value = data.substr(p + 2, next == std::string::npos ? std::string::npos : next - p - 2);
      f.subfields.push_back({data[p + 1], replace_all(value, "\xEF\xBC\x84", "$")});
      p = next;
    }
    m.fields.push_back(std::move(f));
  }
  // The main entry's forms: indicator 4 was 0; indicator 1 with $h was
  // one $a "Surname, Forenames".
  for (auto& f : m.fields) {
    if (f.tag != "100") continue;
    if (f.ind1 == '4') f.ind1 = '0';
    if (f.ind1 != '1' || !f.has('h')) continue;
    std::string forenames = f.sub('h');
    std::vector<marc21::MarcSubfield> subs;
    bool joined = false;
    for (auto& s : f.subfields) {
      if (s.code == 'h') continue;
      subs.push_back(s);
      if (s.code == 'a' && !joined) subs.back().value += ", " + forenames, joined = true;
    }
    f.subfields = std::move(subs);
  }
  // The lines the importer adds from 773 (793 and 792) and from 362 (792).
  bool has773 = m.first("773") != nullptr, has362 = m.first("362") != nullptr;
  std::vector<MarcField> kept;
  for (auto& f : m.fields) {
    if (f.tag == "793" && has773) continue;
    if (f.tag == "792" && (has773 || (kind == 100 && has362))) continue;
    kept.push_back(std::move(f));
  }
  m.fields = std::move(kept);
  return m;
}

MarcRecord MarcOf(const StoredRecord& r) {
  std::optional<MarcRecord> source = r.source.empty() ? r.marc : SourceMarc(r.source, r.id);
  MarcRecord m = source ? std::move(*source) : RebuildMarc(r.marc_lines, r.kind);
  utf8_leader(m);
  put_holdings(m, r);
  return m;
}

std::string Iso2709Of(const StoredRecord& r) {
  if (!r.source.empty()) {
    std::vector<MarcField> holdings;
    for (const Copy& c : r.copies) {
      holdings.push_back(holdings_field(r, c));
      for (auto& sub : holdings.back().subfields) clean_in_place(sub.value);
    }
    if (std::optional<std::string> spliced = SplicedIso2709(r.source, holdings)) return std::move(*spliced);
  }
  return Iso2709(MarcOf(r));
}

std::string IsbdTitle(const MarcField& f) {
  std::string out;
  char last = 0;
  for (auto& s : f.subfields) {
    if (!std::strchr("abnp", s.code)) continue;
    std::string v = marc21::StripIsbd(s.value);
    if (v.empty()) continue;
    if (!out.empty()) out += s.code == 'b' ? " : " : s.code == 'p' && last == 'n' ? ", " : s.code == 'a' ? " ; " : ". ";
    out += v;
    last = s.code;
  }
  return out;
}

std::string Iso2709ByYaz(const MarcRecord& record) {
  std::string out = write_with_yaz(record, [](yaz_marc_t mt, WRBUF w) { return yaz_marc_write_iso2709(mt, w); });
  if (out.size() > marc21::kMaxIsoRecord) return {};
  return out;
}

std::string Iso2709(MarcRecord record) {
  // The usual leader (two indicators, one-character subfield codes, the
  // entry map 4500) and a record that fits: the catalogue's own writer
  // gives YAZ's bytes at a fraction of the cost.  Anything else is written
  // by YAZ, as it always was.  The values are cleaned in place: YAZ's
  // writer cleans them the same way.
  const std::string& l = record.leader;
  bool usual = l.size() == 24 && l.compare(10, 2, "22") == 0 && l.compare(20, 4, "4500") == 0 &&
               std::all_of(l.begin(), l.end(), [](char c) { return c >= ' ' && c <= '~'; });
  if (usual) {
    for (auto& f : record.fields) {
      clean_in_place(f.data);
      for (auto& sub : f.subfields) clean_in_place(sub.value);
    }
    try {
      return marc21::WriteIso2709(record);
    } catch (const std::runtime_error&) {  // too long for ISO 2709
    }
  }
  return Iso2709ByYaz(record);
}

std::string MarcXml(const MarcRecord& record) {
  return write_with_yaz(record, [](yaz_marc_t mt, WRBUF w) {
    yaz_marc_xml(mt, YAZ_MARC_MARCXML);
    return yaz_marc_write_mode(mt, w);
  });
}

std::string DublinCore(const MarcRecord& m) {
  std::string out =
      "<srw_dc:dc xmlns:srw_dc=\"info:srw/schema/1/dc-schema\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\">\n";
  if (const MarcField* f = m.first("245")) out += element("title", IsbdTitle(*f));
  for (auto& f : m.fields)
    if (f.tag == "100" || f.tag == "110" || f.tag == "111" || f.tag == "700" || f.tag == "710" || f.tag == "711")
      out += element("creator", joined_subfields(f, "abcdq"));
  for (auto& f : m.fields)
    if (f.tag.size() == 3 && f.tag[0] == '6' && f.tag != "653") {
      std::string heading = joined_subfields(f, "abcdqt");
      for (auto& s : f.subfields)
        if (std::strchr("xyzv", s.code) && !marc21::StripIsbd(s.value).empty())
          heading += " -- " + marc21::StripIsbd(s.value);
      if (!heading.empty()) out += element("subject", heading);
    }
  for (auto& f : m.fields)
    if (f.tag == "520" || f.tag == "505" || f.tag == "500") {
      std::string d = joined_subfields(f, "agrt");
      if (!d.empty()) out += element("description", d);
    }
  const MarcField* pub = m.first("260");
  if (!pub) pub = m.first("264");
  if (pub) {
    std::string publisher = joined_subfields(*pub, "b");
    if (!publisher.empty()) out += element("publisher", publisher);
    std::string date = joined_subfields(*pub, "c");
    if (!date.empty()) out += element("date", date);
  }
  char type = m.leader_at(6);
  out += element("type", type == 'a' || type == 't' ? "Text" : type == 'j' || type == 'i' ? "Sound"
                                                        : type == 'g' || type == 'k' ? "Image"
                                                                                     : "Text");
  if (const MarcField* f = m.first("300")) {
    std::string extent = joined_subfields(*f, "abce");
    if (!extent.empty()) out += element("format", extent);
  }
  for (auto& f : m.fields) {
    std::string v = marc21::StripIsbd(f.sub('a'));
    if (v.empty()) continue;
    if (f.tag == "020") out += element("identifier", "URN:ISBN:" + v);
    if (f.tag == "022") out += element("identifier", "URN:ISSN:" + v);
    if (f.tag == "490" || f.tag == "830" || f.tag == "773") out += element("relation", v);
  }
  for (auto& f : m.fields)
    if (f.tag == "856" && !f.sub('u').empty()) out += element("identifier", f.sub('u'));
  if (const MarcField* f = m.first("008"); f && f->data.size() >= 38) {
    std::string lang = f->data.substr(35, 3);
    if (lang.find_first_not_of(' ') != std::string::npos) out += element("language", lang);
  }
  out += "</srw_dc:dc>\n";
  return out;
}

std::string DisplayXml(const StoredRecord& r, Faersla& faersla) {
  Variant whole(r.whole_text), marc(r.marc_lines);
  auto part = [](const char* name, const Text& value) {
    return std::string("<") + name + ">" + XmlText(to_utf8(value)) + "</" + name + ">\n";
  };
  std::string out = "<kvistur xmlns=\"urn:x-kvistur:display\" id=\"" + std::to_string(r.id) + "\">\n";
  out += part("description", faersla.SkilaRSv(whole, marc));
  out += part("holdings", faersla.SkilaAN(whole));
  out += part("subjects", faersla.SkilaEN(whole));
  out += part("contents", faersla.SkilaGF(whole));
  out += "</kvistur>\n";
  return out;
}

std::string XmlText(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\r': out += "&#13;"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n') out += ' ';
        else out += c;
    }
  }
  return out;
}

}  // namespace kvistur::formats
