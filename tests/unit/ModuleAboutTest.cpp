// The built module, loaded as a host loads it, shows its About box.
#include <gtest/gtest.h>

#include "platform/MessageBox.h"
#include "support/BoxWatcher.h"
#include "support/ModuleFile.h"

TEST(ModuleAbout, ShowsString16000UnderAnEmptyCaption) {
  if (!BoxesCanBeShown()) GTEST_SKIP() << "no display for message boxes";
  PluginEntryProc entry = ModuleEntry();
  ASSERT_NE(entry, nullptr);

  AboutRecord about{};
  PlatformData platform{};
  about.platformData = &platform;
  intptr_t data = 0;
  int16_t result = 1234;

  StartBoxWatch();
  entry(kSelectorAbout, &about, &data, &result);
  std::vector<ObservedBox> boxes = StopBoxWatch();

  EXPECT_EQ(data, 0) << "about creates no globals";
  EXPECT_EQ(result, 1234) << "about never writes the result cell";
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text,
            "Glyphweave\n\nVersion 0.001 Release 1 (12/2001)\nCopyright \xC2\xA9 2026 Glyphweave.\n"
            "All rights reserved.\n\nGlyphweave plug-in module");
  EXPECT_EQ(boxes[0].icon, kMessageBoxIconInformation);
  if (boxes[0].captionKnown) {
    EXPECT_EQ(boxes[0].caption, "");
  }
}
