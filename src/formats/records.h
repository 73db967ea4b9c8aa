// A catalogue record as the programs built on the component hand it out:
// MARC 21 (ISO 2709), MARCXML, Dublin Core, RIS and the display texts, made
// from what the catalogue keeps of the record.  `kvistur serve` and
// `kvistur web` both use them, so that a record copied out of either is the
// same record.
//
// MARC 21: when the catalogue has the source record (table Frumfærsla,
// the record as `kvistur build` read it), that record, every field and
// subfield as it came in, with its holdings fields (852, 952) replaced by
// 852 fields made from the record's current Aðfanganúmer rows.  Otherwise
// the record rebuilt from its MARC field lines (MarkSnið), with what the
// importer changed there undone.  From the MARC record: ISO 2709 in UTF-8,
// MARCXML, Dublin Core and RIS.  The display texts come from the
// component's own text methods.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "marc21/marc_reader.h"
#include "kvistur/faersla.h"

namespace kvistur::formats {

// One copy, from a row of Aðfanganúmer.
struct Copy {
  int32_t number = 0;
  std::string location, note;  // UTF-8
};

// What the catalogue keeps of one record, as far as a form needs it (read
// by record_read.h).
struct StoredRecord {
  int32_t id = 0;
  int16_t kind = 0;         // Tag
  int32_t collection = -1;  // Safndeild; -1 when Null
  Text whole_text;          // ÖllFærslan (read for the display texts only)
  Text marc_lines;          // MarkSnið
  // Frumfærsla.Færsla: as it is stored when it can be handed out so
  // (source_iso.h), or else read, when there is one that reads.
  std::string source;
  std::optional<marc21::MarcRecord> marc;
  std::vector<Copy> copies;                // the rows whose Móðurbendir is the record
};

// A source record as a MARC record; nullopt when it does not read.
std::optional<marc21::MarcRecord> SourceMarc(const std::string& source, int32_t id);

// The record as MARC 21 (leader/09 "a": UTF-8).
marc21::MarcRecord MarcOf(const StoredRecord& record);
// Iso2709(MarcOf(record)), spliced from the stored source record where it
// has one that can be handed out as it stands.
std::string Iso2709Of(const StoredRecord& record);
// The MARC record from the catalogue's MARC field lines alone, with the
// importer's changes undone (100 indicators and $h, "＄" for "$", the 792
// and 793 lines it adds) and a leader made from the record kind.
marc21::MarcRecord RebuildMarc(const Text& marc_lines, int16_t kind);

// The title of a 245 field as ISBD writes it: the title proper, its number
// and name of part after ". " (a name after a number after ", "), and its
// other title information after " : ", each without the punctuation the
// cataloguer keyed: "Eyjan í fjörunni : sönn saga".
std::string IsbdTitle(const marc21::MarcField& title_field);

// Empty when the record does not fit ISO 2709.  Iso2709ByYaz writes every
// record through YAZ's MARC writer; Iso2709 gives the same bytes.
std::string Iso2709(marc21::MarcRecord record);
std::string Iso2709ByYaz(const marc21::MarcRecord& record);
std::string MarcXml(const marc21::MarcRecord& record);
std::string DublinCore(const marc21::MarcRecord& record);
// The display texts of SkilaRSv, SkilaAN, SkilaEN and SkilaGF, as XML.
std::string DisplayXml(const StoredRecord& record, Faersla& faersla);

// Text for XML: & < > " escaped, characters XML cannot hold made blanks,
// carriage returns written as character references so that they survive.
std::string XmlText(const std::string& utf8);

}  // namespace kvistur::formats
