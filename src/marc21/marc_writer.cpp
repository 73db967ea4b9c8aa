#include "marc21/marc_writer.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace kvistur::marc21 {

namespace {

constexpr char kSubfieldMark = '\x1f';
constexpr char kFieldEnd = '\x1e';
constexpr char kRecordEnd = '\x1d';

void put_digits(std::string& out, std::size_t at, std::size_t value, int width) {
  for (int i = width - 1; i >= 0; --i, value /= 10) out[at + std::size_t(i)] = char('0' + value % 10);
}

// The 24 bytes of a leader at the start of OUT (which holds at least that
// many): LEADER's own (blank where it is short, a byte outside printable
// ASCII made blank), with the record's length TOTAL, the data's start BASE
// and the fixed parts of ISO 2709.
void put_leader(std::string& out, std::string_view leader, std::size_t total, std::size_t base) {
  for (std::size_t i = 0; i < 24; ++i) {
    char c = i < leader.size() ? leader[i] : ' ';
    out[i] = c < ' ' || c > '~' ? ' ' : c;
  }
  put_digits(out, 0, total, 5);
  out[9] = 'a';
  out[10] = '2';
  out[11] = '2';
  put_digits(out, 12, base, 5);
  out.replace(20, 4, "4500");
}

// A directory entry's length (four digits) and start (five), both known to
// fit.
void put_4_5(char* to, std::size_t length, std::size_t start) {
  unsigned l = unsigned(length), s = unsigned(start);
  to[0] = char('0' + l / 1000);
  to[1] = char('0' + l / 100 % 10);
  to[2] = char('0' + l / 10 % 10);
  to[3] = char('0' + l % 10);
  to[4] = char('0' + s / 10000);
  to[5] = char('0' + s / 1000 % 10);
  to[6] = char('0' + s / 100 % 10);
  to[7] = char('0' + s / 10 % 10);
  to[8] = char('0' + s % 10);
}

}  // namespace

void Iso2709Writer::entry(std::string_view tag, std::size_t start) {
  if (tag.size() != 3) throw std::runtime_error("bad field tag \"" + std::string(tag) + "\"");
  std::size_t length = data_.size() - start;
  if (length > kMaxIsoField || start > kMaxIsoRecord)
    throw std::runtime_error("field " + std::string(tag) + " is too long for ISO 2709");
  directory_.append(tag);
  directory_.append(9, '0');
  put_digits(directory_, directory_.size() - 9, length, 4);
  put_digits(directory_, directory_.size() - 5, start, 5);
}

void Iso2709Writer::add(const MarcField& f) {
  std::size_t start = data_.size();
  if (f.is_control()) {
    data_ += f.data;
  } else {
    data_ += f.ind1;
    data_ += f.ind2;
    for (const MarcSubfield& s : f.subfields) {
      data_ += kSubfieldMark;
      data_ += s.code;
      data_ += s.value;
    }
  }
  data_ += kFieldEnd;
  entry(f.tag, start);
}

void Iso2709Writer::add_bytes(std::string_view tag, std::string_view bytes) {
  std::size_t start = data_.size();
  data_.append(bytes);
  entry(tag, start);
}

std::string Iso2709Writer::finish(std::string leader) {
  directory_ += kFieldEnd;
  std::size_t base = 24 + directory_.size();
  std::size_t total = base + data_.size() + 1;
  if (total > kMaxIsoRecord) throw std::runtime_error("the record is too long for ISO 2709 (" + std::to_string(total) + " bytes)");

  std::string out(24, ' ');
  out.reserve(total);
  put_leader(out, leader, total, base);
  out += directory_;
  out += data_;
  out += kRecordEnd;
  return out;
}

std::string WriteIso2709(const MarcRecord& r) {
  // The lengths first, checked as Iso2709Writer checks them field by
  // field; then the record is written into a string of its final size.
  std::size_t data = 0;
  for (const MarcField& f : r.fields) {
    std::size_t length = 1;  // the field end
    if (f.is_control()) {
      length += f.data.size();
    } else {
      length += 2;
      for (const MarcSubfield& s : f.subfields) length += 2 + s.value.size();
    }
    if (f.tag.size() != 3) throw std::runtime_error("bad field tag \"" + f.tag + "\"");
    if (length > kMaxIsoField || data > kMaxIsoRecord)
      throw std::runtime_error("field " + f.tag + " is too long for ISO 2709");
    data += length;
  }
  std::size_t base = 24 + 12 * r.fields.size() + 1;
  std::size_t total = base + data + 1;
  if (total > kMaxIsoRecord) throw std::runtime_error("the record is too long for ISO 2709 (" + std::to_string(total) + " bytes)");

  std::string out(total, '\0');
  put_leader(out, r.leader, total, base);

  std::size_t dir = 24, at = base, start = 0;
  auto put = [&](std::string_view bytes) {
    if (!bytes.empty()) std::memcpy(out.data() + at, bytes.data(), bytes.size());
    at += bytes.size();
  };
  for (const MarcField& f : r.fields) {
    std::size_t from = at;
    if (f.is_control()) {
      put(f.data);
    } else {
      out[at++] = f.ind1;
      out[at++] = f.ind2;
      for (const MarcSubfield& s : f.subfields) {
        out[at++] = kSubfieldMark;
        out[at++] = s.code;
        put(s.value);
      }
    }
    out[at++] = kFieldEnd;
    std::memcpy(out.data() + dir, f.tag.data(), 3);
    put_4_5(out.data() + dir + 3, at - from, start);
    dir += 12;
    start += at - from;
  }
  out[dir] = kFieldEnd;
  out[at] = kRecordEnd;
  return out;
}

}  // namespace kvistur::marc21
