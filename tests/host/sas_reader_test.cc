#include "host/sas_reader.h"

#include <gtest/gtest.h>
#include <readstat.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "host/csv_reader.h"

namespace host {
namespace {

// A data set as text: numeric fields are numbers or the SAS missing forms ".", ".A" ... "._".
struct Grid {
  std::vector<std::string> names;
  std::vector<bool> character;
  std::vector<std::vector<std::string>> rows;
};

struct Flavour {
  const char* name;
  SasFormat format;
  int xport_version;  // 0 for sas7bdat
  bool compressed = false;
  bool is_64bit = true;
};
const Flavour kFlavours[] = {
    {"sas7bdat", SasFormat::kSas7bdat, 0},
    {"sas7bdat 32-bit", SasFormat::kSas7bdat, 0, false, false},
    {"sas7bdat compressed", SasFormat::kSas7bdat, 0, true},
    {"xpt v5", SasFormat::kXport, 5},
    {"xpt v8", SasFormat::kXport, 8},
};

ssize_t append_bytes(const void* data, size_t len, void* ctx) {
  static_cast<std::string*>(ctx)->append(static_cast<const char*>(data), len);
  return static_cast<ssize_t>(len);
}

// Writes the grid with ReadStat's own writer; fails the test if the writer refuses.
std::string write_sas(const Flavour& f, const Grid& g) {
  std::string out;
  readstat_writer_t* w = readstat_writer_init();
  readstat_set_data_writer(w, append_bytes);
  if (f.xport_version != 0) {
    readstat_writer_set_file_format_version(w, static_cast<uint8_t>(f.xport_version));
  } else {
    readstat_writer_set_file_format_is_64bit(w, f.is_64bit ? 1 : 0);
    if (f.compressed) readstat_writer_set_compression(w, READSTAT_COMPRESS_ROWS);
  }
  std::vector<readstat_variable_t*> vars;
  for (size_t c = 0; c < g.names.size(); ++c) {
    vars.push_back(readstat_add_variable(
        w, g.names[c].c_str(), g.character[c] ? READSTAT_TYPE_STRING : READSTAT_TYPE_DOUBLE,
        g.character[c] ? 16 : 8));
  }
  const long n = static_cast<long>(g.rows.size());
  readstat_error_t e = f.format == SasFormat::kSas7bdat
                           ? readstat_begin_writing_sas7bdat(w, &out, n)
                           : readstat_begin_writing_xport(w, &out, n);
  for (size_t r = 0; r < g.rows.size() && e == READSTAT_OK; ++r) {
    e = readstat_begin_row(w);
    for (size_t c = 0; c < g.names.size() && e == READSTAT_OK; ++c) {
      const std::string& s = g.rows[r][c];
      if (g.character[c]) {
        e = readstat_insert_string_value(w, vars[c], s.c_str());
      } else if (s == ".") {
        e = readstat_insert_missing_value(w, vars[c]);
      } else if (s.size() == 2 && s[0] == '.') {
        e = readstat_insert_tagged_missing_value(w, vars[c], s[1]);
      } else {
        e = readstat_insert_double_value(w, vars[c], std::strtod(s.c_str(), nullptr));
      }
    }
    if (e == READSTAT_OK) e = readstat_end_row(w);
  }
  if (e == READSTAT_OK) e = readstat_end_writing(w);
  readstat_writer_free(w);
  EXPECT_EQ(e, READSTAT_OK) << f.name << ": " << readstat_error_message(e);
  return out;
}

std::string to_csv(const Grid& g) {
  std::string out;
  for (size_t c = 0; c < g.names.size(); ++c) out += (c ? "," : "") + g.names[c];
  for (const auto& row : g.rows) {
    out += '\n';
    for (size_t c = 0; c < row.size(); ++c) out += (c ? ",\"" : "\"") + row[c] + "\"";
  }
  return out + '\n';
}

// Holds the table: a reference into a temporary outcome would dangle.
std::shared_ptr<const DataTable> ok(const ReadOutcome& o) {
  EXPECT_TRUE(o.ok()) << (o.ok() ? "" : o.error());
  return o.ok() ? *o : std::make_shared<const DataTable>();
}

// The CSV reader's table of the same grid is the reference. Transport files hold IBM
// hexadecimal floating point (56 bits of fraction), so their numbers are compared to 1e-15.
void expect_same_table(const Flavour& f, const Grid& g) {
  const auto got_held = ok(parse_sas(write_sas(f, g), f.format, "mem"));
  const auto want_held = ok(parse_csv(to_csv(g), ',', "mem.csv"));
  const DataTable& got = *got_held;
  const DataTable& want = *want_held;
  ASSERT_EQ(got.columns.size(), want.columns.size());
  ASSERT_EQ(got.rows, want.rows);
  const double tol = f.format == SasFormat::kXport ? 1e-15 : 0.0;
  for (size_t c = 0; c < want.columns.size(); ++c) {
    const Column& a = got.columns[c];
    const Column& b = want.columns[c];
    EXPECT_EQ(a.name, b.name);
    ASSERT_EQ(a.type, b.type) << b.name;
    EXPECT_EQ(a.texts, b.texts) << b.name;
    ASSERT_EQ(a.numbers.size(), b.numbers.size()) << b.name;
    int wrong = 0;
    for (size_t r = 0; r < b.numbers.size(); ++r) {
      const std::string& field = g.rows[r][c];
      const char form = field.starts_with('.') && field.size() <= 2 ? field.back() : 0;
      if (sas_missing_form(a.numbers[r]) != form) {
        ADD_FAILURE() << b.name << " row " << r + 1 << ": form of " << field;
      } else if (!std::isnan(b.numbers[r])) {
        wrong += !(std::fabs(a.numbers[r] - b.numbers[r]) <=
                   tol * std::max(1.0, std::fabs(b.numbers[r])));
      }
    }
    EXPECT_EQ(wrong, 0) << b.name;
  }
}

TEST(SasReader, ReadsWhatTheCsvReaderReadsFromTheSameData) {
  const Grid small = {{"id", "Dose", "ARM", "y"},
                      {false, false, true, false},
                      {{"1", "0.1", "placebo", "-2.5"},
                       {"2", ".", "active dose", "1e-300"},
                       {"3", ".A", "caf\xC3\xA9", "-7.25e70"},
                       {"4", ".Z", "", "._"},
                       {"5", "123456789.125", "  lead", ".M"},
                       {"6", "-0", "x", "0"}}};
  Grid none = small;
  none.rows.clear();
  Grid many = {{"a", "b", "c"}, {false, false, true}, {}};
  for (int i = 0; i < 30000; ++i) {  // several pages of a sas7bdat file
    many.rows.push_back({std::to_string(i), i % 97 ? std::to_string(i * 0.5) : ".",
                         std::string{'g', char('0' + i % 10)}});
  }
  for (const Flavour& f : kFlavours) {
    SCOPED_TRACE(f.name);
    expect_same_table(f, small);
    expect_same_table(f, many);
    // The CSV reader cannot type a column without values; the SAS file declares it.
    const auto t = ok(parse_sas(write_sas(f, none), f.format, "none"));
    ASSERT_EQ(t->columns.size(), 4u);
    EXPECT_EQ(t->rows, 0);
    EXPECT_EQ(t->columns[1].name, "Dose");
    EXPECT_EQ(t->columns[2].type, VarType::kCharacter);
  }
}

TEST(SasReader, DamagedInputIsAnErrorNamingTheSource) {
  Grid g = {{"x", "name"}, {false, true}, {}};
  for (int i = 0; i < 40; ++i)
    g.rows.push_back({std::to_string(i + 0.5), "row" + std::to_string(i)});
  std::mt19937 rng(12345);
  std::string garbage(8192, '\0');
  for (char& c : garbage) c = static_cast<char>(rng() & 0xFF);

  for (const Flavour& f : kFlavours) {
    SCOPED_TRACE(f.name);
    const std::string good = write_sas(f, g);
    const SasFormat other =
        f.format == SasFormat::kSas7bdat ? SasFormat::kXport : SasFormat::kSas7bdat;
    std::vector<std::pair<std::string, std::string>> cases = {
        {"empty", ""}, {"garbage", garbage}, {"csv text", "x,name\n1,a\n"}};
    // Cut anywhere, including inside the last observations: never a shorter table.
    for (size_t cut = 1; cut < good.size(); cut += 1 + good.size() / 97) {
      cases.emplace_back("cut at " + std::to_string(cut), good.substr(0, cut));
    }
    cases.emplace_back("last byte cut", good.substr(0, good.size() - 1));
    for (const auto& [what, bytes] : cases) {
      const ReadOutcome o = parse_sas(bytes, f.format, "data/study.bin");
      EXPECT_FALSE(o.ok()) << what;
      EXPECT_TRUE(
          o.error().starts_with("File data/study.bin could not be read as a SAS data set: "))
          << what << ": " << o.error();
    }
    EXPECT_FALSE(parse_sas(good, other, "swapped").ok());

    const ReadOutcome twice =
        parse_sas(write_sas(f, {{"dose", "y", "DOSE"}, {false, false, false}, {{"1", "2", "3"}}}),
                  f.format, "twice.sas7bdat");
    EXPECT_EQ(twice.error(),
              "File twice.sas7bdat could not be read as a SAS data set: variable name DOSE "
              "appears twice (variables 1 and 3).");
  }
}

TEST(SasReader, FilesFollowTheirExtension) {
  const auto dir = std::filesystem::path(TALVEN_BINARY_DIR) / "sas_reader_test";
  std::filesystem::create_directories(dir / "folder.xpt");
  const Grid g = {{"v"}, {false}, {{"4"}, {"5"}}};
  const auto put = [&](const char* name, const std::string& bytes) {
    std::ofstream(dir / name, std::ios::binary) << bytes;
    return dir / name;
  };
  const std::string b7 = write_sas(kFlavours[0], g);
  const std::string xp = write_sas(kFlavours[4], g);
  for (const auto& path : {put("a.sas7bdat", b7), put("B.SAS7BDAT", b7), put("c.Xpt", xp)}) {
    EXPECT_EQ(ok(read_sas_file(path))->rows, 2) << path;
  }
  const struct {
    std::filesystem::path path;
    const char* says;
  } bad[] = {
      {put("swapped.xpt", b7), "could not be read as a SAS data set"},
      {put("data.csv", b7), "must end in .sas7bdat or .xpt"},
      {dir / "absent.sas7bdat", "cannot be read"},
      {dir / "folder.xpt", "it is a folder"},
  };
  for (const auto& c : bad) {
    const ReadOutcome o = read_sas_file(c.path);
    EXPECT_FALSE(o.ok()) << c.path;
    EXPECT_NE(o.error().find(c.path.string()), std::string::npos) << o.error();
    EXPECT_NE(o.error().find(c.says), std::string::npos) << o.error();
  }
}

}  // namespace
}  // namespace host
