// Reading a Jet file without trusting it.  libmdb was not written for
// damaged files: on one it may crash, or read on without end.  So libmdb
// runs in a child process (ReadJet of jet_file.h) that sends the tables and
// rows to this one through a pipe; a crash or a stall of the child is a
// JetError saying that the file is damaged, never a crash of the caller.
//
//   ReadJetFile("katalogur.mdb", 0, sink);   // the same calls of SINK as ReadJet
#pragma once

#include <string>

#include "import/jet/jet_file.h"

namespace kvistur::import {

// How long the child may go without sending anything before it is taken
// to be stuck in a damaged file and ended.
inline constexpr int kJetStallSeconds = 60;

// Reads every user table of FILE into SINK, as ReadJet does, with libmdb
// in a child process.  Throws JetError when the file cannot be read or
// the child crashes or stalls; an exception thrown by SINK ends the child
// and is passed on.  The child is forked: call it from a process that has
// one thread.
void ReadJetFile(const std::string& file, int code_page, JetSink& sink);

}  // namespace kvistur::import
