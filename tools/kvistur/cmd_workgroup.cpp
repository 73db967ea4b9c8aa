// kvistur workgroup: the users who may log on and their passwords.
#include <iostream>
#include <string>

#include "command.h"
#include "platform/workgroup.h"

namespace kvistur::cli {
namespace {

std::string password_from(Args& args) {
  std::string pw;
  if (take_option(args, "--password", pw)) return pw;
  std::getline(std::cin, pw);
  if (!pw.empty() && pw.back() == '\r') pw.pop_back();
  return pw;
}

}  // namespace

KVISTUR_COMMAND(cmd_workgroup, "workgroup",
                "workgroup init FILE | add-user FILE NAME [--password PW] | remove-user FILE NAME | list FILE",
                "manage the workgroup file of users and password hashes") {
  Args a = args;
  if (a.empty()) throw UsageError("workgroup needs one of init, add-user, remove-user, list");
  std::string verb = a[0];
  a.erase(a.begin());
  if (verb == "init") {
    if (a.size() != 1) throw UsageError("usage: kvistur workgroup init FILE");
    db::workgroup_init(a[0]);
    std::cout << "created " << a[0] << " with the user Admin (empty password)\n";
    return 0;
  }
  if (verb == "add-user") {
    std::string pw = password_from(a);
    if (a.size() != 2) throw UsageError("usage: kvistur workgroup add-user FILE NAME [--password PW]");
    db::workgroup_set_user(a[0], from_utf8(a[1]), from_utf8(pw));
    return 0;
  }
  if (verb == "remove-user") {
    if (a.size() != 2) throw UsageError("usage: kvistur workgroup remove-user FILE NAME");
    db::workgroup_remove_user(a[0], from_utf8(a[1]));
    return 0;
  }
  if (verb == "list") {
    if (a.size() != 1) throw UsageError("usage: kvistur workgroup list FILE");
    for (const Text& u : db::workgroup_users(a[0])) std::cout << to_utf8(u) << "\n";
    return 0;
  }
  throw UsageError("unknown workgroup command '" + verb + "'");
}

}  // namespace kvistur::cli
