// The handlers YAZ's generic front-end server calls.  Init opens a session
// and puts the request handlers (search, present, fetch, scan, sort,
// delete, explain) into the request it is given; Close ends the session.
// Run (server.h) hands them to YAZ; the server's fuzz target calls them
// with requests it decoded itself.
#pragma once

#include <yaz/backend.h>

#include "server/limits.h"
#include "server/server.h"

namespace kvistur::server {

// The options and limits every handler works under, for the rest of the
// process.  Called once, before the first Init.
void Prepare(const Options& options, const Limits& limits);

bend_initresult* Init(bend_initrequest* request);
void Close(void* handle);

// The answer being made on this thread has been handed to YAZ to encode:
// the call its records were read in ends (a search or present begins
// one, so that all its records are of the state the search saw).
void EndAnswer();

}  // namespace kvistur::server
