#include "settings/settings_edit.h"

#include <optional>

#include "settings/settings_text.h"

namespace kvistur {

namespace {

// One line of the file: its text, its line end, and for a UTF-8 file the
// bytes it came as (written back as they were, even where they are not
// UTF-8).
struct Line {
  Text text, end;
  std::optional<std::string> bytes;
};

// Gives the file's last line, or the line a value goes after, its end.
void end_line(Line& l, const Text& end) {
  if (!l.end.empty()) return;
  l.end = end;
  if (l.bytes) *l.bytes += to_utf8(end);
}

bool is_utf8(SettingsForm form) { return form == SettingsForm::kUtf8 || form == SettingsForm::kUtf8WithBom; }

std::vector<Line> lines_of(std::string_view raw, SettingsForm& form) {
  Text all = DecodeSettings(raw, form);
  std::vector<Line> lines;
  if (is_utf8(form)) {
    if (form == SettingsForm::kUtf8WithBom) raw.remove_prefix(3);
    for (std::size_t at = 0; at < raw.size();) {
      std::size_t nl = raw.find('\n', at), end = nl == std::string_view::npos ? raw.size() : nl + 1;
      std::string_view bytes = raw.substr(at, end - at), body = bytes;
      Line l;
      if (!body.empty() && body.back() == '\n') body.remove_suffix(1), l.end = u"\n";
      if (!body.empty() && body.back() == '\r') body.remove_suffix(1), l.end = u"\r" + l.end;
      l.text = from_utf8(body);
      l.bytes = std::string(bytes);
      lines.push_back(std::move(l));
      at = end;
    }
    return lines;
  }
  for (std::size_t at = 0; at < all.size();) {
    std::size_t nl = all.find(u'\n', at), end = nl == Text::npos ? all.size() : nl + 1;
    Line l{all.substr(at, end - at), u"", std::nullopt};
    if (!l.text.empty() && l.text.back() == u'\n') l.text.pop_back(), l.end = u"\n";
    if (!l.text.empty() && l.text.back() == u'\r') l.text.pop_back(), l.end = u"\r" + l.end;
    lines.push_back(std::move(l));
    at = end;
  }
  return lines;
}

// Where a value of SECTION named NAME is, or would go.
struct Place {
  std::optional<std::size_t> first, last;  // the value's lines (a registry value may go on over several)
  Text joined;                             // its lines as one
  SettingsLine parsed;
  std::optional<std::size_t> after;        // the last line of the section's first block
};

Place find(const std::vector<Line>& lines, bool registry, const SettingValue& v) {
  Place p;
  bool in = false, first_block = false, block_done = false;
  for (std::size_t i = 0; i < lines.size();) {
    std::size_t j = i;
    Text joined = lines[i].text;
    while (registry && ContinuesOnNextLine(joined) && j + 1 < lines.size())
      joined = joined.substr(0, joined.size() - 1) + trim_left(lines[++j].text);
    SettingsLine l = ParseSettingsLine(joined, registry);
    if (l.kind == SettingsLine::kSection || l.kind == SettingsLine::kOtherKey) {
      in = l.kind == SettingsLine::kSection && SameSettingName(l.name, v.section);
      if (first_block) block_done = true;
      if (in && !block_done) first_block = true, p.after = j;
    } else if (in && l.kind == SettingsLine::kValue) {
      if (!p.first && SameSettingName(l.name, v.name)) {
        p.first = i, p.last = j, p.joined = joined, p.parsed = l;
        return p;
      }
      if (!block_done) p.after = j;
    }
    i = j + 1;
  }
  return p;
}

void set(std::vector<Line>& lines, bool registry, const SettingValue& v, bool owned) {
  Place p = find(lines, registry, v);
  Text data = SettingValueData(v.value, registry);
  Text end = lines.empty() || lines[0].end.empty() ? Text(u"\n") : lines[0].end;
  if (p.first) {
    if (!owned) return;
    Line l{p.joined.substr(0, p.parsed.data) + data, lines[*p.last].end, std::nullopt};
    lines.erase(lines.begin() + std::ptrdiff_t(*p.first), lines.begin() + std::ptrdiff_t(*p.last + 1));
    lines.insert(lines.begin() + std::ptrdiff_t(*p.first), std::move(l));
    return;
  }
  Line value{(registry ? RegistryName(v.name) : v.name) + u"=" + data, end, std::nullopt};
  if (p.after) {
    end_line(lines[*p.after], end);
    lines.insert(lines.begin() + std::ptrdiff_t(*p.after + 1), std::move(value));
    return;
  }
  if (!lines.empty()) end_line(lines.back(), end);
  // A registry export keeps a blank line between its keys.
  if (registry && !lines.empty() && !trim(lines.back().text).empty()) lines.push_back(Line{u"", end, std::nullopt});
  lines.push_back(Line{u"[" + (registry ? Text(kRegistryKey) : Text()) + v.section + u"]", end, std::nullopt});
  lines.push_back(std::move(value));
}

}  // namespace

std::string EditSettings(std::string_view bytes, const std::vector<SettingValue>& owned,
                         const std::vector<SettingValue>& defaults) {
  SettingsForm form = SettingsForm::kUtf8;
  std::vector<Line> lines = lines_of(bytes, form);
  bool registry = !lines.empty() && IsRegistryExport(lines[0].text);
  for (const SettingValue& v : owned) set(lines, registry, v, true);
  for (const SettingValue& v : defaults) set(lines, registry, v, false);
  if (is_utf8(form)) {
    std::string out = form == SettingsForm::kUtf8WithBom ? "\xEF\xBB\xBF" : "";
    for (const Line& l : lines) out += l.bytes ? *l.bytes : to_utf8(l.text + l.end);
    return out;
  }
  Text all;
  for (const Line& l : lines) all += l.text + l.end;
  return EncodeSettings(all, form);
}

}  // namespace kvistur
