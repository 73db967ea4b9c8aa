#include "marc_input.h"

#include <iostream>

#include "stage_progress.h"

namespace kvistur::cli {

MarcInput ReadMarcFiles(const std::vector<std::string>& files, const std::string& target) {
  MarcInput in;
  in.files = files;
  StageProgress progress("reading", 0);
  for (std::size_t k = 0; k < files.size(); ++k) {
    std::vector<import::ReadProblem> problems;
    try {
      import::MarcReader& reader = in.readers.emplace_back(files[k]);
      while (auto r = reader.next_kept(problems)) {
        // The last record of a control number says what it is.
        if (!r->control_number.empty()) in.serial[r->control_number] = r->level == 's';
        in.records.push_back({k, std::move(*r)});
        progress.Update(long(in.records.size()), (double(k) + reader.fraction()) / double(files.size()));
      }
    } catch (const import::UnreadableInput& e) {
      throw std::runtime_error(std::string(e.what()) + "; " + target + " is left as it was");
    }
    for (auto& p : problems) std::cerr << files[k] << ": " << p.message << ", skipped\n";
    in.problems += long(problems.size());
  }
  progress.Done(long(in.records.size()));
  return in;
}

std::vector<std::string> TakeFiles(const std::vector<std::string>& args, std::size_t& i) {
  std::vector<std::string> files;
  while (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) files.push_back(args[++i]);
  return files;
}

}  // namespace kvistur::cli
