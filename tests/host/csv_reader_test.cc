#include "host/csv_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace host {
namespace {

// Keeps the table alive for the test's use.
std::shared_ptr<const DataTable> ok(const ReadOutcome& o) {
  EXPECT_TRUE(o.ok()) << (o.ok() ? "" : o.error());
  return o.ok() ? *o : std::make_shared<const DataTable>();
}

TEST(CsvNumbers, DecimalFormsAreNumbersOthersAreNot) {
  const struct {
    const char* text;
    bool number;
    double value;
  } cases[] = {
      {"0", true, 0},      {"-12", true, -12},  {"+3.5", true, 3.5},       {".5", true, 0.5},
      {"5.", true, 5},     {"1e3", true, 1000}, {"-2.5E-2", true, -0.025}, {"1e-400", true, 0},
      {"1e400", false, 0}, {"inf", false, 0},   {"-inf", false, 0},        {"nan", false, 0},
      {"NaN", false, 0},   {"0x1A", false, 0},  {"1,5", false, 0},         {"1e", false, 0},
      {"--1", false, 0},   {"+", false, 0},     {"1 2", false, 0},         {"", false, 0},
      {"abc", false, 0},
  };
  for (const auto& c : cases) {
    double v = -99;
    EXPECT_EQ(parse_decimal(c.text, &v), c.number) << c.text;
    if (c.number) {
      EXPECT_DOUBLE_EQ(v, c.value) << c.text;
    }
  }
}

TEST(CsvNumbers, MissingForms) {
  for (const char* m : {"", ".", ".A", ".z", "._", "NA", "  . "}) {
    EXPECT_TRUE(is_missing_form(m)) << m;
  }
  for (const char* m : {"..", ".AB", "na", "N/A", ".1", "0"}) {
    EXPECT_FALSE(is_missing_form(m)) << m;
  }
}

TEST(CsvReader, QuotingMissingValuesAndTypes) {
  const std::string text =
      "\xEF\xBB\xBFid, x ,name,y,allmiss\r\n"
      "1,2.5,\"Smith, J\",3,.\r\n"
      "2,NA,\"two\nlines\",1e3,\r\n"
      "3, -1 ,\"say \"\"hi\"\"\",.A,._\r\n"
      "4,\"7\",,,NA\r\n"
      "\r\n";
  const auto tp = ok(parse_csv(text, ',', "mem.csv"));
  const DataTable& t = *tp;
  ASSERT_EQ(t.columns.size(), 5u);
  EXPECT_EQ(t.rows, 4);
  EXPECT_EQ(t.columns[1].name, "x");
  EXPECT_EQ(t.columns[0].type, VarType::kNumeric);
  EXPECT_EQ(t.columns[1].type, VarType::kNumeric);
  EXPECT_EQ(t.columns[2].type, VarType::kCharacter);
  EXPECT_EQ(t.columns[3].type, VarType::kNumeric);
  EXPECT_EQ(t.columns[4].type, VarType::kNumeric);  // nothing but missing values
  EXPECT_EQ(t.columns[1].numbers[0], 2.5);
  EXPECT_TRUE(std::isnan(t.columns[1].numbers[1]));
  EXPECT_EQ(t.columns[1].numbers[2], -1);
  EXPECT_EQ(t.columns[1].numbers[3], 7);  // quoting does not make a number text
  EXPECT_EQ(t.columns[3].numbers[1], 1000);
  EXPECT_TRUE(std::isnan(t.columns[3].numbers[2]));
  EXPECT_TRUE(std::isnan(t.columns[3].numbers[3]));
  EXPECT_EQ(t.columns[2].texts,
            (std::vector<std::string>{"Smith, J", "two\nlines", "say \"hi\"", ""}));
}

TEST(CsvReader, OneBadFieldMakesAColumnCharacter) {
  const auto tp = ok(parse_csv("a,b\n1,2\n2,3\n3,inf\n", ',', "m"));
  const DataTable& t = *tp;
  EXPECT_EQ(t.columns[0].type, VarType::kNumeric);
  EXPECT_EQ(t.columns[1].type, VarType::kCharacter);
  EXPECT_EQ(t.columns[1].texts, (std::vector<std::string>{"2", "3", "inf"}));
}

TEST(CsvReader, TabDelimitedAndHeaderOnly) {
  const auto tp = ok(parse_csv("a\tb\n1\t2,5\n", '\t', "m.tsv"));
  const DataTable& t = *tp;
  EXPECT_EQ(t.columns[1].type, VarType::kCharacter);
  const auto hp = ok(parse_csv("a,b", ',', "m"));
  const DataTable& h = *hp;
  EXPECT_EQ(h.rows, 0);
  EXPECT_EQ(h.columns.size(), 2u);
}

TEST(CsvReader, SingleColumnBlankLineIsAMissingValue) {
  const auto tp = ok(parse_csv("a\n1\n\n3\n\n", ',', "m"));
  const DataTable& t = *tp;
  ASSERT_EQ(t.rows, 3);
  EXPECT_TRUE(std::isnan(t.columns[0].numbers[1]));
}

TEST(CsvReader, MalformedFilesNameFileAndLine) {
  const struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"", "File f.csv is empty"},
      {"\n\n", "File f.csv is empty"},
      {"a,b,A\n", "File f.csv, line 1: variable name A appears twice (columns 1 and 3)"},
      {"a,,c\n", "File f.csv, line 1: the name of variable 2 is empty"},
      {"a,b\n1,2\n3\n", "File f.csv, line 3: the row has 1 field where the header has 2"},
      {"a,b\n1,2,3\n", "File f.csv, line 2: the row has 3 fields where the header has 2"},
      {"a,b\n1,2\n\n3,4\n", "File f.csv, line 3: the row has 1 field"},
      {"a,b\n\"x\ny\",2\n5\n", "File f.csv, line 4: the row has 1 field"},
      {"a,b\n1,\"open\n", "File f.csv, line 2: a quoted field is not closed"},
      {"a,b\n1,\"x\"y\n", "File f.csv, line 2: unexpected character after the closing quote"},
  };
  for (const auto& c : cases) {
    const ReadOutcome o = parse_csv(c.text, ',', "f.csv");
    EXPECT_FALSE(o.ok()) << c.text;
    EXPECT_NE(o.error().find(c.error), std::string::npos) << c.text << " -> " << o.error();
  }
}

TEST(CsvReader, FilesThatCannotBeRead) {
  const auto dir = std::filesystem::temp_directory_path();
  EXPECT_NE(read_csv_file(dir / "talven_no_such_file.csv").error().find("cannot be read"),
            std::string::npos);
  EXPECT_NE(read_csv_file(dir).error().find("it is a folder"), std::string::npos);
}

// Many rows of many columns come back exactly (the fast number path against snprintf's text).
// Speed is measured by the benchmark program, not here.
TEST(CsvReader, LargeFileReadsBackExactly) {
  const int rows = 20000;
  const int cols = 30;
  std::string text;
  for (int c = 0; c < cols; ++c) text += (c ? ",v" : "v") + std::to_string(c);
  text += '\n';
  char field[32];
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      const int n =
          std::snprintf(field, sizeof field, c ? ",%.4f" : "%.4f", (r * 31 + c * 7) % 1000 / 7.0);
      text.append(field, static_cast<size_t>(n));
    }
    text += '\n';
  }
  const ReadOutcome o = parse_csv(text, ',', "big.csv");
  ASSERT_TRUE(o.ok()) << o.error();
  EXPECT_EQ((*o)->rows, rows);
  for (int r = 0; r < rows; r += 997) {
    for (int c = 0; c < cols; ++c) {
      std::snprintf(field, sizeof field, "%.4f", (r * 31 + c * 7) % 1000 / 7.0);
      EXPECT_EQ((*o)->columns[c].numbers[r], std::strtod(field, nullptr)) << r << "," << c;
    }
  }
}

// A file saved by a European spreadsheet: semicolons, and decimal commas that come with them.
TEST(CsvReader, DialectsOfTheLineOfNames) {
  const struct {
    const char* text;
    const char* file;
    std::optional<char> chosen;
    char delimiter;
    bool decimal_comma;
    bool noted;
  } cases[] = {
      {"a,b\n1;2,5\n", "f.csv", {}, ',', false, false},
      {"a;b\n1;2,5\n", "f.csv", {}, ';', true, true},
      {"a\tb\n1\t2\n", "f.csv", {}, '\t', false, true},
      {"a\tb\n1\t2\n", "f.tsv", {}, '\t', false, false},
      {"a;b;c\td\n", "f.csv", {}, ';', true, true},
      {"a|b\n1|2\n", "f.txt", '|', '|', false, false},
      {"a,b\n", "f.csv", ';', ';', true, false},
      {"single\n1\n", "f.csv", {}, ',', false, false},
  };
  for (const auto& c : cases) {
    std::string note;
    const CsvDialect d = choose_dialect(c.text, c.file, c.chosen, &note);
    EXPECT_EQ(d.delimiter, c.delimiter) << c.text;
    EXPECT_EQ(d.decimal_comma, c.decimal_comma) << c.text;
    EXPECT_EQ(!note.empty(), c.noted) << c.text;
  }
  const auto t = ok(parse_csv("a;b;c\n1,5;-2,25e1;x,y\n3;.;4\n", ';', "eu.csv", true));
  EXPECT_EQ(t->columns[0].numbers, (std::vector<double>{1.5, 3}));
  EXPECT_EQ(t->columns[1].numbers[0], -22.5);
  EXPECT_EQ(t->columns[2].type, VarType::kCharacter);  // x,y is no number
  // Without the decimal comma, 1,5 is text.
  EXPECT_EQ(ok(parse_csv("a\n1,5\n", ';', "f.csv"))->columns[0].type, VarType::kCharacter);
}

TEST(CsvReader, CharacterColumnsNameTheirFirstText) {
  const auto t = ok(parse_csv("x,y\n1,2\n\"3\nstill 3\",4\n5,n/a\n6,-\n", ',', "f.csv"));
  EXPECT_EQ(character_explanation(t->columns[0]),
            "x is character because line 3 holds '3\nstill 3'; a numeric column holds numbers "
            "and these missing values only: an empty field, ., .A to .Z, ._ or NA.");
  EXPECT_EQ(character_explanation(t->columns[1]).substr(0, 41),
            "y is character because line 5 holds 'n/a'");
  const auto n = ok(parse_csv("z\n.A\n._\nNA\n.\n", ',', "f.csv"));
  EXPECT_EQ(character_explanation(n->columns[0]), "");
  EXPECT_EQ(missing_form(n->columns[0].numbers[0]), 'A');
  EXPECT_EQ(missing_form(n->columns[0].numbers[1]), '_');
  EXPECT_EQ(missing_form(n->columns[0].numbers[2]), '.');
}

}  // namespace
}  // namespace host
