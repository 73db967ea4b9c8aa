#include "kvistur/text.h"
#include "automation/nfc.h"
#include "automation/text_append.h"

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/sortkey.h>
#include <unicode/unistr.h>
#include <unicode/uvernum.h>
#include <unicode/uversion.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>

namespace kvistur {

char* write_utf8(TextView s, char* to) {
  std::size_t i = 0, n = s.size();
  while (i < n) {
    uint32_t c = s[i++];
    if (c < 0x80) {
      *to++ = char(c);
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF && i < n && s[i] >= 0xDC00 && s[i] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;  // lone surrogate
    }
    if (c < 0x800) {
      *to++ = char(0xC0 | (c >> 6));
      *to++ = char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      *to++ = char(0xE0 | (c >> 12));
      *to++ = char(0x80 | ((c >> 6) & 0x3F));
      *to++ = char(0x80 | (c & 0x3F));
    } else {
      *to++ = char(0xF0 | (c >> 18));
      *to++ = char(0x80 | ((c >> 12) & 0x3F));
      *to++ = char(0x80 | ((c >> 6) & 0x3F));
      *to++ = char(0x80 | (c & 0x3F));
    }
  }
  return to;
}

std::string to_utf8(TextView s) {
  // Room for exactly the bytes a unit takes by its value (a surrogate pair
  // counted as six, then cut to its four): the string is kept as it is.
  std::size_t need = 0;
  for (char16_t c : s) need += c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
  std::string out(need, '\0');
  out.resize(std::size_t(write_utf8(s, out.data()) - out.data()));
  return out;
}

Text from_utf8(std::string_view s) {
  // No byte gives more than one unit (a four-byte sequence gives two).
  Text out(s.size(), u'\0');
  char16_t* to = out.data();
  std::size_t i = 0;
  while (i < s.size()) {
    unsigned char b = s[i];
    if (b < 0x80) {  // ASCII
      *to++ = char16_t(b);
      ++i;
      continue;
    }
    if (b >= 0xC2 && b <= 0xDF && i + 1 < s.size() && (s[i + 1] & 0xC0) == 0x80) {  // two bytes, U+0080 to U+07FF
      *to++ = char16_t(((b & 0x1F) << 6) | (s[i + 1] & 0x3F));
      i += 2;
      continue;
    }
    uint32_t c;
    int extra;
    if ((b & 0xE0) == 0xC0) { c = b & 0x1F; extra = 1; }
    else if ((b & 0xF0) == 0xE0) { c = b & 0x0F; extra = 2; }
    else if ((b & 0xF8) == 0xF0) { c = b & 0x07; extra = 3; }
    else { *to++ = u'\uFFFD'; ++i; continue; }
    bool ok = i + extra < s.size();  // the whole sequence is there
    for (int k = 1; ok && k <= extra; ++k) {
      unsigned char cb = s[i + k];
      if ((cb & 0xC0) != 0x80) ok = false;
      else c = (c << 6) | (cb & 0x3F);
    }
    if (ok && ((extra == 1 && c < 0x80) || (extra == 2 && c < 0x800) || (extra == 3 && c < 0x10000) ||
               c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)))
      ok = false;
    if (!ok) { *to++ = u'\uFFFD'; ++i; continue; }
    if (c >= 0x10000) {
      c -= 0x10000;
      *to++ = char16_t(0xD800 + (c >> 10));
      *to++ = char16_t(0xDC00 + (c & 0x3FF));
    } else {
      *to++ = char16_t(c);
    }
    i += extra + 1;
  }
  out.resize(std::size_t(to - out.data()));
  return out;
}

Text trim_left(TextView s) {
  std::size_t b = 0;
  while (b < s.size() && s[b] == u' ') ++b;
  return Text(s.substr(b));
}

Text trim_right(TextView s) {
  std::size_t e = s.size();
  while (e > 0 && s[e - 1] == u' ') --e;
  return Text(s.substr(0, e));
}

Text trim(TextView s) {
  std::size_t b = 0, e = s.size();
  while (b < e && s[b] == u' ') ++b;
  while (e > b && s[e - 1] == u' ') --e;
  return Text(s.substr(b, e - b));
}

const icu::Normalizer2* NfcNormalizer() {
  static const icu::Normalizer2* const nfc = [] {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* n = icu::Normalizer2::getNFCInstance(status);
    return U_SUCCESS(status) ? n : nullptr;
  }();
  return nfc;
}

namespace {

const icu::Locale& icelandic() {
  static const icu::Locale loc("is", "IS");
  return loc;
}

Text from_unicode_string(const icu::UnicodeString& u) {
  return Text(reinterpret_cast<const char16_t*>(u.getBuffer()), static_cast<std::size_t>(u.length()));
}

// One collator per thread: ICU collators are not safe for concurrent use.
// Secondary strength: letters and accents count, case does not.
icu::Collator& collator() {
  thread_local std::unique_ptr<icu::Collator> c = [] {
    UErrorCode st = U_ZERO_ERROR;
    std::unique_ptr<icu::Collator> col(icu::Collator::createInstance(icelandic(), st));
    if (U_FAILURE(st) || !col) {
      st = U_ZERO_ERROR;
      col.reset(icu::Collator::createInstance(icu::Locale::getRoot(), st));
    }
    col->setStrength(icu::Collator::SECONDARY);
    return col;
  }();
  return *c;
}

}  // namespace

namespace {

// Letter case of ASCII text, which the Icelandic rules change only in its
// letters a-z: most of what is compared this way (setting, section and
// field names) is ASCII, and needs no trip through ICU.
bool ascii(TextView s) {
  return std::all_of(s.begin(), s.end(), [](char16_t c) { return c < 0x80; });
}

Text ascii_case(TextView s, char16_t from, char16_t to) {
  Text out(s);
  for (char16_t& c : out)
    if (c >= from && c < from + 26) c = char16_t(c - from + to);
  return out;
}

}  // namespace

Text upper_is(TextView s) {
  if (ascii(s)) return ascii_case(s, u'a', u'A');
  icu::UnicodeString u(false, reinterpret_cast<const UChar*>(s.data()), static_cast<int32_t>(s.size()));
  icu::UnicodeString c(u);
  c.toUpper(icelandic());
  return from_unicode_string(c);
}

namespace {

// The lower case of each character before U+0250 (Latin-1 and the Latin
// extensions, nearly all of what a catalogue holds), as ICU gives it under
// the Icelandic rules for the character alone; U+FFFF where that is not one
// character (İ).  No character in this range changes by its neighbours
// under these rules, so a text of them is lowered one by one.
constexpr char16_t kLatinEnd = 0x250;
constexpr char16_t kNotOne = 0xFFFF;

const char16_t* latin_lower() {
  static const std::array<char16_t, kLatinEnd> table = [] {
    std::array<char16_t, kLatinEnd> t{};
    for (char16_t c = 0; c < kLatinEnd; ++c) {
      icu::UnicodeString u(static_cast<UChar>(c));
      u.toLower(icelandic());
      t[c] = u.length() == 1 ? char16_t(u.charAt(0)) : kNotOne;
    }
    return t;
  }();
  return table.data();
}

}  // namespace

Text lower_is(TextView s) {
  if (ascii(s)) return ascii_case(s, u'A', u'a');
  if (std::all_of(s.begin(), s.end(), [](char16_t c) { return c < kLatinEnd; })) {
    const char16_t* lower = latin_lower();
    Text out(s);
    bool whole = true;
    for (char16_t& c : out) {
      if (lower[c] == kNotOne) {
        whole = false;
        break;
      }
      c = lower[c];
    }
    if (whole) return out;
  }
  icu::UnicodeString u(false, reinterpret_cast<const UChar*>(s.data()), static_cast<int32_t>(s.size()));
  icu::UnicodeString c(u);
  c.toLower(icelandic());
  return from_unicode_string(c);
}

int compare_ci(TextView a, TextView b) {
  UErrorCode st = U_ZERO_ERROR;
  UCollationResult r = collator().compare(reinterpret_cast<const UChar*>(a.data()), static_cast<int32_t>(a.size()),
                                          reinterpret_cast<const UChar*>(b.data()), static_cast<int32_t>(b.size()), st);
  if (U_FAILURE(st)) return compare_binary(a, b);
  return r == UCOL_LESS ? -1 : (r == UCOL_EQUAL ? 0 : 1);
}

std::string sort_key_ci(TextView s) {
  icu::Collator& c = collator();
  uint8_t buf[256];
  int32_t n = c.getSortKey(reinterpret_cast<const UChar*>(s.data()), static_cast<int32_t>(s.size()), buf, sizeof buf);
  if (n <= static_cast<int32_t>(sizeof buf)) return std::string(reinterpret_cast<char*>(buf), n > 0 ? n - 1 : 0);
  std::string big(static_cast<std::size_t>(n), '\0');
  c.getSortKey(reinterpret_cast<const UChar*>(s.data()), static_cast<int32_t>(s.size()),
               reinterpret_cast<uint8_t*>(big.data()), n);
  big.resize(static_cast<std::size_t>(n - 1));  // drop the terminating zero
  return big;
}

std::string collation_version() {
  UVersionInfo v;
  collator().getVersion(v);
  char text[U_MAX_VERSION_STRING_LENGTH];
  u_versionToString(v, text);
  return text;
}

}  // namespace kvistur
