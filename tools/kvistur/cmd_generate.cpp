// kvistur generate: a synthetic catalogue of any size, or the same records
// as a MARC file, for benchmarks.
#include <chrono>
#include <climits>
#include <filesystem>
#include <iostream>

#include "command.h"
#include "import/store/catalogue_writer.h"
#include "import/marc/generate.h"
#include "import/store/output.h"
#include "server_credentials.h"

namespace {

// The most records one command makes.
constexpr long kMaxRecords = 100000000;
// The vocabulary when --words names none: Debian's Icelandic dictionary.
constexpr char kHunspellWords[] = "/usr/share/hunspell/is.dic";

}  // namespace

KVISTUR_COMMAND(cmd_generate, "generate", "generate --records N (--out DIR|URI | --marc FILE) [--seed S] [--words FILE]",
                "write a synthetic catalogue (or its records as ISO 2709) with a Zipf-like Icelandic vocabulary") {
  using namespace kvistur::cli;
  Args a = args;
  std::string n, out, marc, seed, words;
  bool given_records = take_option(a, "--records", n);
  bool to_catalogue = take_option(a, "--out", out), to_file = take_option(a, "--marc", marc);
  bool given_seed = take_option(a, "--seed", seed), given_words = take_option(a, "--words", words);
  reject_unknown_options(a);
  if (!a.empty()) throw UsageError("unknown argument " + a[0]);
  if (!given_records) throw UsageError("--records N is missing");
  if (!to_catalogue && !to_file) throw UsageError("--out DIR or --marc FILE is missing");
  if (to_catalogue && to_file) throw UsageError("--out and --marc cannot be used together");
  if (to_catalogue) refuse_credentials(out);
  kvistur::import::GenerateOptions options;
  options.records = long(parse_int(n, "--records"));
  if (options.records < 1 || options.records > kMaxRecords)
    throw UsageError("--records must be between 1 and " + std::to_string(kMaxRecords));
  if (given_seed) {
    long long s = parse_int(seed, "--seed");
    if (s < 0 || s > UINT_MAX) throw UsageError("--seed must be between 0 and " + std::to_string(UINT_MAX));
    options.seed = unsigned(s);
  }
  if (given_words) options.word_list = words;
  else if (std::filesystem::exists(kHunspellWords)) options.word_list = kHunspellWords;
  auto start = std::chrono::steady_clock::now();
  auto progress = [&](long done) {
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cerr << "generated " << done << " of " << options.records << " records (" << long(s) << " s)\n";
  };
  if (to_file) {
    kvistur::import::GenerateMarcFile(marc, options, progress);
    std::cout << "wrote " << options.records << " records into " << marc << "\n";
    return 0;
  }
  kvistur::import::CatalogueOutput output(out);
  kvistur::import::GenerateCatalogue(output.folder(), options, progress);
  output.Commit();
  std::cout << "wrote " << options.records << " records into " << output.target() << "\n";
  return 0;
}
