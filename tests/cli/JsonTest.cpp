#include "cli/Json.h"

#include <gtest/gtest.h>

#include <clocale>

namespace kelvane::cli {
namespace {

std::string Quoted(std::string_view s) { return JsonText(Json(std::string(s))); }

struct Escape {
  const char* name;
  std::string in, out;
};

TEST(Json, StringsAreEscapedAndInvalidUtf8BecomesTheReplacementCharacter) {
  const Escape cases[] = {
      {.name = "plain", .in = "Kelvane Complete", .out = R"("Kelvane Complete")"},
      {.name = "quote and backslash", .in = R"(C:\a "b")", .out = R"("C:\\a \"b\"")"},
      {.name = "short escapes", .in = "\b\f\n\r\t", .out = R"("\b\f\n\r\t")"},
      {.name = "other controls",
       .in = std::string("\x01\x1f\x7f\0", 4),
       .out = R"("\u0001\u001f\u007f\u0000")"},
      {.name = "valid UTF-8 stays",
       .in = "Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x93\xa1",
       .out = "\"Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x93\xa1\""},
      {.name = "Latin-1 byte", .in = "M\xfcller.bin", .out = R"("M\ufffdller.bin")"},
      {.name = "overlong slash", .in = "\xc0\xaf", .out = R"("\ufffd\ufffd")"},
      {.name = "surrogate", .in = "\xed\xa0\x80", .out = R"("\ufffd\ufffd\ufffd")"},
      {.name = "beyond U+10FFFF", .in = "\xf4\x90\x80\x80", .out = R"("\ufffd\ufffd\ufffd\ufffd")"},
      // The start of a sequence cut short is replaced whole.
      {.name = "cut short at the end", .in = "ab\xe2\x82", .out = R"("ab\ufffd")"},
  };
  for (const auto& c : cases) EXPECT_EQ(Quoted(c.in), c.out) << c.name;
}

TEST(Json, FieldsKeepTheirOrderOnOneLine) {
  EXPECT_EQ(JsonObject()
                .String("event", "message")
                .String("text", "two\nlines")
                .Int("done", 2097216)
                .Bool("error", true)
                .Null("file")
                .Text(),
            R"({"event":"message","text":"two\nlines","done":2097216,"error":true,"file":null})");
}

TEST(Json, NumbersHaveAtMostTenDigitsAndNoFractionWhenIntegral) {
  const std::pair<double, const char*> cases[] = {{50, "50"},
                                                  {11520.25, "11520.25"},
                                                  {93.1, "93.1"},
                                                  {1.0 / 3, "0.3333333333"},
                                                  {98.43699084, "98.43699084"},
                                                  {1e-5, "1e-05"},
                                                  {1e10, "1e+10"},
                                                  {-0.0, "-0"},
                                                  {0.0 / 0.0, "null"}};
  for (const auto& [value, text] : cases)
    EXPECT_EQ(JsonObject().Number("n", value).Text(), std::string(R"({"n":)") + text + "}");
}

TEST(Json, NumbersIgnoreTheLocale) {
  const char* before = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = before ? before : "C";
  if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) GTEST_SKIP() << "no German locale here";
  const std::string line = JsonObject().Number("rate", 0.5).Text();
  std::setlocale(LC_NUMERIC, saved.c_str());
  EXPECT_EQ(line, R"({"rate":0.5})");
}

}  // namespace
}  // namespace kelvane::cli
