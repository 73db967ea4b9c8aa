// kvistur generate: a synthetic catalogue of any size, or the same records
// as a MARC file, for benchmarks.
#include <chrono>
#include <filesystem>
#include <iostream>

#include "command.h"
#include "import/catalogue_writer.h"
#include "import/generate.h"
#include "import/output.h"

KVISTUR_COMMAND(cmd_generate, "generate", "generate --records N (--out DIR|URI | --marc FILE) [--seed S] [--words FILE]",
                "write a synthetic catalogue (or its records as ISO 2709) with a Zipf-like Icelandic vocabulary") {
  using namespace kvistur::cli;
  Args a = args;
  std::string n, out, marc, seed, words;
  if (!take_option(a, "--records", n)) throw UsageError("--records N is missing");
  bool to_catalogue = take_option(a, "--out", out), to_file = take_option(a, "--marc", marc);
  if (!to_catalogue && !to_file) throw UsageError("--out DIR or --marc FILE is missing");
  kvistur::import::GenerateOptions options;
  options.records = long(parse_int(n, "--records"));
  if (options.records < 1 || options.records > 100000000) throw UsageError("--records must be between 1 and 100000000");
  if (take_option(a, "--seed", seed)) options.seed = unsigned(parse_int(seed, "--seed"));
  if (take_option(a, "--words", words)) options.word_list = words;
  else if (std::filesystem::exists("/usr/share/hunspell/is.dic")) options.word_list = "/usr/share/hunspell/is.dic";
  if (!a.empty()) throw UsageError("unknown argument " + a[0]);
  auto start = std::chrono::steady_clock::now();
  auto progress = [&](long done) {
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cerr << "generated " << done << " of " << options.records << " records (" << long(s) << " s)\n";
  };
  if (to_file) {
    kvistur::import::GenerateMarcFile(marc, options, progress);
    std::cout << "wrote " << options.records << " records into " << marc << "\n";
  }
  if (to_catalogue) {
    start = std::chrono::steady_clock::now();
    kvistur::import::CatalogueOutput output(out);
    kvistur::import::GenerateCatalogue(output.folder(), options, progress);
    output.Commit();
    std::cout << "wrote " << options.records << " records into " << output.target() << "\n";
  }
  return 0;
}
