#include "marc21/marc_writer.h"

#include <cstdio>
#include <stdexcept>

namespace kvistur::marc21 {

namespace {

constexpr char kSubfieldMark = '\x1f';
constexpr char kFieldEnd = '\x1e';
constexpr char kRecordEnd = '\x1d';

void put_digits(std::string& out, std::size_t at, std::size_t value, int width) {
  for (int i = width - 1; i >= 0; --i, value /= 10) out[at + std::size_t(i)] = char('0' + value % 10);
}

}  // namespace

std::string WriteIso2709(const MarcRecord& r) {
  std::string directory, data;
  directory.reserve(12 * r.fields.size() + 1);
  for (const MarcField& f : r.fields) {
    if (f.tag.size() != 3) throw std::runtime_error("bad field tag \"" + f.tag + "\"");
    std::size_t start = data.size();
    if (f.is_control()) {
      data += f.data;
    } else {
      data += f.ind1;
      data += f.ind2;
      for (const MarcSubfield& s : f.subfields) {
        data += kSubfieldMark;
        data += s.code;
        data += s.value;
      }
    }
    data += kFieldEnd;
    std::size_t length = data.size() - start;
    if (length > kMaxIsoField || start > kMaxIsoRecord)
      throw std::runtime_error("field " + f.tag + " is too long for ISO 2709");
    std::string entry = f.tag + "000000000";
    put_digits(entry, 3, length, 4);
    put_digits(entry, 7, start, 5);
    directory += entry;
  }
  directory += kFieldEnd;
  std::size_t base = 24 + directory.size();
  std::size_t total = base + data.size() + 1;
  if (total > kMaxIsoRecord) throw std::runtime_error("the record is too long for ISO 2709 (" + std::to_string(total) + " bytes)");

  std::string leader = r.leader;
  leader.resize(24, ' ');
  for (char& c : leader)
    if (c < ' ' || c > '~') c = ' ';
  put_digits(leader, 0, total, 5);
  leader[9] = 'a';
  leader[10] = '2';
  leader[11] = '2';
  put_digits(leader, 12, base, 5);
  leader.replace(20, 4, "4500");

  std::string out;
  out.reserve(total);
  out += leader;
  out += directory;
  out += data;
  out += kRecordEnd;
  return out;
}

}  // namespace kvistur::marc21
