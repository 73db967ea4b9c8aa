// What YAZ's generic front-end server takes from a client, bounded before
// the front end acts on it.  The front end trusts a client in three places
// our handlers never see: it reads a connection's first message (before
// Init) up to 128 MiB, and it makes room for as many scan terms and
// present records as a request asks for (a Z39.50 scan of 100 million
// terms made it take 4 GB) before it calls a handler.  Our program gives
// its own versions of the YAZ functions the front end calls there (an
// executable's functions come before a library's): each calls YAZ's and
// then holds what it made to the limits.
#pragma once

#include "server/limits.h"

namespace kvistur::server {

// From now on, a listener the front end makes holds its connections to
// LIMITS' message size from their first message on, and every request
// YAZ decodes for it asks for no more scan terms or present records than
// the fixed limits allow (limits.h).
void BoundFrontEnd(const Limits& limits);

}  // namespace kvistur::server
