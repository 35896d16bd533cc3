// The web page's text however it arrives: characters HTML gives a meaning
// (the plug-in's ramp has only '&' of them) come back as themselves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <regex>
#include <string>

#include "host/view/Page.h"

namespace {

// The <pre>'s text as a browser reads it: the line feed after <pre> and
// the colour elements dropped, the three references resolved. Any other
// '<' or '>' would be markup, not text.
std::string PreText(const std::string& page) {
  size_t start = page.find("<pre>\n");
  size_t end = page.find("</pre>");
  if (start == std::string::npos || end == std::string::npos) return "(no <pre>)";
  std::string inner = std::regex_replace(page.substr(start + 6, end - start - 6),
                                         std::regex("<b style=color:#[0-9a-f]{6}>|</b>"), "");
  if (inner.find_first_of("<>") != std::string::npos) return "(markup in the text)";
  std::string text;
  for (size_t i = 0; i < inner.size(); ++i) {
    static const char* const kNames[][2] = {{"&amp;", "&"}, {"&lt;", "<"}, {"&gt;", ">"}};
    bool named = false;
    for (const auto& n : kNames) {
      if (inner.compare(i, std::strlen(n[0]), n[0]) == 0) {
        text += n[1];
        i += std::strlen(n[0]) - 1;
        named = true;
        break;
      }
    }
    if (!named) text += inner[i];
  }
  return text;
}

TEST(Page, TextComesBackAsItWent) {
  for (const char* text : {"@@&&@\n", "<b>x</b>\n&lt;\n", "a>b<c\n<<\n>>", "&amp;\n"}) {
    for (size_t piece : {size_t{1}, size_t{3}, size_t{100}}) {
      RowLayout layout;
      layout.width = 1;
      std::string page;
      Page p(layout, PageLook{}, [&page](const void* data, size_t size) {
        page.append(static_cast<const char*>(data), size);
        return true;
      });
      const std::string input = text;
      for (size_t at = 0; at < input.size(); at += piece)
        ASSERT_TRUE(p.Add(input.data() + at, std::min(piece, input.size() - at)));
      ASSERT_TRUE(p.Finish());
      EXPECT_EQ(PreText(page), input) << "in pieces of " << piece;
      EXPECT_EQ(page.find("<b style"), std::string::npos);
    }
  }
}

}  // namespace
