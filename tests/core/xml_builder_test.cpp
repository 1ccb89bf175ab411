#include "src/core/xml_builder.h"

#include <gtest/gtest.h>

#include <thread>

#include "src/com/text.h"

namespace vtfc4 {
namespace {

TEST(EscapeXML, Bytes) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"A&B <x>", "A&amp;B &lt;x&gt;"},
      {"\"quoted\" 'single'", "&quot;quoted&quot; &apos;single&apos;"},
      {"caf\xE9", "caf&#233;"},
      {"\x80\xFF\x7F", "&#128;&#255;\x7F"},
      {std::string("ab\0cd", 5), "ab"},  // narrow text ends at its first NUL
      {"", ""},
      {"plain text, no change", "plain text, no change"},
  };
  for (const auto& c : cases) EXPECT_EQ(EscapeXML(c.in), c.out) << c.in;
}

// Under a code page of several bytes per character, a character is written as the reference
// of its code point, so any text survives; the byte rule would split it.
TEST(EscapeXML, CodePointsUnderUtf8) {
  std::thread([] {
    ASSERT_EQ(SetThreadCodePage("UTF-8"), S_OK);
    EXPECT_EQ(EscapeXML("Zo\xC3\xAB Caf\xC3\xA9 & \xCE\xA9\xCE\xBC"), "Zo&#235; Caf&#233; &amp; &#937;&#956;");
    EXPECT_EQ(EscapeXML("\xE6\x9D\xB1\xE4\xBA\xAC<\xF0\x9F\x98\x80>"), "&#26481;&#20140;&lt;&#128512;&gt;");
    EXPECT_EQ(EscapeXML("a\xC3"), "a&#195;") << "a broken sequence keeps its byte";
  }).join();
}

std::string Written(void (*write)(XMLBuilder&)) {
  XMLBuilder b;
  write(b);
  return std::string(b.Output());
}

TEST(XMLBuilder, Elements) {
  EXPECT_EQ(Written([](XMLBuilder& b) { b.WriteElement("Name", "A&B"); }),
            "<Name>A&amp;B</Name>\r\n");
  EXPECT_EQ(Written([](XMLBuilder& b) { b.WriteElement("Fax", ""); }), "<Fax/>\r\n");
  EXPECT_EQ(Written([](XMLBuilder& b) {
              b.StartElement("CustomerAdd");
              b.WriteElement("Name", "x");
              b.EndElement("CustomerAdd");
            }),
            "<CustomerAdd>\r\n<Name>x</Name>\r\n</CustomerAdd>\r\n");
  // Started but given no content: closed as an empty element that carries its attributes.
  EXPECT_EQ(Written([](XMLBuilder& b) {
              b.StartElement("VTXMLMsgsRq");
              b.AddAttribute("onError", "stopOnError");
              b.EndElement("VTXMLMsgsRq");
            }),
            "<VTXMLMsgsRq onError = \"stopOnError\"/>\r\n");
  EXPECT_EQ(Written([](XMLBuilder& b) {
              b.StartElement("TxnID");
              b.AddAttribute("useMacro", "T<1>");
              b.CloseEmptyElement();
              b.CloseEmptyElement();  // nothing pending: nothing written
            }),
            "<TxnID useMacro = \"T&lt;1&gt;\"/>\r\n");
  EXPECT_EQ(Written([](XMLBuilder& b) {
              b.StartElement("A");
              b.AddAttribute("x", "1");
              b.AddAttribute("y", "\xE9");
              b.StartElement("B");
              b.EndElement("B");
              b.EndElement("A");
            }),
            "<A x = \"1\" y = \"&#233;\">\r\n<B/>\r\n</A>\r\n");
}

TEST(XMLBuilder, Prolog) {
  const struct {
    int16_t major, minor;
    int32_t country;
    std::string second;
  } cases[] = {
      {4, 0, 0, "<?vtxml version=\"4.0\"?>"},
      {2, 1, 0, "<?vtxml version=\"2.1\"?>"},
      {3, 0, 2, "<?vtxml version=\"CA3.0\"?>"},
      {1, 1, 0, std::string("<!DOCTYPE VTXML PUBLIC '-//KORVEN//DTD VTXML VTD 1.1//EN' '") +
                    kDesktopDtdLocation + "'>"},
      {1, 0, 2, std::string("<!DOCTYPE VTXML PUBLIC '-//KORVEN//DTD VTXML VTD CA1.0//EN' '") +
                    kDesktopDtdLocation + "'>"},
      // The online edition uses its own document type whatever its version.
      {4, 0, 1, std::string("<!DOCTYPE VTXML PUBLIC '-//KORVEN//DTD VTXML VT0 4.0//EN' '") +
                    kOnlineDtdLocation + "'>"},
      {1, 0, 1, std::string("<!DOCTYPE VTXML PUBLIC '-//KORVEN//DTD VTXML VT0 1.0//EN' '") +
                    kOnlineDtdLocation + "'>"},
      {-1, 0, 0, std::string("<!DOCTYPE VTXML PUBLIC '-//KORVEN//DTD VTXML VTD -1.0//EN' '") +
                     kDesktopDtdLocation + "'>"},
  };
  for (const auto& c : cases) {
    XMLBuilder b(c.major, c.minor, c.country);
    EXPECT_EQ(b.Output(), "<?xml version=\"1.0\" ?>\r\n" + c.second + "\r\n")
        << c.major << "." << c.minor << " country " << c.country;
  }
}

TEST(XMLBuilder, LargeOutputKeepsEveryByte) {
  XMLBuilder b;
  std::string expected;
  for (int i = 0; i < 20000; ++i) {
    std::string v = std::to_string(i) + "&";
    b.WriteElement("Memo", v);
    expected += "<Memo>" + std::to_string(i) + "&amp;</Memo>\r\n";
  }
  std::string out;
  b.GetXML(out);
  EXPECT_EQ(out, expected);
}

}  // namespace
}  // namespace vtfc4
