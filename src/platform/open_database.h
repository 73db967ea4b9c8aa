// Opening the two database files the way every method does: the folder of
// Grunnur/Slóð (see DatabaseFolder) followed by the file name of
// Grunnur/GrunnNafn (catalogue) or Grunnur/kv_local (directory), read afresh
// at each call, opened through the thread's log-on workspace.
#pragma once

#include <memory>

#include "platform/engine.h"

namespace kvistur {

// The thread's log-on workspace; error 91 (object not set) when no LogOn on
// this thread has created one.
db::Workspace& logon_workspace();

Text catalogue_path();
Text directory_path();
std::unique_ptr<db::Database> open_catalogue();
std::unique_ptr<db::Database> open_directory();

}  // namespace kvistur
