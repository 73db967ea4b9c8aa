// kvistur build: a catalogue from MARC records, or brought over from Jet
// files, ready to search.
#include <sqlite3.h>

#include <future>
#include <iostream>
#include <memory>
#include <optional>

#include "command.h"
#include "import/store/catalogue_writer.h"
#include "import/jet/jet_import.h"
#include "import/store/ordered_map.h"
#include "import/store/output.h"
#include "import/marc/record_writer.h"
#include "marc_input.h"
#include "server_credentials.h"
#include "stage_progress.h"

KVISTUR_COMMAND(cmd_build, "build", "build --marc FILE... --out DIR|URI | build --jet FILE... [--code-page N] --out DIR|URI",
                "make a catalogue (databases, settings, workgroup) from MARC records (ISO 2709 or MARCXML) or Jet files") {
  using namespace kvistur;
  using namespace kvistur::cli;
  std::vector<std::string> files, jet_files;
  std::string out;
  int code_page = 0;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--marc") {
      auto more = TakeFiles(args, i);
      files.insert(files.end(), more.begin(), more.end());
    } else if (args[i] == "--jet") {
      auto more = TakeFiles(args, i);
      jet_files.insert(jet_files.end(), more.begin(), more.end());
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
  if (files.empty() && jet_files.empty()) throw UsageError("--marc or --jet needs at least one file");
  if (out.empty()) throw UsageError("--out DIR is missing");
  refuse_credentials(out);
  if (!jet_files.empty()) {
    if (!files.empty()) throw UsageError("--marc and --jet cannot be used together");
    return import::BuildFromJet(jet_files, out, code_page, std::cout, std::cerr);
  }

  // SQLite's count of the memory it holds takes a lock at every
  // allocation; nothing in a build reads it.  Only possible before SQLite's
  // first use in the process (otherwise it stays on).
  sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
  auto input = std::make_unique<MarcInput>(ReadMarcFiles(files, out));
  MarcInput& in = *input;

  // The new files are written beside the old ones and moved into place only
  // when all is written: a failed build leaves the catalogue that was there.
  import::CatalogueOutput output(out);
  auto writing = std::make_unique<import::CatalogueWriter>(output.folder());
  import::CatalogueWriter& writer = *writing;
  writer.Expect(in.records.size());
  long written = 0, skipped = in.problems;
  {
    // Records are mapped on every core and written in the order read; a
    // record that cannot be mapped is skipped, but a write that fails ends
    // the build (the catalogue could not be finished).
    StageProgress progress("cataloguing", long(in.records.size()));
    struct Mapped {
      std::optional<import::ImportedRecord> row;
      std::string error;
    };
    auto outside = [](const std::string&) { return false; };
    import::MapInOrder<Mapped>(
        in.records.size(), import::MappingHelpers(),
        [&](std::size_t i, Mapped& out) {
          thread_local marc21::MarcRecord scratch;
          const marc21::MarcRecord& m = in.records[i].record.record(scratch);
          out.row.reset();
          out.error.clear();
          try {
            out.row = import::MapRecord(m, in.host_is_serial(m, outside));
            // What the writer does not need is freed here, on the thread
            // that made it.
            writer.Trim(*out.row);
          } catch (const std::exception& e) {
            out.error = e.what();
          }
        },
        [&](std::size_t i, Mapped& mapped) {
          if (mapped.row) {
            writer.Add(std::move(*mapped.row));
            ++written;
          } else {
            std::cerr << in.files[in.records[i].file] << ": record " << in.records[i].record.position << ": " << mapped.error
                      << ", skipped\n";
            ++skipped;
          }
          progress.Update(written + skipped - in.problems);
        });
    progress.Done(written);
  }
  if (written == 0) {
    std::cerr << "kvistur build: no record could be written; " << output.target() << " is left as it was\n";
    return 1;
  }
  // The workgroup (a password hash) is written on another core while the
  // writer finishes on this one; waited for, if need be, however this ends.
  std::future<void> workgroup = std::async(std::launch::async, [&output] { output.StageWorkgroup(); });
  std::unique_ptr<StageProgress> stage;
  std::string stage_name;
  long stage_done = 0;
  int orphans = writer.Finish([&](const char* name, long done, long total) {
    if (stage_name != name) {
      if (stage) stage->Done(stage_done);
      stage_name = name;
      stage = std::make_unique<StageProgress>(name, total, total ? "rows" : "");
    }
    stage_done = done;
    stage->Update(done);
  });
  if (stage) stage->Done(stage_done);
  if (orphans) std::cerr << "kvistur build: " << orphans << " component parts name a host that is not in the input\n";
  workgroup.get();
  output.Commit();
  std::cout << "read " << (long(in.records.size()) + in.problems) << ", written " << written << ", skipped " << skipped
            << " (" << writer.words() << " words) into " << output.target() << "\n";
  // The records read and what the writer kept of them are given back with
  // the rest of the process's memory when it ends: freed one allocation
  // at a time they took up to a second at a million records.  Held here,
  // they are not taken for lost either.
  static MarcInput* input_at_exit = input.release();
  static import::CatalogueWriter* writer_at_exit = writing.release();
  (void)input_at_exit;
  (void)writer_at_exit;
  return 0;
}
