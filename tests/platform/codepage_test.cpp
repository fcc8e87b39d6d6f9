#include "platform/codepage.h"

#include <gtest/gtest.h>

namespace {

using platform::CodePage;

TEST(TextConversion, EmptyTextStaysEmpty) {
  EXPECT_EQ(platform::NarrowToWide("", CodePage::Utf8), L"");
  EXPECT_EQ(platform::NarrowToWide("", CodePage::Ansi), L"");
  EXPECT_EQ(platform::WideToNarrow(L"", CodePage::Ansi), "");
}

TEST(TextConversion, Utf8MultiByteSequencesDecode) {
  // "Grüße 世界" and a character outside the basic plane, which is a surrogate pair in UTF-16.
  const std::wstring wide = platform::NarrowToWide("Gr\xC3\xBC\xC3\x9F" "e \xE4\xB8\x96\xE7\x95\x8C \xF0\x9F\x8E\xAE",
                                                   CodePage::Utf8);
  std::wstring expected = L"Gr\u00FC\u00DFe \u4E16\u754C ";
  if (sizeof(wchar_t) == 2) {
    expected += L"\xD83C\xDFAE";
  } else {
    expected += static_cast<wchar_t>(0x1F3AE);
  }
  EXPECT_EQ(wide, expected);
  EXPECT_EQ(platform::WideToNarrow(wide, CodePage::Utf8), "Gr\xC3\xBC\xC3\x9F" "e \xE4\xB8\x96\xE7\x95\x8C \xF0\x9F\x8E\xAE");
}

TEST(TextConversion, MalformedUtf8BecomesReplacementCharacters) {
  const std::wstring wide = platform::NarrowToWide("a\xFF" "b\xC3", CodePage::Utf8);
  EXPECT_EQ(wide, L"a\uFFFDb\uFFFD");
}

TEST(TextConversion, AsciiRoundTripsThroughTheAnsiCodePage) {
  EXPECT_EQ(platform::NarrowToWide("Launcher 1.0", CodePage::Ansi), L"Launcher 1.0");
  EXPECT_EQ(platform::WideToNarrow(L"Launcher 1.0", CodePage::Ansi), "Launcher 1.0");
}

}  // namespace
