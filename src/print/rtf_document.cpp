// RtfControl: the print layout's output as an RTF document.
#include "print/rtf_document.h"

namespace kvistur {
namespace {

// Page and tab layout, in twips (1/1440 inch): A4, 2 cm margins, the text
// of an entry hanging 3 cm in, behind the call number.
constexpr int kPaperWidth = 11906;
constexpr int kPaperHeight = 16838;
constexpr int kMargin = 1134;
constexpr int kHang = 1701;

}  // namespace

std::vector<std::vector<RtfControl::Run>> RtfControl::paragraphs() const {
  std::vector<std::vector<Run>> out(1);
  for (const auto& run : runs_) {
    Text piece;
    for (std::size_t i = 0; i < run.text.size(); ++i) {
      char16_t c = run.text[i];
      if (c == u'\r' || c == u'\n') {
        if (c == u'\r' && i + 1 < run.text.size() && run.text[i + 1] == u'\n') ++i;
        if (!piece.empty()) out.back().push_back({piece, run.underline});
        piece.clear();
        out.emplace_back();
      } else {
        piece += c;
      }
    }
    if (!piece.empty()) out.back().push_back({piece, run.underline});
  }
  return out;
}

Variant RtfControl::invoke(TextView member, std::vector<Variant>&) { throw no_such_member(member); }

Variant RtfControl::get(TextView member) {
  if (member == u"SelUnderline") return Variant(underline_);
  if (member == u"SelText") return Variant(Text());
  throw no_such_member(member);
}

void RtfControl::put(TextView member, const Variant& value) {
  if (member == u"SelUnderline") {
    underline_ = value.to_bool();
    return;
  }
  if (member == u"SelText") {
    Text t = value.to_text();
    if (t.empty()) return;
    if (!runs_.empty() && runs_.back().underline == underline_)
      runs_.back().text += t;
    else
      runs_.push_back({std::move(t), underline_});
    return;
  }
  throw no_such_member(member);
}

std::string rtf_escape(TextView text) {
  std::string out;
  for (char16_t c : text) {
    if (c == u'\\' || c == u'{' || c == u'}') {
      out += '\\';
      out += char(c);
    } else if (c == u'\t') {
      out += "\\tab ";
    } else if (c >= 0x20 && c < 0x80) {
      out += char(c);
    } else if (c < 0x20) {
      // Other control characters have no place in the text.
    } else {
      out += "\\u" + std::to_string(int16_t(c)) + "?";
    }
  }
  return out;
}

std::string RtfControl::rtf(TextView title) const {
  std::string out =
      "{\\rtf1\\ansi\\ansicpg1252\\deff0\\uc1\n"
      "{\\fonttbl{\\f0\\froman\\fcharset0 Times New Roman;}}\n"
      "\\paperw" + std::to_string(kPaperWidth) + "\\paperh" + std::to_string(kPaperHeight) +
      "\\margl" + std::to_string(kMargin) + "\\margr" + std::to_string(kMargin) +
      "\\margt" + std::to_string(kMargin) + "\\margb" + std::to_string(kMargin) + "\n";
  if (!title.empty()) out += "\\pard\\sa240\\f0\\fs28\\b\\ul " + rtf_escape(title) + "\\ul0\\b0\\par\n";
  auto paras = paragraphs();
  std::size_t first = 0;
  while (first < paras.size() && paras[first].empty()) ++first;
  const std::string hang = "\\pard\\f0\\fs22\\fi-" + std::to_string(kHang) + "\\li" + std::to_string(kHang) +
                           "\\tx" + std::to_string(kHang) + " ";
  for (std::size_t i = first; i < paras.size(); ++i) {
    out += hang;
    for (const auto& run : paras[i]) {
      if (run.underline) out += "{\\ul " + rtf_escape(run.text) + "}";
      else out += rtf_escape(run.text);
    }
    out += "\\par\n";
  }
  out += "}\n";
  return out;
}

std::string RtfControl::marked_text() const {
  Text t;
  for (const auto& run : runs_) {
    Text piece;
    for (std::size_t i = 0; i < run.text.size(); ++i) {
      if (run.text[i] == u'\r' && i + 1 < run.text.size() && run.text[i + 1] == u'\n') continue;
      piece += run.text[i];
    }
    t += run.underline ? u"<U>" + piece + u"</U>" : piece;
  }
  // The layout starts every entry with two new lines: none before the first.
  std::size_t start = t.find_first_not_of(u'\n');
  t.erase(0, start == Text::npos ? t.size() : start);
  if (!t.empty() && t.back() != u'\n') t += u'\n';
  return to_utf8(t);
}

}  // namespace kvistur
