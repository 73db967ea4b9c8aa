#include "marc_input.h"

#include <algorithm>
#include <iostream>

#include "import/store/ordered_map.h"
#include "stage_progress.h"

namespace kvistur::cli {

MarcInput ReadMarcFiles(const std::vector<std::string>& files, const std::string& target) {
  MarcInput in;
  in.files = files;
  StageProgress progress("reading", 0);
  for (std::size_t k = 0; k < files.size(); ++k) {
    std::vector<marc21::ReadProblem> problems;
    try {
      marc21::MarcReader& reader = in.readers.emplace_back(files[k]);
      // The records are cut apart here; their values are checked on every
      // core after.
      const std::size_t first = in.records.size();
      while (auto r = reader.next_kept(problems, true)) {
        in.records.push_back({k, std::move(*r)});
        progress.Update(long(in.records.size()), (double(k) + reader.fraction()) / double(files.size()));
      }
      // In the order read: a record found wrong is dropped, and the last
      // record of a control number says what it is.
      std::size_t kept = first;
      import::MapInOrder<std::string>(
          in.records.size() - first, import::MappingHelpers(),
          [&](std::size_t i, std::string& bad) { bad = in.records[first + i].record.check(); },
          [&](std::size_t i, std::string& bad) {
            MarcInput::Read& r = in.records[first + i];
            if (!bad.empty()) {
              problems.push_back({r.record.position, std::move(bad)});
              return;
            }
            if (!r.record.control_number.empty()) {
              const int32_t number = in.control_numbers.emplace(r.record.control_number, int32_t(in.serial.size() + 1));
              if (std::size_t(number) > in.serial.size()) in.serial.push_back(false);
              in.serial[std::size_t(number) - 1] = r.record.level == 's';
            }
            // Only records already checked are moved: the others may be
            // being checked on another thread.
            if (kept != first + i) in.records[kept] = std::move(r);
            ++kept;
          });
      in.records.resize(kept);
    } catch (const marc21::UnreadableInput& e) {
      throw std::runtime_error(std::string(e.what()) + "; " + target + " is left as it was");
    }
    // Those found when cutting the records apart and those found checking
    // them, in the order of the file.
    std::stable_sort(problems.begin(), problems.end(),
                     [](const marc21::ReadProblem& a, const marc21::ReadProblem& b) { return a.position < b.position; });
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
