#include "host/session.h"

#include <cmath>
#include <cstdlib>
#include <optional>

#include "host/html_output.h"
#include "host/suggest.h"
#include "host/text_util.h"

namespace host {

namespace {

// TITLE3 -> ("TITLE", 3); TITLE -> ("TITLE", 1); anything else -> 0.
int numbered_keyword(const Token& t, std::string_view keyword) {
  if (t.kind != TokenKind::kName || t.literal || !istarts_with(t.text, keyword)) return 0;
  const std::string_view rest = std::string_view(t.text).substr(keyword.size());
  if (rest.empty()) return 1;
  if (rest == "10") return 10;
  return rest.size() == 1 && rest[0] >= '1' && rest[0] <= '9' ? rest[0] - '0' : 0;
}

void apply_title(const Statement& st, bool footnote, int line, Listing& listing,
                 const StatementReport& report) {
  std::string text;
  bool any = false;
  std::vector<std::string> ignored;
  const std::vector<Token>& t = st.tokens;
  for (size_t i = 1; i < t.size(); ++i) {
    // Options of graphical output (J=, H=, COLOR=, ...): the listing has no use for them.
    if (t[i].kind == TokenKind::kName && i + 1 < t.size() && t[i + 1].is_punct("=")) {
      ignored.push_back(to_upper(t[i].text) + "=");
      i += 2;  // the option's value
      continue;
    }
    if (any) text += ' ';
    text += t[i].kind == TokenKind::kName && t[i].literal ? t[i].as_written() : t[i].text;
    any = true;
  }
  if (!ignored.empty()) {
    report(Severity::kWarning, t.front(),
           std::string(footnote ? "FOOTNOTE" : "TITLE") + " options such as " +
               join_names(ignored) + " have no effect in the listing; they are ignored.");
  }
  std::optional<std::string> value;
  if (any) value = std::move(text);
  if (footnote) {
    listing.set_footnote(line, std::move(value));
  } else {
    listing.set_user_title(line, std::move(value));
  }
}

// Options accepted for the programs users bring, without an effect on what talven does.
constexpr const char* kNoEffect[] = {
    "BOTTOMMARGIN", "COMPRESS",    "CPUCOUNT",    "DETAILS",       "DKRICOND",     "DKROCOND",
    "DSNFERR",      "ERRORS",      "FMTERR",      "FMTSEARCH",     "FORMCHAR",     "FORMDLIM",
    "FULLSTIMER",   "INVALIDDATA", "LABEL",       "LEFTMARGIN",    "LOCALE",       "MACROGEN",
    "MAUTOSOURCE",  "MERROR",      "MISSING",     "MLOGIC",        "MPRINT",       "MSGLEVEL",
    "NODETAILS",    "NODSNFERR",   "NOFMTERR",    "NOFULLSTIMER",  "NOLABEL",      "NOMACROGEN",
    "NOMERROR",     "NOMLOGIC",    "NOMPRINT",    "NOQUOTELENMAX", "NOREPLACE",    "NOSERROR",
    "NOSOURCE",     "NOSOURCE2",   "NOSPOOL",     "NOSTIMER",      "NOSYMBOLGEN",  "NOTHREADS",
    "NOXSYNC",      "NOXWAIT",     "ORIENTATION", "PAPERSIZE",     "QUOTELENMAX",  "REPLACE",
    "RIGHTMARGIN",  "SASAUTOS",    "SERROR",      "SOURCE",        "SOURCE2",      "SPOOL",
    "STIMER",       "SYMBOLGEN",   "THREADS",     "TOPMARGIN",     "VALIDMEMNAME", "VALIDVARNAME",
    "VARLENCHK",    "XSYNC",       "XWAIT",
};

// Options whose effect talven does not offer: ignoring them silently would change the results.
const struct {
  const char* name;
  const char* advice;
} kUnsupported[] = {
    {"OBS", "use the data set option instead, as in DATA=study(OBS=100)"},
    {"FIRSTOBS", "use the data set option instead, as in DATA=study(FIRSTOBS=10)"},
    {"YEARCUTOFF", "two-digit years in date constants are read as 1926 to 2025"},
};

constexpr const char* kHandled[] = {"NOTES",  "NONOTES", "LINESIZE", "LS",       "PAGESIZE",
                                    "PS",     "DATE",    "NODATE",   "NUMBER",   "NONUMBER",
                                    "CENTER", "CENTRE",  "NOCENTER", "NOCENTRE", "PAGENO",
                                    "BYLINE", "NOBYLINE"};

class OptionsStatement {
 public:
  OptionsStatement(const Statement& st, Log& log, Listing& listing, const StatementReport& report)
      : t_(st.tokens), log_(log), listing_(listing), report_(report) {}

  void run() {
    PageOptions page = listing_.options();
    size_t i = 1;
    while (i < t_.size()) {
      const Token& key = t_[i];
      if (key.kind != TokenKind::kName || key.literal) {
        report_(Severity::kError, key,
                "Syntax error: expected a system option, found " + key.as_written() + ".");
        ++i;
        continue;
      }
      const std::string name = to_upper(key.text);
      const bool valued = i + 1 < t_.size() && t_[i + 1].is_punct("=");
      const size_t value_at = i + 2;
      const size_t next = valued ? skip_value(value_at) : i + 1;
      option(name, key, valued, value_at, &page);
      i = next;
    }
    listing_.set_options(page);
    if (!no_effect_.empty()) {
      report_(Severity::kNote, *no_effect_at_,
              std::string(no_effect_.size() == 1 ? "The system option " : "The system options ") +
                  join_names(no_effect_) + (no_effect_.size() == 1 ? " has" : " have") +
                  " no effect in talven.");
    }
  }

 private:
  // Past the value at i: one token (with a sign), or a parenthesised group.
  size_t skip_value(size_t i) const {
    if (i >= t_.size()) return i;
    if (t_[i].is_punct("(")) {
      int depth = 0;
      for (; i < t_.size(); ++i) {
        if (t_[i].is_punct("(")) ++depth;
        if (t_[i].is_punct(")") && --depth == 0) return i + 1;
      }
      return i;
    }
    if (t_[i].is_punct("-") || t_[i].is_punct("+")) ++i;
    return std::min(i + 1, t_.size());
  }

  // NOTES, DATE, NUMBER, CENTER and BYLINE, and their NO forms; false for any other option.
  bool flag_option(const std::string& name, const Token& key, bool valued, PageOptions* page) {
    auto flag = [&](bool* target, bool value) {
      if (valued) {
        report_(Severity::kError, key, "Syntax error: " + name + " takes no value.");
        return;
      }
      *target = value;
    };
    bool notes = true;
    if (name == "NOTES" || name == "NONOTES") {
      flag(&notes, name == "NOTES");
      if (!valued) log_.set_notes(notes);
    } else if (name == "DATE" || name == "NODATE") {
      flag(&page->date, name == "DATE");
    } else if (name == "NUMBER" || name == "NONUMBER") {
      flag(&page->number, name == "NUMBER");
    } else if (name == "CENTER" || name == "CENTRE" || name == "NOCENTER" || name == "NOCENTRE") {
      flag(&page->center, name == "CENTER" || name == "CENTRE");
    } else if (name == "BYLINE" || name == "NOBYLINE") {
      flag(&page->by_line, name == "BYLINE");
    } else {
      return false;
    }
    return true;
  }

  // LINESIZE=, PAGESIZE= and PAGENO=; false for any other option.
  bool number_option(const std::string& name, const Token& key, bool valued, size_t value_at,
                     PageOptions* page) {
    if (name == "LINESIZE" || name == "LS") {
      if (const auto v = whole(key, "LINESIZE", valued, value_at, 64, 256)) page->line_size = *v;
    } else if (name == "PAGESIZE" || name == "PS") {
      if (const auto v = whole(key, "PAGESIZE", valued, value_at, 15, 32767)) page->page_size = *v;
    } else if (name == "PAGENO") {
      if (const auto v = whole(key, "PAGENO", valued, value_at, 1, 2147483647)) {
        listing_.set_page_number(*v);
      }
    } else {
      return false;
    }
    return true;
  }

  void option(const std::string& name, const Token& key, bool valued, size_t value_at,
              PageOptions* page) {
    if (flag_option(name, key, valued, page) || number_option(name, key, valued, value_at, page)) {
      return;
    }
    if (no_effect(name)) {
      if (no_effect_.empty()) no_effect_at_ = &key;
      no_effect_.push_back(name + (valued ? "=" : ""));
    } else if (const char* advice = unsupported(name)) {
      report_(Severity::kWarning, key,
              "The system option " + name + (valued ? "=" : "") +
                  " is not supported; it is ignored: " + advice + ".");
    } else {
      report_(Severity::kWarning, key,
              name + " is not a system option that talven knows; it is ignored." +
                  did_you_mean(name, known_names()));
    }
  }

  // LINESIZE=n and the like: a whole number in [low, high], or MAX / MIN.
  std::optional<int> whole(const Token& key, const std::string& name, bool valued, size_t value_at,
                           int low, int high) {
    const std::string range =
        " a whole number from " + std::to_string(low) + " to " + std::to_string(high);
    if (!valued || value_at >= t_.size()) {
      report_(Severity::kError, key, "Syntax error: " + name + "= needs" + range + ".");
      return std::nullopt;
    }
    const Token& v = t_[value_at];
    if (v.is_name("MAX")) return high;
    if (v.is_name("MIN")) return low;
    const double x = v.kind == TokenKind::kNumber ? std::strtod(v.text.c_str(), nullptr) : NAN;
    if (v.kind != TokenKind::kNumber || x != std::floor(x)) {
      report_(Severity::kError, v,
              "Syntax error: " + name + "= needs" + range + ", found " + v.as_written() + ".");
      return std::nullopt;
    }
    if (x < low || x > high) {
      report_(Severity::kError, v,
              name + "=" + v.text + " is out of range; it must be" + range + ".");
      return std::nullopt;
    }
    return static_cast<int>(x);
  }

  static bool no_effect(const std::string& name) {
    for (const char* n : kNoEffect) {
      if (name == n) return true;
    }
    return false;
  }

  static const char* unsupported(const std::string& name) {
    for (const auto& u : kUnsupported) {
      if (name == u.name) return u.advice;
    }
    return nullptr;
  }

  static std::vector<std::string> known_names() {
    std::vector<std::string> out(std::begin(kHandled), std::end(kHandled));
    out.insert(out.end(), std::begin(kNoEffect), std::end(kNoEffect));
    for (const auto& u : kUnsupported) out.emplace_back(u.name);
    return out;
  }

  const std::vector<Token>& t_;
  Log& log_;
  Listing& listing_;
  const StatementReport& report_;
  std::vector<std::string> no_effect_;
  const Token* no_effect_at_ = nullptr;
};

}  // namespace

bool is_session_statement(const Statement& statement) {
  const Token& t = statement.tokens.front();
  return numbered_keyword(t, "TITLE") > 0 || numbered_keyword(t, "FOOTNOTE") > 0 ||
         t.is_name("OPTIONS") || is_ods_statement(statement);
}

const std::vector<std::string>& session_statement_names() {
  static const std::vector<std::string> kNames = {"FOOTNOTE", "ODS", "OPTIONS", "TITLE"};
  return kNames;
}

void apply_session_statement(const Statement& statement, Log& log, Listing& listing,
                             const StatementReport& report, HtmlReports* html) {
  const Token& t = statement.tokens.front();
  if (is_ods_statement(statement)) {
    if (html != nullptr) apply_ods_statement(statement, *html, report);
  } else if (const int line = numbered_keyword(t, "TITLE")) {
    apply_title(statement, false, line, listing, report);
  } else if (const int foot = numbered_keyword(t, "FOOTNOTE")) {
    apply_title(statement, true, foot, listing, report);
  } else {
    OptionsStatement(statement, log, listing, report).run();
  }
}

Step without_session_statements(const Step& step,
                                const std::function<void(const Statement&)>& apply) {
  Step out = step;
  out.body.clear();
  for (const Statement& st : step.body) {
    if (is_session_statement(st)) {
      apply(st);
    } else {
      out.body.push_back(st);
    }
  }
  return out;
}

std::string session_date_text(std::time_t when, bool utc) {
  std::tm tm{};
  if (utc) {
    gmtime_r(&when, &tm);
  } else {
    localtime_r(&when, &tm);
  }
  static constexpr const char* kDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                          "Thursday", "Friday", "Saturday"};
  static constexpr const char* kMonths[] = {"January",   "February", "March",    "April",
                                            "May",       "June",     "July",     "August",
                                            "September", "October",  "November", "December"};
  char buf[96];
  std::snprintf(buf, sizeof buf, "%02d:%02d %s, %s %d, %d", tm.tm_hour, tm.tm_min,
                kDays[tm.tm_wday % 7], kMonths[tm.tm_mon % 12], tm.tm_mday, tm.tm_year + 1900);
  return buf;
}

}  // namespace host
