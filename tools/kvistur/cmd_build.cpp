// kvistur build: a catalogue from MARC records, or brought over from Jet
// files, ready to search.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>

#include "command.h"
#include "import/catalogue_writer.h"
#include "import/jet_import.h"
#include "import/marc_reader.h"
#include "import/output.h"
#include "import/record_writer.h"
#include "import/word_index.h"

KVISTUR_COMMAND(cmd_build, "build", "build --marc FILE... --out DIR | build --jet FILE... [--code-page N] --out DIR|URI",
                "make a catalogue (databases, settings, workgroup) from MARC records (ISO 2709 or MARCXML) or Jet files") {
  using namespace kvistur;
  using namespace kvistur::cli;
  std::vector<std::string> files, jet_files;
  std::string out;
  int code_page = 0;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--marc") {
      while (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) files.push_back(args[++i]);
    } else if (args[i] == "--jet") {
      while (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) jet_files.push_back(args[++i]);
    } else if (args[i] == "--code-page") {
      if (i + 1 >= args.size()) throw UsageError("--code-page needs a number");
      code_page = int(parse_int(args[++i], "--code-page"));
    } else if (args[i] == "--out") {
      if (i + 1 >= args.size()) throw UsageError("--out needs a folder");
      out = args[++i];
    } else {
      throw UsageError("unknown argument " + args[i]);
    }
  }
  if (out.empty()) throw UsageError("--out DIR is missing");
  if (!jet_files.empty()) {
    if (!files.empty()) throw UsageError("--marc and --jet cannot be used together");
    return import::BuildFromJet(jet_files, out, code_page, std::cout, std::cerr);
  }
  if (files.empty()) throw UsageError("--marc needs at least one file");

  // Read everything first: component parts may come before their hosts, and
  // an article's kind depends on whether its host is a periodical.
  struct Read {
    std::string file;
    import::MarcRecord record;
  };
  std::vector<Read> records;
  long problems_count = 0;
  for (auto& file : files) {
    import::MarcReader reader(file);
    std::vector<import::ReadProblem> problems;
    while (auto r = reader.next(problems)) records.push_back({file, std::move(*r)});
    for (auto& p : problems) std::cerr << file << ": " << p.message << ", skipped\n";
    problems_count += long(problems.size());
  }
  std::map<std::string, bool> serial;
  for (auto& r : records) {
    std::string id = r.record.control("001");
    if (!id.empty()) serial[id] = r.record.leader_at(7) == 's';
  }

  // The new files are written beside the old ones and moved into place only
  // when all is written: a failed build leaves the catalogue that was there.
  import::CatalogueOutput output(out);
  import::CatalogueWriter writer(output.folder());
  long written = 0, skipped = problems_count;
  for (auto& r : records) {
    try {
      const import::MarcField* f773 = r.record.first("773");
      bool host_serial = f773 && serial.count(f773->sub('w')) && serial[f773->sub('w')];
      import::ImportedRecord row = import::MapRecord(r.record, host_serial);
      writer.Add(row, import::RecordWords(r.record));
      ++written;
    } catch (const std::exception& e) {
      std::cerr << r.file << ": record " << r.record.position << ": " << e.what() << ", skipped\n";
      ++skipped;
    }
  }
  if (written == 0) {
    std::cerr << "kvistur build: no record could be written; " << output.target() << " is left as it was\n";
    return 1;
  }
  int orphans = writer.Finish();
  if (orphans) std::cerr << "kvistur build: " << orphans << " component parts name a host that is not in the input\n";
  output.Commit();
  std::cout << "read " << (long(records.size()) + problems_count) << ", written " << written << ", skipped " << skipped
            << " (" << writer.words() << " words) into " << output.target() << "\n";
  return 0;
}
