#include "cli/Json.h"

#include <gtest/gtest.h>

#include <clocale>

namespace kelvane::cli {
namespace {

std::string Quoted(std::string_view s) { return JsonText(Json(std::string(s))); }

TEST(Json, StringsAreEscapedAndInvalidUtf8BecomesTheReplacementCharacter) {
  // Plain, quote and backslash, short escapes, other controls, valid UTF-8, a Latin-1 byte, an
  // overlong slash, a surrogate, beyond U+10FFFF.
  const std::pair<std::string, std::string> cases[] = {
      {"Kelvane Complete", R"("Kelvane Complete")"},
      {R"(C:\a "b")", R"("C:\\a \"b\"")"},
      {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
      {std::string("\x01\x1f\x7f\0", 4), R"("\u0001\u001f\u007f\u0000")"},
      {"Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x93\xa1",
       "\"Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x93\xa1\""},
      {"M\xfcller.bin", R"("M\ufffdller.bin")"},
      {"\xc0\xaf", R"("\ufffd\ufffd")"},
      {"\xed\xa0\x80", R"("\ufffd\ufffd\ufffd")"},
      {"\xf4\x90\x80\x80", R"("\ufffd\ufffd\ufffd\ufffd")"},
      // The start of a sequence cut short is replaced whole.
      {"ab\xe2\x82", R"("ab\ufffd")"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(Quoted(in), out) << out;
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
  // clang-format off
  const std::pair<double, const char*> cases[] = {
      {50, "50"}, {11520.25, "11520.25"}, {93.1, "93.1"}, {1.0 / 3, "0.3333333333"},
      {98.43699084, "98.43699084"}, {1e-5, "1e-05"}, {1e10, "1e+10"}, {-0.0, "-0"}, {0.0 / 0.0, "null"}};
  // clang-format on
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
