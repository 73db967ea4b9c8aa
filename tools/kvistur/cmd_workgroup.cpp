// kvistur workgroup: the users who may log on and their passwords.
#include <iostream>
#include <string>

#include "command.h"
#include "password_input.h"
#include "platform/sqlite_functions.h"
#include "platform/workgroup.h"

namespace kvistur::cli {
namespace {

void expect(const Args& a, std::size_t n, const char* what) {
  if (a.size() < n) throw UsageError(std::string(what) + " is missing");
  if (a.size() > n) throw UsageError("unexpected argument " + a[n]);
}

}  // namespace

KVISTUR_COMMAND(cmd_workgroup, "workgroup",
                "workgroup init FILE | add-user FILE NAME [--password PW] | set-password FILE NAME [--password PW] | "
                "remove-user FILE NAME | list FILE",
                "manage the workgroup file of users and password hashes") {
  Args a = args;
  std::string pw;
  bool given = take_option(a, "--password", pw);
  reject_unknown_options(a);
  if (a.empty()) throw UsageError("workgroup needs one of init, add-user, set-password, remove-user, list");
  std::string verb = a[0];
  a.erase(a.begin());
  bool with_user = verb == "add-user" || verb == "set-password" || verb == "remove-user";
  if (!with_user && verb != "init" && verb != "list") throw UsageError("unknown workgroup command '" + verb + "'");
  if (given && verb != "add-user" && verb != "set-password") throw UsageError("--password is for add-user and set-password");
  expect(a, with_user ? 2 : 1, a.empty() ? "the workgroup file" : "the user name");
  const std::string& file = a[0];
  if (verb == "init") {
    db::workgroup_init(file);
    std::cout << "created " << file << " with the user Admin (empty password)\n";
  } else if (verb == "list") {
    for (const Text& u : db::workgroup_users(file)) std::cout << to_utf8(u) << "\n";
  } else if (verb == "remove-user") {
    db::workgroup_remove_user(file, from_utf8(a[1]));
    std::cout << "removed " << a[1] << " from " << file << "\n";
  } else {
    // The name is looked for before the password is asked for, so that
    // nobody types a password twice only to be refused.
    std::string there;
    for (const Text& u : db::workgroup_users(file))
      if (db::fold_text(u) == db::fold_text(from_utf8(a[1]))) there = to_utf8(u);
    if (verb == "add-user" && !there.empty())
      throw std::runtime_error("there is a user " + there + " in " + file +
                               " already (kvistur workgroup set-password changes a password)");
    if (verb == "set-password" && there.empty()) throw std::runtime_error("there is no user " + a[1] + " in " + file);
    // The password given with --password, else typed.
    Text password = from_utf8(given ? pw : read_new_password(a[1]));
    if (verb == "add-user") {
      db::workgroup_add_user(file, from_utf8(a[1]), password);
      std::cout << "added " << a[1] << " to " << file << "\n";
    } else {
      db::workgroup_set_password(file, from_utf8(a[1]), password);
      std::cout << "changed the password of " << there << " in " << file << "\n";
    }
  }
  return 0;
}

}  // namespace kvistur::cli
