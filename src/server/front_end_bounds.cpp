#include "server/front_end_bounds.h"

#include <dlfcn.h>
#include <yaz/comstack.h>
#include <yaz/srw.h>
#include <yaz/z-core.h>
#include <yaz/zgdu.h>

#include <algorithm>
#include <cctype>

#include "server/handlers.h"

namespace kvistur::server {
namespace {

// The bytes a client may send in one message, from its very first one
// (0: YAZ's own).
int receive_limit = 0;

// YAZ's own version of the function NAME.
template <typename Function>
Function yaz(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

void at_most(Odr_int* number, Odr_int most) {
  if (number) *number = std::clamp<Odr_int>(*number, 0, most);
}

void bound(Z_APDU* apdu) {
  if (!apdu) return;
  if (apdu->which == Z_APDU_scanRequest && apdu->u.scanRequest)
    at_most(apdu->u.scanRequest->numberOfTermsRequested, kMaxScanTerms);
  else if (apdu->which == Z_APDU_presentRequest && apdu->u.presentRequest)
    at_most(apdu->u.presentRequest->numberOfRecordsRequested, kMaxRecordsAsked);
}

// Whether the BER element at B[AT..END) and everything in it is well
// formed: every length within its container, the end-of-contents mark
// only where an indefinite length ends, nesting no deeper than YAZ itself
// decodes (its stack of 2000 constructed elements).
// YAZ's decoder trusts some of this (a constructed string of no length
// among end-of-contents marks in a definite length crashed it), so a
// message that breaks it is refused before YAZ reads it.
bool well_formed(const unsigned char* b, std::size_t& at, std::size_t end, int depth) {
  if (depth > 2000 || at >= end) return false;
  const unsigned char first = b[at++];
  if (first == 0) return false;  // an end-of-contents mark where an element must be
  if ((first & 31) == 31) {      // a tag of more than one byte
    for (int n = 0;; ++n) {
      if (at >= end || n == 4) return false;
      if (!(b[at++] & 0x80)) break;
    }
  }
  const bool constructed = first & 0x20;
  if (at >= end) return false;
  const unsigned char l = b[at++];
  if (l == 0x80) {  // indefinite: elements until the end-of-contents mark
    if (!constructed) return false;
    for (;;) {
      if (at + 1 < end && b[at] == 0 && b[at + 1] == 0) {
        at += 2;
        return true;
      }
      if (!well_formed(b, at, end, depth + 1)) return false;
    }
  }
  std::size_t length = l;
  if (l & 0x80) {
    const int n = l & 0x7f;
    if (n > 4 || std::size_t(n) > end - at) return false;
    length = 0;
    for (int i = 0; i < n; ++i) length = (length << 8) | b[at++];
  }
  if (length > end - at) return false;
  const std::size_t stop = at + length;
  if (constructed)
    while (at < stop)
      if (!well_formed(b, at, stop, depth + 1)) return false;
  at = stop;
  return true;
}

void bound(Z_SRW_PDU* pdu) {
  if (pdu && pdu->which == Z_SRW_scan_request && pdu->u.scan_request)
    at_most(pdu->u.scan_request->maximumTerms, kMaxScanTerms);
}

}  // namespace

void BoundFrontEnd(const Limits& limits) { receive_limit = limits.message_kib * 1024; }

}  // namespace kvistur::server

using kvistur::server::bound;
using kvistur::server::yaz;

// An accepted connection takes its listener's limit of bytes to a
// message: each listener is made by YAZ and then given the server's.
extern "C" COMSTACK cs_create_host(const char* type_and_host, int blocking, void** vp) {
  static const auto create = yaz<COMSTACK (*)(const char*, int, void**)>("cs_create_host");
  COMSTACK cs = create ? create(type_and_host, blocking, vp) : nullptr;
  if (cs && kvistur::server::receive_limit > 0) cs_set_max_recv_bytes(cs, kvistur::server::receive_limit);
  return cs;
}

// A Z39.50 request as YAZ decodes it (an HTTP request is bounded when its
// SRU request is decoded, below).
extern "C" int z_GDU(ODR o, Z_GDU** p, int opt, const char* name) {
  static const auto codec = yaz<int (*)(ODR, Z_GDU**, int, const char*)>("z_GDU");
  if (o->direction == ODR_DECODE) {
    // A stream being decoded has its bytes' count as its size.
    int written = 0, top = 0;
    const auto* buf = reinterpret_cast<const unsigned char*>(odr_getbuf(o, &written, &top));
    std::size_t at = std::size_t(std::max(odr_offset(o), 0));
    // A Z39.50 message is BER; an HTTP request starts with a letter.
    const bool ber = buf && at < std::size_t(top) && (buf[at] & 0xC0) != 0 && !std::isalpha(buf[at]);
    if (ber && !kvistur::server::well_formed(buf, at, std::size_t(top), 0)) {
      odr_seterror(o, OPROTO, 0);
      return 0;
    }
  }
  // An answer being encoded is made: the call it was read in ends.
  if (o->direction == ODR_ENCODE) kvistur::server::EndAnswer();
  int r = codec ? codec(o, p, opt, name) : 0;
  if (r && o->direction == ODR_DECODE && p && *p && (*p)->which == Z_GDU_Z3950) bound((*p)->u.z3950);
  return r;
}

extern "C" int yaz_sru_decode(Z_HTTP_Request* hreq, Z_SRW_PDU** srw_pdu, Z_SOAP** soap_package, ODR decode,
                              char** charset, Z_SRW_diagnostic** diagnostics, int* num_diagnostic) {
  static const auto decoder =
      yaz<int (*)(Z_HTTP_Request*, Z_SRW_PDU**, Z_SOAP**, ODR, char**, Z_SRW_diagnostic**, int*)>("yaz_sru_decode");
  int r = decoder ? decoder(hreq, srw_pdu, soap_package, decode, charset, diagnostics, num_diagnostic) : 2;
  if (r == 0 && srw_pdu) bound(*srw_pdu);
  return r;
}

extern "C" int yaz_srw_decode(Z_HTTP_Request* hreq, Z_SRW_PDU** srw_pdu, Z_SOAP** soap_package, ODR decode,
                              char** charset) {
  static const auto decoder = yaz<int (*)(Z_HTTP_Request*, Z_SRW_PDU**, Z_SOAP**, ODR, char**)>("yaz_srw_decode");
  int r = decoder ? decoder(hreq, srw_pdu, soap_package, decode, charset) : 2;
  if (r == 0 && srw_pdu) bound(*srw_pdu);
  return r;
}
