// The print commands' shared part: log-on, the layout, the document.
#include "print_output.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "command.h"
#include "kvistur/faersla.h"
#include "log_on.h"
#include "print/rtf_document.h"
#include "settings/settings.h"
#include "settings/thread_state.h"

namespace kvistur::cli {
namespace {

bool is_list_type_line(const std::string& line) {
  std::size_t eq = line.find('=');
  if (eq == std::string::npos) return false;
  std::string key = line.substr(0, eq);
  key.erase(0, key.find_first_not_of(' '));
  key.erase(key.find_last_not_of(' ') + 1);
  if (key.size() != 11) return false;
  for (std::size_t i = 0; i < key.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(key[i])) != "listategund"[i]) return false;
  return true;
}

void write_file(const std::string& path, const std::string& data) {
  std::ofstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
  f << data;
  if (!f.flush()) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
}

// Points LINDRIT_SETTINGS at a copy of the settings file whose
// Prentun/ListaTegund is the given type, for as long as it lives.
class ListTypeOverride {
 public:
  explicit ListTypeOverride(int type) {
    original_ = settings_path();
    std::ifstream in(original_, std::ios::binary);
    std::stringstream copy;
    std::string line;
    bool first = true;
    while (std::getline(in, line)) {
      if (first && (line.rfind("REGEDIT4", 0) == 0 || line.rfind("Windows Registry Editor", 0) == 0))
        throw std::runtime_error("--type needs an INI settings file, not a registry export: " + original_);
      first = false;
      if (!is_list_type_line(line)) copy << line << "\n";
    }
    copy << "\n[Prentun]\nListaTegund=" << type << "\n";
    char name[] = "/tmp/kvistur-print-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) throw std::runtime_error(std::string("cannot make a temporary settings file: ") + std::strerror(errno));
    close(fd);
    path_ = name;
    // A copy cut short (a full disk) would print with other settings than
    // the library's, or fail for a reason that is not the real one.
    try {
      write_file(path_, copy.str());
    } catch (...) {
      std::error_code ec;
      std::filesystem::remove(path_, ec);
      throw;
    }
    const char* old = std::getenv("LINDRIT_SETTINGS");
    had_env_ = old != nullptr;
    if (old) old_env_ = old;
    setenv("LINDRIT_SETTINGS", path_.c_str(), 1);
  }
  ~ListTypeOverride() {
    if (had_env_) setenv("LINDRIT_SETTINGS", old_env_.c_str(), 1);
    else unsetenv("LINDRIT_SETTINGS");
    std::error_code ec;
    std::filesystem::remove(path_, ec);
  }
  ListTypeOverride(const ListTypeOverride&) = delete;
  ListTypeOverride& operator=(const ListTypeOverride&) = delete;

 private:
  std::string original_, path_, old_env_;
  bool had_env_ = false;
};

}  // namespace

PrintOptions take_print_options(std::vector<std::string>& args) {
  PrintOptions o;
  std::string value;
  bool text = take_flag(args, "--text");
  bool rtf = take_option(args, "--rtf", o.rtf_file);
  if (text && rtf) throw UsageError("--text and --rtf cannot be used together");
  if (rtf && o.rtf_file.empty()) throw UsageError("--rtf needs a file name");
  o.format = text ? PrintFormat::kText : rtf ? PrintFormat::kRtf : PrintFormat::kMarked;
  if (take_option(args, "--type", value)) {
    long long t = parse_int(value, "--type");
    if (t < -32768 || t > 32767) throw UsageError("--type must be between -32768 and 32767");
    o.list_type = int(t);
  }
  take_option(args, "--user", o.user);
  take_option(args, "--password", o.password);
  return o;
}

int print_records(const std::vector<int32_t>& ids, const PrintOptions& options, std::ostream& out) {
  // Before --type points the settings at a copy, so that what is said
  // names the library's own file.
  if (!options.logged_on)
    if (std::string problem = settings_problem(); !problem.empty()) throw std::runtime_error(problem);
  std::optional<ListTypeOverride> type_override;
  if (options.list_type) type_override.emplace(*options.list_type);

  Faersla f;
  if (!options.logged_on) log_on(f, options.user, options.password);

  std::vector<int32_t> numbers{0};
  numbers.insert(numbers.end(), ids.begin(), ids.end());
  SafeArray<int32_t> lID(0, numbers);
  SafeArray<int16_t> iTag;
  SafeArray<Text> szA1, szA2, szA3;
  auto control = std::make_shared<RtfControl>();
  Variant vCtrl = options.format == PrintFormat::kText ? Variant(int16_t(1))
                                                        : Variant(std::static_pointer_cast<Dispatch>(control));
  int32_t result = f.FormaFyrirPrentun(vCtrl, lID, iTag, szA1, szA2, szA3);
  if (result < 0)
    throw std::runtime_error("the records could not be laid out: " + failure_reason());

  // Which records gave nothing: each record starts one line, subject
  // lines (kind 4) follow their entry.
  int not_printed = 0;
  for (int32_t k = 1, j = 0; iTag.allocated() && k <= iTag.ubound(); ++k) {
    if (iTag(k) == 4) continue;
    if (iTag(k) == -1 && j < int32_t(ids.size())) {
      std::cerr << "kvistur " << options.command << ": record " << ids[j]
                << " is not printed (no such record, or of a kind that is not printed)\n";
      ++not_printed;
    }
    ++j;
  }

  switch (options.format) {
    case PrintFormat::kText:
      for (int32_t k = 1; iTag.allocated() && k <= iTag.ubound(); ++k) {
        if (iTag(k) == -1) continue;
        out << to_utf8(szA1(k)) << "\t" << to_utf8(szA2(k)) << "\n";
      }
      break;
    case PrintFormat::kRtf:
      if (options.rtf_file == "-") out << control->rtf();
      else write_file(options.rtf_file, control->rtf());
      break;
    case PrintFormat::kMarked:
      out << control->marked_text();
      break;
  }
  return not_printed;
}

}  // namespace kvistur::cli
