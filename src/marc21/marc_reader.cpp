#include "marc21/marc_reader.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <yaz/wrbuf.h>
#include <yaz/yaz-iconv.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace kvistur::marc21 {

std::string_view MarcField::sub_view(char code) const {
  for (auto& s : subfields)
    if (s.code == code) return s.value;
  return {};
}

std::string MarcField::sub(char code) const { return std::string(sub_view(code)); }

std::vector<std::string> MarcField::subs(char code) const {
  std::vector<std::string> out;
  for (auto& s : subfields)
    if (s.code == code) out.push_back(s.value);
  return out;
}

bool MarcField::has(char code) const {
  for (auto& s : subfields)
    if (s.code == code) return true;
  return false;
}

const MarcField* MarcRecord::first(std::string_view tag) const {
  for (auto& f : fields)
    if (f.is(tag)) return &f;
  return nullptr;
}

std::vector<const MarcField*> MarcRecord::all(std::string_view tag) const {
  std::vector<const MarcField*> out;
  for (auto& f : fields)
    if (f.is(tag)) out.push_back(&f);
  return out;
}

std::string MarcRecord::sub(std::string_view tag, char code) const {
  const MarcField* f = first(tag);
  return f ? f->sub(code) : std::string();
}

std::string MarcRecord::control(std::string_view tag) const {
  const MarcField* f = first(tag);
  return f ? f->data : std::string();
}

namespace {

// The control characters a text may hold.
enum class Controls { kAll, kTabAndLines, kTab };

// Whether S is well-formed UTF-8 whose control characters are all of
// ALLOWED.
bool utf8_check(std::string_view s, Controls allowed) {
  std::size_t i = 0, n = s.size();
  while (i < n) {
    unsigned char c = s[i];
    if (c >= 0x20 && c < 0x7f) {  // printable ASCII, most of any text
      ++i;
      continue;
    }
    if (c >= 0xC2 && c <= 0xDF && i + 1 < n && (s[i + 1] & 0xC0) == 0x80) {  // two bytes, U+0080 to U+07FF
      i += 2;
      continue;
    }
    if (c < 0x80) {
      if (allowed != Controls::kAll && ((c < 0x20 && c != '\t') || c == 0x7f) &&
          (allowed == Controls::kTab || (c != '\r' && c != '\n')))
        return false;
      ++i;
      continue;
    }
    std::size_t len = 0;
    uint32_t cp = 0;
    if ((c & 0xE0) == 0xC0) len = 2, cp = c & 0x1F;
    else if ((c & 0xF0) == 0xE0) len = 3, cp = c & 0x0F;
    else if ((c & 0xF8) == 0xF0) len = 4, cp = c & 0x07;
    else return false;
    if (i + len > n) return false;
    for (std::size_t k = 1; k < len; ++k) {
      unsigned char d = s[i + k];
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

}  // namespace

bool valid_utf8_text(std::string_view s) { return utf8_check(s, Controls::kTabAndLines); }

bool clean_utf8_text(std::string_view s) { return utf8_check(s, Controls::kTab); }

bool well_formed_utf8(std::string_view s) { return utf8_check(s, Controls::kAll); }

namespace {

std::string attr(const xmlNode* n, const char* name) {
  xmlChar* v = xmlGetProp(n, BAD_CAST name);
  if (!v) return {};
  std::string s(reinterpret_cast<const char*>(v));
  xmlFree(v);
  return s;
}

std::string content(const xmlNode* n) {
  xmlChar* v = xmlNodeGetContent(n);
  if (!v) return {};
  std::string s(reinterpret_cast<const char*>(v));
  xmlFree(v);
  return s;
}

bool named(const xmlNode* n, const char* name) {
  return n->type == XML_ELEMENT_NODE && std::strcmp(reinterpret_cast<const char*>(n->name), name) == 0;
}

// A subfield code or an indicator: one printable ASCII character.
bool one_code(const std::string& s) { return s.size() == 1 && s[0] > ' ' && s[0] < 0x7f; }

// Turns a MARCXML record element into our fields: the reader's own MARCXML
// and the tree YAZ writes for an ISO 2709 record take the same way.  Anything
// that does not fit the fields (a field without a tag, a subfield code or an
// indicator that is not one character) is reported in `bad` and the record
// is refused; nothing is cut or guessed.
MarcRecord from_tree(const xmlNode* root, std::string& bad) {
  MarcRecord r;
  bool leader = false;
  for (const xmlNode* n = root->children; n && bad.empty(); n = n->next) {
    if (named(n, "leader")) {
      r.leader = content(n);
      leader = true;
    } else if (named(n, "controlfield")) {
      MarcField f;
      f.tag = attr(n, "tag");
      f.data = content(n);
      r.fields.push_back(std::move(f));
    } else if (named(n, "datafield")) {
      MarcField f;
      f.tag = attr(n, "tag");
      std::string i1 = attr(n, "ind1"), i2 = attr(n, "ind2");
      if ((!i1.empty() && !one_code(i1) && i1 != " ") || (!i2.empty() && !one_code(i2) && i2 != " ")) {
        bad = "bad indicator in field " + f.tag;
        break;
      }
      f.ind1 = i1.empty() ? ' ' : i1[0];
      f.ind2 = i2.empty() ? ' ' : i2[0];
      for (const xmlNode* s = n->children; s; s = s->next) {
        if (!named(s, "subfield")) continue;
        std::string code = attr(s, "code");
        if (!one_code(code)) {
          bad = "bad subfield code in field " + f.tag;
          break;
        }
        f.subfields.push_back({code[0], content(s)});
      }
      r.fields.push_back(std::move(f));
    }
  }
  if (bad.empty() && !leader) bad = "the record has no leader";
  return r;
}

// What is wrong with a decoded record, "" when nothing.
std::string check_record(const MarcRecord& r) {
  for (auto& f : r.fields) {
    if (f.tag.size() != 3) return "bad field tag \"" + f.tag + "\"";
    if (!valid_utf8_text(f.data)) return "bad character in field " + f.tag;
    for (auto& s : f.subfields)
      if (!valid_utf8_text(s.value)) return "bad character in field " + f.tag;
  }
  return {};
}

constexpr char kSubfieldMark = '\x1f';
constexpr char kFieldEnd = '\x1e';

bool blank_or_bom(unsigned char c) {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == 0xEF || c == 0xBB || c == 0xBF;
}

// Walks the fields of one ISO 2709 record (whose length and end are
// checked): the leader, the directory of 12-byte entries (tag, length,
// start), the fields from the base address, handing each part to SINK as
// it stands in REC.  False when they do not fit together.
template <typename Sink>
bool walk_iso2709(std::string_view rec, Sink& sink) {
  auto number = [&](std::size_t at, std::size_t n, std::size_t& out) {
    out = 0;
    for (std::size_t k = at; k < at + n; ++k) {
      if (k >= rec.size() || rec[k] < '0' || rec[k] > '9') return false;
      out = out * 10 + std::size_t(rec[k] - '0');
    }
    return true;
  };
  std::size_t base = 0;
  if (!number(12, 5, base) || base < 25 || base > rec.size()) return false;
  sink.leader(rec.substr(0, 24));
  for (std::size_t entry = 24; entry < base && rec[entry] != kFieldEnd; entry += 12) {
    std::size_t length = 0, at = 0;
    if (entry + 12 >= base || !number(entry + 3, 4, length) || !number(entry + 7, 5, at)) return false;
    if (base + at + length > rec.size() - 1 || length == 0) return false;
    std::string_view data = rec.substr(base + at, length);
    if (data.back() == kFieldEnd) data.remove_suffix(1);
    std::string_view tag = rec.substr(entry, 3);
    if (tag[0] == '0' && tag[1] == '0') {
      sink.control(tag, data);
      continue;
    }
    char ind1 = data.size() > 0 && data[0] != kSubfieldMark ? data[0] : ' ';
    char ind2 = data.size() > 1 && data[1] != kSubfieldMark ? data[1] : ' ';
    sink.field(tag, ind1, ind2);
    std::size_t i = data.find(kSubfieldMark);
    while (i != std::string_view::npos && i + 1 < data.size()) {
      std::size_t next = data.find(kSubfieldMark, i + 1);
      sink.subfield(data[i + 1], data.substr(i + 2, next == std::string_view::npos ? std::string_view::npos : next - i - 2));
      i = next;
    }
  }
  return true;
}

// Makes the record's fields, each value through CONVERT (the bytes as they
// are for UTF-8, a conversion for MARC-8).  The fields and values already
// in the record are written over, so that decoding one record after
// another into the same MarcRecord reuses its memory.
template <typename Convert>
struct FieldBuilder {
  MarcRecord& r;
  Convert convert;
  std::size_t fields = 0, subfields = 0;

  MarcField& next_field(std::string_view tag) {
    end_field();
    if (fields == r.fields.size()) r.fields.emplace_back();
    MarcField& f = r.fields[fields++];
    f.tag.assign(tag);
    f.ind1 = f.ind2 = ' ';
    f.data.clear();
    subfields = 0;
    return f;
  }
  void end_field() {
    if (fields) r.fields[fields - 1].subfields.resize(subfields);
  }
  void leader(std::string_view l) { r.leader.assign(l); }
  void control(std::string_view tag, std::string_view data) { convert(data, next_field(tag).data); }
  void field(std::string_view tag, char ind1, char ind2) {
    MarcField& f = next_field(tag);
    f.ind1 = ind1;
    f.ind2 = ind2;
  }
  void subfield(char code, std::string_view value) {
    auto& subs = r.fields[fields - 1].subfields;
    if (subfields == subs.size()) subs.emplace_back();
    MarcSubfield& s = subs[subfields++];
    s.code = code;
    convert(value, s.value);
  }
  void finish() {
    end_field();
    r.fields.resize(fields);
  }
};

template <typename Convert>
bool build_iso2709(std::string_view rec, MarcRecord& r, Convert convert) {
  FieldBuilder<Convert> b{r, std::move(convert)};
  bool ok = walk_iso2709(rec, b);
  b.finish();
  return ok;
}

void as_is(std::string_view v, std::string& out) { out.assign(v); }

// What check_record finds in a UTF-8 record, without making its fields:
// every value is checked where it stands.  Keeps the first 001 and the
// leader's position 7, which the import needs of every record before it
// maps any.
struct FieldChecker {
  std::string bad;
  std::string control_number;
  bool has_control_number = false;
  char level = ' ';

  void text(std::string_view tag, std::string_view v) {
    if (bad.empty() && !valid_utf8_text(v)) bad = "bad character in field " + std::string(tag);
  }
  void leader(std::string_view l) { level = l.size() > 7 ? l[7] : ' '; }
  void control(std::string_view tag, std::string_view data) {
    text(tag, data);
    if (!has_control_number && tag == "001") control_number.assign(data), has_control_number = true;
  }
  void field(std::string_view tag, char, char) { tag_ = tag; }
  void subfield(char, std::string_view value) { text(tag_, value); }

 private:
  std::string_view tag_;
};

}  // namespace

MarcRecord KeptRecord::record() const {
  MarcRecord r;
  return record(r);
}

const MarcRecord& KeptRecord::record(MarcRecord& scratch) const {
  if (decoded) return *decoded;
  build_iso2709(bytes, scratch, as_is);  // checked when it was read
  scratch.position = position;
  return scratch;
}

struct MarcReader::Impl {
  std::string name;
  std::string bytes;
  bool xml = false;
  std::size_t pos = 0;  // ISO 2709: byte offset of the next record
  long number = 0;      // records met so far
  yaz_iconv_t marc8 = nullptr;
  WRBUF converted = nullptr;
  xmlDocPtr doc = nullptr;
  std::vector<xmlNode*> xml_records;
  std::size_t xml_next = 0;

  ~Impl() {
    if (doc) xmlFreeDoc(doc);
    if (marc8) yaz_iconv_close(marc8);
    if (converted) wrbuf_destroy(converted);
  }

  void start() {
    std::size_t i = 0;
    while (i < bytes.size() && blank_or_bom((unsigned char)bytes[i])) ++i;
    xml = i < bytes.size() && bytes[i] == '<';
    if (!xml) return;
    if (bytes.size() > std::size_t(INT_MAX)) throw std::runtime_error(name + ": file too large");
    // Without recovery: a document that is not well-formed is refused
    // whole.  Recovering would drop or merge records past the fault
    // without a word.
    std::unique_ptr<xmlParserCtxt, decltype(&xmlFreeParserCtxt)> parser(xmlNewParserCtxt(), xmlFreeParserCtxt);
    if (!parser) throw std::runtime_error(name + ": out of memory");
    doc = xmlCtxtReadMemory(parser.get(), bytes.data(), int(bytes.size()), name.c_str(), nullptr,
                            XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!doc || !parser->wellFormed) {
      const xmlError* e = xmlCtxtGetLastError(parser.get());
      std::string what = e && e->message ? e->message : "the document ends too early";
      while (!what.empty() && (what.back() == '\n' || what.back() == ' ')) what.pop_back();
      throw UnreadableInput(name + ": line " + std::to_string(e ? e->line : 0) + ": not well-formed XML (" + what + ")");
    }
    xmlNode* root = xmlDocGetRootElement(doc);
    if (!root) throw UnreadableInput(name + ": not a readable XML file");
    if (named(root, "record")) {
      xml_records.push_back(root);
    } else {
      for (xmlNode* n = root->children; n; n = n->next)
        if (named(n, "record")) xml_records.push_back(n);
    }
  }

  // The record element as our fields, or nullopt with the problem noted.
  static std::optional<MarcRecord> checked(const xmlNode* node, long position, std::vector<ReadProblem>& problems,
                                           const std::string& where) {
    std::string bad;
    MarcRecord r = from_tree(node, bad);
    if (bad.empty()) bad = check_record(r);
    if (!bad.empty()) {
      problems.push_back({position, where + ": " + bad});
      return std::nullopt;
    }
    r.position = position;
    return r;
  }

  std::optional<MarcRecord> next_xml(std::vector<ReadProblem>& problems) {
    while (xml_next < xml_records.size()) {
      xmlNode* node = xml_records[xml_next++];
      long position = ++number;
      // The parsed tree is read directly: MARCXML is already Unicode, and
      // going through YAZ's record model and back would only add a copy (and
      // YAZ's XML writer does not guard against codes it did not expect).
      if (auto r = checked(node, position, problems, "record " + std::to_string(position))) return r;
    }
    return std::nullopt;
  }

  // A value as UTF-8: as it is in a UTF-8 record, converted from MARC-8
  // (accents come after their letter, as combining characters).
  std::string text(std::string_view v, bool utf8) {
    if (utf8) return std::string(v);
    wrbuf_rewind(converted);
    wrbuf_iconv_write(converted, marc8, v.data(), v.size());
    wrbuf_iconv_reset(converted, marc8);
    return std::string(wrbuf_buf(converted), wrbuf_len(converted));
  }

  // The fields of one ISO 2709 record; false when they do not fit together.
  bool decode(std::string_view rec, bool utf8, MarcRecord& r) {
    if (utf8) return build_iso2709(rec, r, as_is);
    return build_iso2709(rec, r, [this](std::string_view v, std::string& out) { out = text(v, false); });
  }

  // Moves past the next record terminator (or to the end).
  void resync() {
    auto t = bytes.find('\x1d', pos);
    pos = t == std::string::npos ? bytes.size() : t + 1;
  }

  // One ISO 2709 record's bytes, its length and its end checked.
  struct Span {
    long position;
    std::size_t start;
    std::string_view rec;
    bool utf8() const { return rec[9] == 'a'; }
  };
  static std::string where(const Span& s) {
    return "record " + std::to_string(s.position) + " (byte " + std::to_string(s.start) + ")";
  }

  // The next record's span, or nullopt at the end; records whose length or
  // end is wrong are noted in PROBLEMS and passed over.
  std::optional<Span> next_span(std::vector<ReadProblem>& problems) {
    for (;;) {
      while (pos < bytes.size() && (bytes[pos] == '\n' || bytes[pos] == '\r' || bytes[pos] == ' ')) ++pos;
      if (pos >= bytes.size()) return std::nullopt;
      Span s{++number, pos, {}};
      std::size_t left = bytes.size() - s.start;
      auto ends_inside = [&](const std::string& how) {
        throw UnreadableInput(name + ": byte " + std::to_string(s.start) + ": the file ends inside record " +
                              std::to_string(s.position) + " (" + how + ")");
      };
      if (left < 24) ends_inside("only " + std::to_string(left) + " bytes of it are there, fewer than a leader");
      std::size_t len = 0;
      bool digits = true;
      for (int k = 0; k < 5; ++k) {
        char c = bytes[s.start + k];
        if (c < '0' || c > '9') digits = false;
        else len = len * 10 + std::size_t(c - '0');
      }
      if (!digits || len < 25) {
        problems.push_back({s.position, where(s) + ": bad record length"});
        resync();
        continue;
      }
      if (len > left)
        ends_inside("its leader gives " + std::to_string(len) + " bytes, " + std::to_string(left) + " are there");
      if (bytes[s.start + len - 1] != '\x1d') {
        problems.push_back({s.position, where(s) + ": record length does not match its end"});
        resync();
        continue;
      }
      pos = s.start + len;
      s.rec = std::string_view(bytes).substr(s.start, len);
      return s;
    }
  }

  // The span's record decoded and checked, or nullopt with the problem noted.
  std::optional<MarcRecord> decoded(const Span& s, std::vector<ReadProblem>& problems) {
    if (!s.utf8() && !marc8) {
      marc8 = yaz_iconv_open("utf-8", "marc8");
      converted = wrbuf_alloc();
      if (!marc8) throw std::runtime_error("the MARC-8 character set conversion is not available");
    }
    MarcRecord r;
    if (!decode(s.rec, s.utf8(), r)) {
      problems.push_back({s.position, where(s) + ": the record cannot be decoded"});
      return std::nullopt;
    }
    if (std::string bad = check_record(r); !bad.empty()) {
      problems.push_back({s.position, where(s) + ": " + bad});
      return std::nullopt;
    }
    r.position = s.position;
    return r;
  }

  std::optional<MarcRecord> next_iso(std::vector<ReadProblem>& problems) {
    while (auto s = next_span(problems))
      if (auto r = decoded(*s, problems)) return r;
    return std::nullopt;
  }

  static KeptRecord kept(MarcRecord r) {
    KeptRecord k;
    k.position = r.position;
    k.level = r.leader_at(7);
    k.control_number = r.control("001");
    k.decoded = std::make_unique<MarcRecord>(std::move(r));
    return k;
  }

  std::optional<KeptRecord> next_kept(std::vector<ReadProblem>& problems, bool check_later) {
    if (xml) {
      auto r = next_xml(problems);
      return r ? std::optional<KeptRecord>(kept(std::move(*r))) : std::nullopt;
    }
    while (auto s = next_span(problems)) {
      if (!s->utf8()) {
        if (auto r = decoded(*s, problems)) return kept(std::move(*r));
        continue;
      }
      // Checked where it stands; its fields are made when it is mapped.
      KeptRecord k;
      k.position = s->position;
      k.start = s->start;
      k.bytes = s->rec;
      k.checked = false;
      if (check_later) return k;
      std::string bad = k.check();
      if (bad.empty()) return k;
      problems.push_back({s->position, std::move(bad)});
    }
    return std::nullopt;
  }
};

std::string KeptRecord::check() {
  if (checked) return {};
  FieldChecker c;
  auto where = [&] { return "record " + std::to_string(position) + " (byte " + std::to_string(start) + "): "; };
  if (!walk_iso2709(bytes, c)) return where() + "the record cannot be decoded";
  if (!c.bad.empty()) return where() + c.bad;
  level = c.level;
  control_number = std::move(c.control_number);
  checked = true;
  return {};
}

MarcReader::MarcReader() = default;

MarcReader::MarcReader(const std::string& file) : impl_(std::make_unique<Impl>()) {
  // A folder opens as a file that reads as nothing: it would pass for a
  // file without records.
  std::error_code ec;
  if (std::filesystem::is_directory(file, ec)) throw UnreadableInput(file + " is a folder, not a file of records");
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + file);
  impl_->name = file;
  // A file is read straight into the buffer; a pipe, whose size is not
  // known, through a stream.
  auto size = std::filesystem::file_size(file, ec);
  if (!ec && std::filesystem::is_regular_file(file, ec)) {
    impl_->bytes.resize(size);
    if (!in.read(impl_->bytes.data(), std::streamsize(size))) throw std::runtime_error("cannot read " + file);
  } else {
    std::ostringstream ss;
    ss << in.rdbuf();
    impl_->bytes = std::move(ss).str();
  }
  impl_->start();
}

MarcReader MarcReader::from_bytes(std::string bytes, std::string name) {
  MarcReader r;
  r.impl_ = std::make_unique<Impl>();
  r.impl_->name = std::move(name);
  r.impl_->bytes = std::move(bytes);
  r.impl_->start();
  return r;
}

MarcReader::~MarcReader() = default;
MarcReader::MarcReader(MarcReader&&) noexcept = default;

double MarcReader::fraction() const {
  if (impl_->xml) return impl_->xml_records.empty() ? 1 : double(impl_->xml_next) / double(impl_->xml_records.size());
  return impl_->bytes.empty() ? 1 : double(impl_->pos) / double(impl_->bytes.size());
}

std::optional<MarcRecord> MarcReader::next(std::vector<ReadProblem>& problems) {
  return impl_->xml ? impl_->next_xml(problems) : impl_->next_iso(problems);
}

std::optional<KeptRecord> MarcReader::next_kept(std::vector<ReadProblem>& problems, bool check_later) {
  return impl_->next_kept(problems, check_later);
}

}  // namespace kvistur::marc21
