// The workgroup file (System.mdw): the users who may log on and their
// password hashes.
//
// An SQLite file of Kvistur's own with one table of users; each password is
// kept as a salted Argon2id hash (libsodium's crypto_pwhash_str), never in
// plain text.  User names match without regard to letter case, passwords
// exactly.
#pragma once

#include <string>
#include <vector>

#include "kvistur/text.h"

namespace kvistur::db {

// Creates FILE with the one user "Admin" whose password is empty.  Fails
// (Error) when FILE exists already.
void workgroup_init(const std::string& file);
// Adds the user or replaces the password (and the spelling) of an existing
// one.
void workgroup_set_user(const std::string& file, TextView name, TextView password);
// Adds a user; Error when a user of that name (letter case aside) is there.
void workgroup_add_user(const std::string& file, TextView name, TextView password);
// A new password for an existing user, whose name keeps the spelling it
// has; Error when there is no such user.
void workgroup_set_password(const std::string& file, TextView name, TextView password);
// Removes the user; Error when there is no such user.
void workgroup_remove_user(const std::string& file, TextView name);
std::vector<Text> workgroup_users(const std::string& file);
// Checks a log-on: 3029 "Not a valid account name or password." when the user
// is unknown or the password wrong; 3024 when the file cannot be found, 3343
// when it is not a workgroup file.
void workgroup_check(const std::string& file, TextView name, TextView password);

}  // namespace kvistur::db
