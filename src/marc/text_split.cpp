#include "marc/text_split.h"

namespace kvistur {

int SplitText(Text& text, std::vector<Text>& parts, TextView separator) {
  text = trim(text);
  for (std::size_t at = text.find(u"  "); at != Text::npos; at = text.find(u"  ", at)) text.erase(at, 1);
  if (parts.empty()) parts.emplace_back();
  std::size_t start = 0;
  if (!separator.empty()) {
    std::size_t i = 0;
    while (i + separator.size() <= text.size()) {
      if (TextView(text).substr(i, separator.size()) == separator) {
        Text part = trim(TextView(text).substr(start, i - start));
        if (!part.empty()) parts.push_back(part);
        i += separator.size();
        start = i;
      } else {
        ++i;
      }
    }
  }
  parts.push_back(trim(TextView(text).substr(std::min(start, text.size()))));
  return 0;
}

Text JoinLines(TextView text) {
  Text copy(text);
  std::vector<Text> parts(1);
  SplitText(copy, parts, u"\r\n");
  Text out = parts[1];
  for (std::size_t i = 2; i < parts.size(); ++i) out += u"\\n" + parts[i];
  return out;
}

}  // namespace kvistur
