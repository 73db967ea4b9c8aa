// kvistur show ID: one catalogue record as a librarian reads it, from the
// catalogue named by the settings: the one-line description, the copies
// with their accession numbers ("*" marks a copy on loan), the subject
// headings and the contents.
#include <iostream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "command.h"
#include "kvistur/faersla.h"
#include "log_on.h"
#include "marc/description.h"
#include "marc/lists.h"
#include "marc/subfields.h"
#include "platform/engine.h"
#include "platform/open_database.h"
#include "record/record_fetch.h"
#include "settings/settings.h"
#include "settings/thread_state.h"

namespace kvistur::cli {
namespace {

using json = nlohmann::json;

std::string holding_line(const HoldingItem& h) {
  return (h.boolÍLáni == kTrue ? "*" : " ") + to_utf8(FormatHolding(h));
}

void print_text(const CatalogueRecord& r) {
  std::cout << "Record " << r.ID << " (kind " << r.Tag << (r.boolValin == kTrue ? ", selected" : "") << ")\n";
  std::cout << to_utf8(BuildDescription(r, 0)) << "\n";
  std::cout << "\nHoldings (* on loan):\n";
  if (r.Aðfanganúmer.empty()) std::cout << "  none\n";
  for (const HoldingItem& h : r.Aðfanganúmer) std::cout << "  " << holding_line(h) << "\n";
  std::cout << "\nSubjects:\n";
  if (r.Efnisorð.empty()) std::cout << "  none\n";
  for (const TermPair& t : r.Efnisorð) std::cout << "  " << to_utf8(FormatPair(t)) << "\n";
  std::cout << "\nContents:\n";
  if (r.Efnisyfirlit.empty()) std::cout << "  none\n";
  for (const ContentsEntry& c : r.Efnisyfirlit) std::cout << "  " << to_utf8(ContentsLine(c)) << "\n";
}

void print_json(const CatalogueRecord& r) {
  json holdings = json::array(), subjects = json::array(), contents = json::array();
  for (const HoldingItem& h : r.Aðfanganúmer)
    holdings.push_back({{"number", h.Númer},
                        {"note", to_utf8(h.Athugasemd)},
                        {"location", to_utf8(h.Staðsetning)},
                        {"onLoan", h.boolÍLáni == kTrue},
                        {"line", holding_line(h)}});
  for (const TermPair& t : r.Efnisorð) subjects.push_back(to_utf8(FormatPair(t)));
  for (const ContentsEntry& c : r.Efnisyfirlit) contents.push_back(to_utf8(ContentsLine(c)));
  json out = {{"id", r.ID},
              {"kind", r.Tag},
              {"selected", r.boolValin == kTrue},
              {"description", to_utf8(BuildDescription(r, 0))},
              {"holdings", holdings},
              {"subjects", subjects},
              {"contents", contents}};
  std::cout << out.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
}

}  // namespace

KVISTUR_COMMAND(cmd_show, "show", "show ID [--json] [--user NAME] [--password PW]",
                "print one record as a librarian reads it: description, holdings, subjects, contents") {
  Args a = args;
  bool as_json = take_flag(a, "--json");
  std::string user = "Admin", password;
  take_option(a, "--user", user);
  take_option(a, "--password", password);
  reject_unknown_options(a);
  if (a.size() != 1) throw UsageError(a.empty() ? "no record number given" : "one record number expected");
  long long id = parse_int(a[0], "the record number");
  if (id < INT32_MIN || id > INT32_MAX) throw UsageError("the record number must fit in 32 bits, not " + a[0]);

  Faersla f;
  log_on(f, user, password);
  CatalogueRecord r;
  try {
    // One call, as a host's method is: the record and its holdings are of
    // one state of the catalogue, on a server too.
    CallScope call;
    r = FærslaFráID(int32_t(id));
  } catch (const Error&) {
    std::string problem = catalogue_problem();
    if (problem.empty()) throw;
    throw std::runtime_error(problem);
  }
  if (r.ID == -1) {
    std::string problem = catalogue_problem();
    throw std::runtime_error(problem.empty() ? "record " + a[0] + " not found in " + file_path(catalogue_path())
                                             : problem);
  }
  if (as_json)
    print_json(r);
  else
    print_text(r);
  return 0;
}

}  // namespace kvistur::cli
