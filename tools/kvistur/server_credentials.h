// A PostgreSQL URI on the command line never carries a user or a password:
// they would stay in the shell's history, show in the process list and be
// printed back.  The role that writes comes from the environment (PGUSER,
// PGPASSWORD) or a password file (~/.pgpass).
#pragma once

#include <stdexcept>
#include <string>

#include "kvistur/text.h"
#include "platform/postgres_sql.h"

namespace kvistur::cli {

// Throws std::runtime_error, naming TARGET without its credentials, when
// TARGET is a server URI that carries a user or a password.
inline void refuse_credentials(const std::string& target) {
  if (!db::pg::is_server_path(from_utf8(target))) return;
  std::string shown = db::pg::without_credentials(target);
  if (shown == target) return;
  throw std::runtime_error("the URI " + shown +
                           " may not carry a user or a password: give the role in PGUSER and its password in "
                           "PGPASSWORD or ~/.pgpass");
}

}  // namespace kvistur::cli
