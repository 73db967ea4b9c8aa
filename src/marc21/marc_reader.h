// Reading MARC 21 bibliographic records: ISO 2709 (MARC-8 or UTF-8) and
// MARCXML, through the YAZ toolkit.  Every record comes out as plain UTF-8
// fields; a record that cannot be read is reported with its position (its
// number in the file, from 1, and for ISO 2709 its byte offset) and the
// reader goes on with the next one.  A file that cannot be read to its end
// (XML that is not well-formed, a file that ends inside a record) is no
// file of records at all: the reader throws UnreadableInput, naming the
// line or byte where it went wrong, instead of giving the records before
// it as if they were the whole file.
#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kvistur::marc21 {

struct MarcSubfield {
  char code = ' ';
  std::string value;
  friend bool operator==(const MarcSubfield&, const MarcSubfield&) = default;
};

struct MarcField {
  std::string tag;
  char ind1 = ' ', ind2 = ' ';
  std::string data;  // control fields (00X) only
  std::vector<MarcSubfield> subfields;

  bool is_control() const { return tag.size() == 3 && tag[0] == '0' && tag[1] == '0'; }
  // Whether the tag is T (three characters; compared without a library call,
  // since the importer asks it of every field many times).
  bool is(std::string_view t) const {
    return tag.size() == 3 && t.size() == 3 && tag[0] == t[0] && tag[1] == t[1] && tag[2] == t[2];
  }
  // The first value of a subfield, "" when there is none.
  std::string sub(char code) const;
  // The same value as it stands in the field, without a copy.
  std::string_view sub_view(char code) const;
  std::vector<std::string> subs(char code) const;
  bool has(char code) const;
  friend bool operator==(const MarcField&, const MarcField&) = default;
};

struct MarcRecord {
  std::string leader;
  std::vector<MarcField> fields;
  long position = 0;  // the record's number in its file, from 1

  const MarcField* first(std::string_view tag) const;
  std::vector<const MarcField*> all(std::string_view tag) const;
  // First value of subfield `code` of the first field `tag`, "" when none.
  std::string sub(std::string_view tag, char code) const;
  std::string control(std::string_view tag) const;
  char leader_at(std::size_t i) const { return i < leader.size() ? leader[i] : ' '; }
  friend bool operator==(const MarcRecord&, const MarcRecord&) = default;
};

// One record that could not be read, or that was read but is not usable.
struct ReadProblem {
  long position = 0;
  std::string message;  // e.g. "record 3 (byte 1250): truncated record"
};

// A record read and checked by MarcReader::next_kept.  ISO 2709 in UTF-8
// stays the bytes read (in the reader, which must outlive it) until it is
// decoded, on any thread; other forms are decoded as they are read.
// record() gives what MarcReader::next gives for the same record.
struct KeptRecord {
  long position = 0;
  char level = ' ';            // leader position 7
  std::string control_number;  // the first 001, "" when there is none
  std::string_view bytes;      // ISO 2709 in UTF-8 not decoded yet
  std::unique_ptr<MarcRecord> decoded;
  std::size_t start = 0;       // the byte it starts at (ISO 2709)
  bool checked = true;         // false: its values wait for check()

  MarcRecord record() const;
  // The record: the one decoded already, or decoded into SCRATCH (whose
  // memory a decoding reuses).
  const MarcRecord& record(MarcRecord& scratch) const;
  // Checks a record read with its check left for later (any thread): ""
  // when it is usable, with its level and control number set, else the
  // problem next_kept would have noted for it.
  std::string check();
};

// The input cannot be read to its end; what() is one line: "FILE: line N:
// what was wrong" or "FILE: byte N: ...".
class UnreadableInput : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class MarcReader {
 public:
  // Opens FILE; MARCXML when its first non-blank byte is "<", else ISO 2709.
  // Throws std::runtime_error with a one-line message when it cannot be
  // opened, UnreadableInput when it is a folder or XML that is not
  // well-formed.
  explicit MarcReader(const std::string& file);
  // Reads from memory (tests); the same detection.
  static MarcReader from_bytes(std::string bytes, std::string name = "input");
  ~MarcReader();
  MarcReader(MarcReader&&) noexcept;
  MarcReader& operator=(MarcReader&&) = delete;

  // The next record, or nullopt at the end.  A record that cannot be decoded
  // is appended to `problems` and skipped.  Throws UnreadableInput when the
  // input ends inside a record.
  std::optional<MarcRecord> next(std::vector<ReadProblem>& problems);
  // The next record checked as next() checks it, its fields not made yet
  // when it is ISO 2709 in UTF-8 (a build keeps every record before it maps
  // any, and then makes them on many threads).
  // With CHECK_LATER, the values of ISO 2709 in UTF-8 are not checked
  // here but by KeptRecord::check (so that many threads can check them);
  // what it finds wrong is then not in PROBLEMS.
  std::optional<KeptRecord> next_kept(std::vector<ReadProblem>& problems, bool check_later = false);
  // How much of the input has been read, 0 to 1.
  double fraction() const;

 private:
  MarcReader();
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// True when s is well-formed UTF-8 without control characters other than
// tab, CR and LF.
bool valid_utf8_text(std::string_view s);
// True when s is well-formed UTF-8 without control characters other than
// tab: a value the ISO 2709 writer writes as it is.
bool clean_utf8_text(std::string_view s);
// True when s is well-formed UTF-8, control characters and all.
bool well_formed_utf8(std::string_view s);

}  // namespace kvistur::marc21
