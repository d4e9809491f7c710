#include "screen/font_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/test_sandbox.h"

namespace {

std::vector<std::string> names(const std::string& xml, FontListKind kind, bool* ok = nullptr) {
  std::vector<FontFile> files;
  bool parsed = font_list_parse(xml.data(), xml.size(), kind, &files);
  if (ok != nullptr) *ok = parsed;
  std::vector<std::string> out;
  for (const FontFile& f : files)
    out.push_back(f.name + (f.index ? "#" + std::to_string(f.index) : ""));
  return out;
}

const char kAndroid5[] = R"(<?xml version="1.0" encoding="utf-8"?>
<familyset version="22">
    <family name="sans-serif">
        <font weight="100" style="normal">Roboto-Thin.ttf</font>
        <font weight="400" style="italic">Roboto-Italic.ttf</font>
        <font weight="400" style="normal">Roboto-Regular.ttf</font>
        <font weight="700" style="normal">Roboto-Bold.ttf</font>
    </family>
    <alias name="arial" to="sans-serif" />
    <family name="serif">
        <font weight="400" style="normal">NotoSerif-Regular.ttf</font>
    </family>
    <family variant="elegant">
        <font weight="400" style="normal">NotoNaskh-Regular.ttf</font>
    </family>
    <family lang="zh-Hans">
        <font weight="400" style="normal" index="2">NotoSansCJK-Regular.ttc</font>
    </family>
    <family>
        <font weight="400" style="normal">DroidSansFallback.ttf</font>
    </family>
</familyset>
)";

TEST(FontList, TheDefaultFamilysRegularFaceComesFirstThenTheUnnamedFamiliesInOrder) {
  bool ok = false;
  EXPECT_EQ(names(kAndroid5, FontListKind::kFamilies, &ok),
            (std::vector<std::string>{"Roboto-Regular.ttf", "NotoNaskh-Regular.ttf",
                                      "NotoSansCJK-Regular.ttc#2", "DroidSansFallback.ttf"}));
  EXPECT_TRUE(ok);
}

TEST(FontList, NewerListsNameTheFileBeforeTheirAxes) {
  const char xml[] = R"(<familyset>
    <family name="sans-serif">
      <font weight="400" style="normal" postScriptName="Roboto-Regular">Roboto-Regular.ttf
        <axis tag="wght" stylevalue="400" />
        <axis tag="wdth" stylevalue="100" />
      </font>
    </family>
    <family lang="und-Arab" variant="elegant">
      <font weight="400" style="normal" postScriptName="NotoNaskhArabic">
        NotoNaskhArabic-Regular.ttf
      </font>
    </family></familyset>)";
  EXPECT_EQ(names(xml, FontListKind::kFamilies),
            (std::vector<std::string>{"Roboto-Regular.ttf", "NotoNaskhArabic-Regular.ttf"}));
}

TEST(FontList, Android4ListsGiveTheFirstFileOfEachFamily) {
  const char system_fonts[] = R"(<familyset>
    <family><nameset><name>sans-serif</name><name>arial</name></nameset>
      <fileset><file>Roboto-Regular.ttf</file><file>Roboto-Bold.ttf</file></fileset></family>
    <family><nameset><name>serif</name></nameset>
      <fileset><file>DroidSerif-Regular.ttf</file></fileset></family>
  </familyset>)";
  const char fallback_fonts[] = R"(<familyset>
    <family><fileset><file variant="elegant">DroidNaskh-Regular.ttf</file>
      <file variant="compact">DroidNaskh-Regular-SystemUI.ttf</file></fileset></family>
    <family><fileset><file lang="ja">MTLmr3m.ttf</file></fileset></family>
    <family><fileset><file>DroidSansFallback.ttf</file></fileset></family>
  </familyset>)";
  EXPECT_EQ(names(system_fonts, FontListKind::kSystemFonts),
            (std::vector<std::string>{"Roboto-Regular.ttf"}));
  EXPECT_EQ(
      names(fallback_fonts, FontListKind::kFallbackFonts),
      (std::vector<std::string>{"DroidNaskh-Regular.ttf", "MTLmr3m.ttf", "DroidSansFallback.ttf"}));
}

TEST(FontList, NamesThatWouldLeaveTheFontsDirectoryArePassedOver) {
  const char xml[] = R"(<familyset>
    <family name="sans-serif"><font>../../data/evil.ttf</font><font>Roboto-Regular.ttf</font></family>
    <family><font>/data/local/tmp/x.ttf</font></family>
    <family><font>.hidden.ttf</font></family>
    <family><font></font></family>
    <family><font>NotoSansHebrew-Regular.ttf</font></family></familyset>)";
  EXPECT_EQ(names(xml, FontListKind::kFamilies),
            (std::vector<std::string>{"Roboto-Regular.ttf", "NotoSansHebrew-Regular.ttf"}));
}

TEST(FontList, EntityDeclarationsAndBrokenXmlStopTheReading) {
  const char laughs[] = R"(<?xml version="1.0"?>
<!DOCTYPE familyset [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;">
<!ENTITY c "&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;"><!ENTITY d "&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;">]>
<familyset><family name="x"><font>&d;&d;&d;&d;&d;&d;&d;&d;&d;.ttf</font></family></familyset>)";
  bool ok = true;
  EXPECT_TRUE(names(laughs, FontListKind::kFamilies, &ok).empty());
  EXPECT_FALSE(ok);
  // A list cut short keeps what it named before the fault.
  std::string cut = std::string(kAndroid5).substr(0, std::string(kAndroid5).find("<alias"));
  EXPECT_EQ(names(cut, FontListKind::kFamilies, &ok),
            (std::vector<std::string>{"Roboto-Regular.ttf"}));
  EXPECT_FALSE(ok);
}

TEST(FontList, ReadsFontsXmlAndElseTheTwoAndroid4ListsAsMappedPaths) {
  TestSandbox sb;
  std::vector<FontFile> files = font_list_read();  // the sandbox's own list
  ASSERT_FALSE(files.empty());
  EXPECT_EQ(files[0].name, sb.path("/system/fonts/Roboto-Regular.ttf"));

  sb.write(FONTS_XML_PATH, "<familyset></familyset>");  // names nothing
  sb.write(SYSTEM_FONTS_XML_PATH,
           "<familyset><family><fileset><file>A.ttf</file></fileset></family></familyset>");
  sb.write(FALLBACK_FONTS_XML_PATH,
           "<familyset><family><fileset><file>B.ttf</file></fileset></family>"
           "<family><fileset><file>C.ttf</file></fileset></family></familyset>");
  files = font_list_read();
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[0].name, sb.path("/system/fonts/A.ttf"));
  EXPECT_EQ(files[1].name, sb.path("/system/fonts/B.ttf"));
  EXPECT_EQ(files[2].name, sb.path("/system/fonts/C.ttf"));
}

}  // namespace
