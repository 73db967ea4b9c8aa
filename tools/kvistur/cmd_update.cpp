// kvistur update: the day's new, changed and deleted records applied to a
// catalogue in place, in one transaction, while hosts go on searching.
#include <csignal>
#include <filesystem>
#include <iostream>
#include <optional>

#include "catalogue_file.h"
#include "catalogue_schema.h"
#include "command.h"
#include "import/catalogue_writer.h"
#include "import/output.h"
#include "import/server_load.h"
#include "import/update.h"
#include "marc_input.h"
#include "platform/postgres_sql.h"
#include "server_credentials.h"
#include "stage_progress.h"

namespace {

volatile std::sig_atomic_t g_interrupted = 0;
void on_interrupt(int) { g_interrupted = 1; }

}  // namespace

KVISTUR_COMMAND(cmd_update, "update", "update --marc FILE... CATALOGUE_DIR|URI[\\katalogur]",
                "apply new, changed and deleted MARC records (matched by 001/003) to a catalogue in place") {
  using namespace kvistur;
  using namespace kvistur::cli;
  std::vector<std::string> files, rest;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--marc") {
      auto more = TakeFiles(args, i);
      files.insert(files.end(), more.begin(), more.end());
    } else if (args[i].rfind("--", 0) == 0) {
      throw UsageError("unknown argument " + args[i]);
    } else {
      rest.push_back(args[i]);
    }
  }
  // The catalogue is the last word; with none after the files, the last file.
  if (rest.empty() && !files.empty()) rest.push_back(files.back()), files.pop_back();
  if (rest.size() != 1) throw UsageError("give one catalogue folder (or catalogue file) after the MARC files");
  if (files.empty()) throw UsageError("--marc needs at least one file");
  refuse_credentials(rest[0]);
  namespace fs = std::filesystem;
  // On a server the update works on a copy of the catalogue's schema and
  // writes what it changed back in one transaction.
  std::optional<import::ServerCatalogueUpdate> server;
  std::optional<import::FolderLock> lock;
  fs::path catalogue, folder;
  auto where = db::pg::split_server_path(from_utf8(rest[0]));
  if (!where) {
    CatalogueFile target = catalogue_file(rest[0]);
    catalogue = target.file;
    folder = target.folder;
    if (!fs::is_regular_file(catalogue)) throw std::runtime_error("no such file: " + catalogue.string());
  }
  MarcInput in = ReadMarcFiles(files, rest[0]);
  if (where) {
    server.emplace(where->uri, catalogue_schema(where->schema));
    catalogue = server->file();
  } else {
    lock.emplace(folder.string());
  }
  import::CatalogueUpdate update(catalogue.string());
  const std::string shown = server ? rest[0] : catalogue.string();

  // Ctrl-C or a kill ends the update between two records, rolled back.
  struct sigaction sa {}, old_int {}, old_term {}, old_hup {};
  sa.sa_handler = on_interrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, &old_int);
  sigaction(SIGTERM, &sa, &old_term);
  sigaction(SIGHUP, &sa, &old_hup);

  long added = 0, replaced = 0, deleted = 0, skipped = in.problems;
  StageProgress progress("applying", long(in.records.size()));
  long done = 0;
  import::MarcRecord scratch;
  for (auto& r : in.records) {
    if (g_interrupted) throw std::runtime_error("interrupted; " + shown + " is left as it was");
    std::string why;
    const import::MarcRecord& m = r.record.record(scratch);
    bool serial = in.host_is_serial(m, [&](const std::string& c) { return update.IsSerial(c); });
    switch (update.Apply(m, serial, why)) {
      case import::UpdateOutcome::kAdded: ++added; break;
      case import::UpdateOutcome::kReplaced: ++replaced; break;
      case import::UpdateOutcome::kDeleted: ++deleted; break;
      case import::UpdateOutcome::kSkipped:
        ++skipped;
        std::cerr << in.files[r.file] << ": record " << r.record.position << ": " << why << ", skipped\n";
        break;
    }
    progress.Update(++done);
  }
  progress.Done(done);
  if (added + replaced + deleted == 0) {
    std::cerr << "kvistur update: no record could be applied; " << shown << " is left as it was\n";
    return 1;
  }
  if (g_interrupted) throw std::runtime_error("interrupted; " + shown + " is left as it was");
  StageProgress committing("committing", 0, "changes");
  update.Commit();
  if (server) server->Commit(nullptr);
  committing.Done(added + replaced + deleted);
  sigaction(SIGINT, &old_int, nullptr);
  sigaction(SIGTERM, &old_term, nullptr);
  sigaction(SIGHUP, &old_hup, nullptr);
  std::cout << "added " << added << ", replaced " << replaced << ", deleted " << deleted << ", skipped " << skipped
            << " in " << shown << "\n";
  return 0;
}
