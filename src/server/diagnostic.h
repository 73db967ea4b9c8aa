// A diagnostic a request is answered with, and the refusal that carries it
// out of the middle of a request's work to the handler that answers.
#pragma once

#include <string>
#include <utility>

namespace kvistur::server {

struct Diagnostic {
  int code = 0;  // Bib-1; 0 when all is well (YAZ gives SRU clients its SRU equivalent)
  std::string addinfo;
};

struct Refusal {
  Diagnostic diagnostic;
};

[[noreturn]] inline void refuse(int code, std::string addinfo = {}) {
  throw Refusal{Diagnostic{code, std::move(addinfo)}};
}

}  // namespace kvistur::server
