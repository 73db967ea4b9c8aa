#include "import/marc/generate.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <stdexcept>

#include "import/store/catalogue_writer.h"
#include "marc21/marc_reader.h"
#include "marc21/marc_writer.h"
#include "import/marc/record_writer.h"
#include "import/marc/word_index.h"
#include "kvistur/text.h"

namespace kvistur::import {

using marc21::MarcSubfield;
using marc21::MarcField;
using marc21::MarcRecord;
using marc21::valid_utf8_text;
using marc21::WriteIso2709;

namespace {

const char* const kOnsets[] = {"b", "d", "f", "g", "h", "j", "k", "l", "m", "n", "p", "r", "s", "t", "v", "þ",
                               "br", "dr", "fl", "gr", "hr", "kl", "kr", "sk", "sn", "st", "sv", "tr", "hv", ""};
const char* const kVowels[] = {"a", "á", "e", "é", "i", "í", "o", "ó", "u", "ú", "y", "ý", "æ", "ö", "au", "ei", "ey"};
const char* const kCodas[] = {"", "", "r", "n", "ll", "nn", "rð", "st", "g", "k", "ð", "m", "s", "rn", "lf", "nd"};
const char* const kEndings[] = {"", "ur", "a", "i", "ar", "ir", "um", "inn", "in", "ið", "anna", "sson", "dóttir"};

template <std::size_t N>
const char* pick(const char* const (&a)[N], std::mt19937& rng) {
  return a[rng() % N];
}

std::vector<std::string> syllable_words(long n, std::mt19937& rng) {
  std::set<std::string> seen;
  std::vector<std::string> out;
  long attempts = 0;
  while (long(out.size()) < n && attempts < n * 20) {
    ++attempts;
    int syllables = 1 + int(rng() % 3);
    std::string w;
    for (int s = 0; s < syllables; ++s) w += std::string(pick(kOnsets, rng)) + pick(kVowels, rng) + pick(kCodas, rng);
    w += pick(kEndings, rng);
    if (w.size() < 2 || !seen.insert(w).second) continue;
    out.push_back(w);
  }
  return out;
}

// Samples ranks 0..n-1 with weight 1/(rank+1)^1.05.
class Zipf {
 public:
  explicit Zipf(std::size_t n) : cumulative_(n) {
    double total = 0;
    for (std::size_t i = 0; i < n; ++i) cumulative_[i] = total += 1.0 / std::pow(double(i + 1), 1.05);
  }
  std::size_t operator()(std::mt19937& rng) const {
    double x = std::uniform_real_distribution<double>(0, cumulative_.back())(rng);
    return std::size_t(std::lower_bound(cumulative_.begin(), cumulative_.end(), x) - cumulative_.begin());
  }

 private:
  std::vector<double> cumulative_;
};

std::string capital(const std::string& w) {
  if (w.empty()) return w;
  unsigned char c = w[0];
  if (c >= 'a' && c <= 'z') return std::string(1, char(c - 32)) + w.substr(1);
  return w;
}

MarcField field(const std::string& tag, char i1, char i2, std::vector<MarcSubfield> subs) {
  MarcField f;
  f.tag = tag;
  f.ind1 = i1;
  f.ind2 = i2;
  f.subfields = std::move(subs);
  return f;
}

}  // namespace

std::vector<std::string> GenerateVocabulary(const GenerateOptions& options) {
  std::mt19937 rng(options.seed);
  std::vector<std::string> words;
  if (!options.word_list.empty()) {
    std::ifstream in(options.word_list);
    if (!in) throw std::runtime_error("cannot read the word list " + options.word_list);
    std::string line;
    std::set<std::string> seen;
    while (std::getline(in, line)) {
      auto slash = line.find('/');
      if (slash != std::string::npos) line.resize(slash);
      while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
      if (line.empty() || line.find_first_not_of("0123456789") == std::string::npos) continue;
      if (!valid_utf8_text(line)) continue;
      for (auto& w : SplitWords(line))
        if (seen.insert(w).second) words.push_back(w);
    }
    if (words.size() < 100) throw std::runtime_error("the word list " + options.word_list + " has fewer than 100 words");
    std::shuffle(words.begin(), words.end(), rng);
  } else {
    if (options.vocabulary < 100) throw std::runtime_error("the vocabulary needs at least 100 words");
    words = syllable_words(options.vocabulary, rng);
  }
  return words;
}

void GenerateRecords(const GenerateOptions& options, const std::function<void(const MarcRecord&)>& each) {
  if (options.records < 1) throw std::runtime_error("the number of records must be at least 1");
  std::vector<std::string> vocab = GenerateVocabulary(options);
  Zipf zipf(vocab.size());
  std::mt19937 rng(options.seed * 7919u + 1);
  auto word = [&] { return vocab[zipf(rng)]; };
  auto words = [&](int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += (i ? " " : "") + word();
    return s;
  };
  // A pool of authors and publishers, so that names repeat as in a catalogue.
  std::vector<std::string> authors, publishers;
  for (int i = 0; i < 5000; ++i) authors.push_back(capital(word()) + " " + capital(word()) + (i % 2 ? "sson" : "dóttir"));
  for (int i = 0; i < 200; ++i) publishers.push_back(capital(word()) + " " + capital(word()));
  const char* places[] = {"Reykjavík", "Akureyri", "Hafnarfjörður", "Ísafjörður", "Selfoss"};
  const char* locations[] = {"Skáldsögur", "Fræðirit", "Barnadeild", "Ljóð", "Handbækur"};

  int32_t accession = 100000;
  for (long i = 1; i <= options.records; ++i) {
    MarcRecord m;
    m.leader = "00000nam a2200000 a 4500";
    // Mostly books, with every other kind of material among them (from the
    // record's number, so that the random draws stay as they were).
    static constexpr char kTypes[] = "aaaaaaaaaaaaaaijgemc";
    m.leader[6] = kTypes[i % (sizeof kTypes - 1)];
    MarcField f001;
    f001.tag = "001";
    f001.data = "g" + std::to_string(i);
    m.fields.push_back(f001);
    std::string year = std::to_string(1900 + int(rng() % 126));
    if (rng() % 3) m.fields.push_back(field("020", ' ', ' ', {{'a', "978-9979-" + std::to_string(100000 + i)}}));
    const std::string& author = authors[rng() % authors.size()];
    m.fields.push_back(field("090", ' ', ' ', {{'a', std::to_string(rng() % 1000)}, {'b', to_utf8(from_utf8(author).substr(0, 3))}}));
    m.fields.push_back(field("100", '0', ' ', {{'a', author}}));
    std::vector<MarcSubfield> title = {{'a', capital(words(1 + int(rng() % 4)))}};
    if (rng() % 2) title.push_back({'b', words(1 + int(rng() % 3))});
    title.push_back({'c', author});
    m.fields.push_back(field("245", '1', '0', title));
    m.fields.push_back(field("260", ' ', ' ',
                             {{'a', places[rng() % 5]}, {'b', publishers[rng() % publishers.size()]}, {'c', year}}));
    m.fields.push_back(field("300", ' ', ' ', {{'a', std::to_string(20 + rng() % 600) + " s."}, {'c', "22 sm"}}));
    int subjects = int(rng() % 4);
    for (int s = 0; s < subjects; ++s) m.fields.push_back(field("650", ' ', '4', {{'a', capital(words(1 + int(rng() % 2)))}}));
    if (rng() % 4 == 0) m.fields.push_back(field("520", ' ', ' ', {{'a', words(8 + int(rng() % 12))}}));
    if (rng() % 10 == 0) m.fields.push_back(field("490", '0', ' ', {{'a', capital(words(2))}, {'v', std::to_string(rng() % 40)}}));
    if (rng() % 8 == 0) m.fields.push_back(field("700", '0', ' ', {{'a', authors[rng() % authors.size()]}}));
    int copies = 1 + int(rng() % 3);
    for (int c = 0; c < copies; ++c) {
      accession += 1 + int(rng() % 5);
      std::vector<MarcSubfield> s = {{'a', rng() % 3 ? "1" : "2"}, {'b', locations[rng() % 5]}, {'p', std::to_string(accession)}};
      if (rng() % 5 == 0) s.push_back({'9', std::to_string(1 + rng() % 9000)});
      m.fields.push_back(field("852", ' ', ' ', s));
    }
    each(m);
  }
}

void GenerateCatalogue(const std::string& dir, const GenerateOptions& options,
                       const std::function<void(long done)>& progress) {
  CatalogueWriter writer(dir);
  long done = 0;
  GenerateRecords(options, [&](const MarcRecord& m) {
    writer.Add(MapRecord(m, false));
    if (++done % 10000 == 0 || done == options.records) progress(done);
  });
  writer.Finish();
}

void GenerateMarcFile(const std::string& file, const GenerateOptions& options,
                      const std::function<void(long done)>& progress) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + file + ": " + std::strerror(errno));
  long done = 0;
  GenerateRecords(options, [&](const MarcRecord& m) {
    out << WriteIso2709(m);
    if (++done % 10000 == 0 || done == options.records) progress(done);
  });
  if (!out.flush()) throw std::runtime_error("cannot write " + file + ": " + std::strerror(errno));
}

}  // namespace kvistur::import
