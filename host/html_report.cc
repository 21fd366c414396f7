#include "host/html_report.h"

#include <cmath>
#include <cstdio>

#include "host/csv_writer.h"
#include "host/forest_plot.h"
#include "host/markup.h"

namespace host {

namespace {

// Local fonts only: the report must not fetch anything. Light colours on screen and in print;
// meaning never rests on colour alone (message kinds are spelt out, the plot uses shape).
constexpr const char* kStyle = R"(
:root { color-scheme: light; }
body { margin: 0; background: #ffffff; color: #1b1b1b;
  font: 15px/1.45 system-ui, -apple-system, "Segoe UI", Roboto, "Helvetica Neue", Arial,
    "Liberation Sans", sans-serif; }
.page { max-width: 62rem; margin: 0 auto; padding: 1.5rem 1.5rem 3rem; }
header.report { border-bottom: 2px solid #12264f; margin-bottom: 1.25rem; }
header.report h1 { font-size: 1.55rem; margin: 0 0 0.2rem; color: #12264f; }
header.report p { margin: 0 0 0.6rem; color: #444444; }
nav.contents ol { margin: 0.25rem 0 1rem; padding-left: 1.4rem; }
a { color: #12264f; }
section.step { margin: 0 0 2.5rem; }
section.step h2 { font-size: 1.2rem; margin: 0 0 0.75rem; padding: 0.35rem 0;
  border-bottom: 1px solid #c5ccd8; }
section.step h2 .where { font-weight: normal; color: #555555; font-size: 0.95rem; }
.titles { text-align: center; margin: 0.5rem 0 1rem; }
.titles p { margin: 0.15rem 0; }
.titles .heading { font-weight: bold; }
.byline { font-weight: bold; margin: 1.25rem 0 0.5rem; padding: 0.3rem 0.6rem;
  border-left: 4px solid #12264f; background: #f2f4f7; }
table { border-collapse: collapse; margin: 0.5rem 0 1.25rem;
  font-variant-numeric: tabular-nums; }
caption { caption-side: top; text-align: left; font-weight: bold; padding: 0 0 0.35rem; }
th, td { padding: 0.22rem 0.7rem; vertical-align: baseline; }
thead th { text-align: left; border-bottom: 1px solid #1b1b1b; }
table.estimates, table.counts, table.settings { border-top: 2px solid #1b1b1b;
  border-bottom: 2px solid #1b1b1b; }
table.estimates tbody + tbody tr:first-child > * { border-top: 1px solid #9aa3b2; }
table.estimates tbody tr:nth-child(even), table.settings tbody tr:nth-child(even) {
  background: #f6f7f9; }
th[scope="row"] { text-align: left; font-weight: normal; }
th.num, td.num { text-align: right; white-space: nowrap; }
th.limits { text-align: center; border-bottom: 1px solid #9aa3b2; }
td.term { overflow-wrap: anywhere; }
td.missing { color: #666666; }
figure.plot { margin: 0.5rem 0 1.25rem; }
figure.plot svg { display: block; max-width: 100%; height: auto; }
figcaption { font-size: 0.9rem; color: #333333; margin-top: 0.35rem; }
.contrasts h3, .rules h3, .messages h3 { font-size: 1rem; margin: 0.75rem 0 0.35rem; }
.rules ul, .contrasts ul { margin: 0 0 1rem; padding-left: 1.4rem; }
.contrasts li { font-family: ui-monospace, "DejaVu Sans Mono", "Liberation Mono", monospace;
  font-size: 0.9rem; overflow-wrap: anywhere; }
.meaning, p.note { color: #444444; font-size: 0.9rem; }
table.model, table.coding, table.left-out { border-top: 2px solid #1b1b1b;
  border-bottom: 2px solid #1b1b1b; }
table.coding tbody + tbody tr:first-child > * { border-top: 1px solid #9aa3b2; }
.rules li { white-space: pre-wrap; }
.messages ul { list-style: none; margin: 0 0 1rem; padding: 0; }
.messages li { font-family: ui-monospace, "DejaVu Sans Mono", "Liberation Mono", Menlo, Consolas,
  monospace; font-size: 0.88rem; white-space: pre-wrap; overflow-wrap: anywhere;
  margin: 0.2rem 0; padding: 0.3rem 0.6rem; }
.messages li.error { border-left: 8px solid #a3001b; background: #fbf0f1; font-weight: bold; }
.messages li.warning { border-left: 4px solid #b36b00; background: #fdf7ec; }
.messages li.detail { border-left: 8px solid #a3001b; background: #fbf0f1; }
.footnotes { margin: 1rem 0 0; padding-top: 0.4rem; border-top: 1px solid #c5ccd8;
  font-size: 0.92rem; text-align: center; }
.footnotes p { margin: 0.1rem 0; }
.empty { color: #555555; font-style: italic; }
footer.run { margin-top: 2rem; border-top: 2px solid #12264f; padding-top: 0.5rem; }
footer.run h2 { font-size: 1.05rem; margin: 0.5rem 0; }
@media print {
  @page { size: A4; margin: 14mm 12mm; }
  body { font-size: 10pt; background: #ffffff; color: #000000; }
  .page { max-width: none; padding: 0; }
  nav.contents { display: none; }
  section.step + section.step { break-before: page; }
  table, figure.plot, .rules, .contrasts, .byline, caption { break-inside: avoid; }
  .byline, h2, h3, caption { break-after: avoid; }
  thead { display: table-header-group; }
  tr { break-inside: avoid; }
  a { color: inherit; text-decoration: none; }
  .messages li, .byline, table.estimates tbody tr:nth-child(even),
  table.settings tbody tr:nth-child(even) { -webkit-print-color-adjust: exact;
    print-color-adjust: exact; }
}
)";

std::string esc(const std::string& text) {
  return escape_markup(text);
}

// The confidence level of ALPHA= as a percentage: 0.05 gives "95%", 0.025 "97.5%".
std::string level_text(double alpha) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.10g%%", (1.0 - alpha) * 100.0);
  return buffer;
}

bool starts_with(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

class Writer {
 public:
  std::string& out() { return out_; }

  void line(const std::string& text) {
    out_ += text;
    out_ += '\n';
  }

  void number_cell(double value) {
    if (std::isnan(value)) {
      out_ += "<td class=\"num missing\">\xE2\x80\x93</td>";
      return;
    }
    out_ += "<td class=\"num\" data-value=\"" + format_exact(value) + "\">" +
            esc(format_estimate(value)) + "</td>";
  }

  void step(const ReportStep& step, size_t number);
  void settings(const std::vector<ReportSetting>& settings, const std::string& caption);

 private:
  void group(const ReportGroup& group, const std::string& anchor, size_t step_number);
  void results(const ReportResults& results, const std::string& anchor);
  void model(const ReportResults& r);
  void coding(const ReportResults& r);
  void left_out(const ReportResults& r);
  void contrasts(const ReportResults& r);
  void coding_row(const ReportLevel& level, const std::vector<std::string>& names, bool texts);
  void estimates(const ReportResults& results);
  void plot(const ReportResults& results, const std::string& anchor);
  void value_plot(const ReportResults& results, const std::string& anchor);
  void values(const std::vector<ReportValue>& values);
  void messages(const std::vector<std::string>& lines);

  std::string out_;
  size_t figures_ = 0;
};

void Writer::settings(const std::vector<ReportSetting>& settings, const std::string& caption) {
  if (settings.empty()) return;
  line("<table class=\"settings\">");
  line("<caption>" + esc(caption) + "</caption>");
  line("<thead><tr><th scope=\"col\">Setting</th><th scope=\"col\">Value</th></tr></thead>");
  line("<tbody>");
  for (const ReportSetting& s : settings) {
    line("<tr><th scope=\"row\">" + esc(s.name) + "</th><td>" + esc(s.value) + "</td></tr>");
  }
  line("</tbody>");
  line("</table>");
}

void Writer::messages(const std::vector<std::string>& lines) {
  if (lines.empty()) return;
  line("<div class=\"messages\">");
  line("<h3>Log: warnings and errors</h3>");
  line("<ul>");
  for (const std::string& text : lines) {
    const char* kind = starts_with(text, "ERROR")     ? "error"
                       : starts_with(text, "WARNING") ? "warning"
                                                      : "detail";
    line(std::string("<li class=\"") + kind + "\">" + esc(text) + "</li>");
  }
  line("</ul>");
  line("</div>");
}

void Writer::estimates(const ReportResults& r) {
  const bool limits = r.alpha.has_value();
  line("<table class=\"estimates\">");
  line(std::string("<caption>Estimates") +
       (limits ? " and " + esc(level_text(*r.alpha)) + " adaptive confidence limits" : "") +
       "</caption>");
  // Column groups give the spanning head of the limits its scope.
  if (limits) line("<colgroup span=\"3\"></colgroup><colgroup span=\"2\"></colgroup>");
  line("<thead>");
  const char* span = limits ? " rowspan=\"2\"" : "";
  out_ += std::string("<tr><th scope=\"col\"") + span + ">Stage</th><th scope=\"col\"" + span +
          ">Term</th><th scope=\"col\" class=\"num\"" + span + ">Estimate</th>";
  if (limits) {
    out_ += "<th scope=\"colgroup\" colspan=\"2\" class=\"limits\">" + esc(level_text(*r.alpha)) +
            " confidence limits</th></tr>\n";
    out_ +=
        "<tr><th scope=\"col\" class=\"num\">Lower</th><th scope=\"col\" "
        "class=\"num\">Upper</th>";
  }
  line("</tr>");
  line("</thead>");
  int open_stage = 0;
  for (const ReportEstimate& e : r.estimates) {
    if (e.stage != open_stage) {
      if (open_stage != 0) line("</tbody>");
      line("<tbody>");
      open_stage = e.stage;
    }
    out_ += "<tr><td class=\"num\">" + std::to_string(e.stage) + "</td><td class=\"term\">" +
            esc(e.term) + "</td>";
    number_cell(e.estimate);
    if (limits) {
      number_cell(e.lower);
      number_cell(e.upper);
    }
    line("</tr>");
  }
  if (open_stage != 0) line("</tbody>");
  line("</table>");
}

void Writer::values(const std::vector<ReportValue>& values) {
  if (values.empty()) return;
  line("<table class=\"values\">");
  line("<caption>Value of the regimes</caption>");
  line("<thead>");
  line(
      "<tr><th scope=\"col\">Regime</th><th scope=\"col\" class=\"num\">Estimate</th>"
      "<th scope=\"col\" class=\"num\">Lower</th><th scope=\"col\" class=\"num\">Upper</th>"
      "<th scope=\"col\" class=\"num\">N</th><th scope=\"col\" class=\"num\">Kept</th></tr>");
  line("</thead>");
  std::string open_kind;
  for (const ReportValue& v : values) {
    if (v.kind != open_kind) {
      if (!open_kind.empty()) line("</tbody>");
      line("<tbody class=\"" + esc(v.kind) + "\">");
      open_kind = v.kind;
    }
    out_ += "<tr><td class=\"term\">" + esc(v.regime) + "</td>";
    number_cell(v.estimate);
    number_cell(v.lower);
    number_cell(v.upper);
    for (double count : {v.followers, v.kept}) {
      if (std::isnan(count)) {
        number_cell(count);
      } else {
        out_ += "<td class=\"num\">" + std::to_string(static_cast<int64_t>(count)) + "</td>";
      }
    }
    line("</tr>");
  }
  line("</tbody>");
  line("</table>");
}

void Writer::plot(const ReportResults& r, const std::string& anchor) {
  if (!r.alpha) return;
  ForestPlot plot;
  plot.id = anchor + "-plot";
  plot.level = level_text(*r.alpha);
  plot.title =
      "Stage-1 coefficients and contrasts with " + plot.level + " adaptive confidence intervals";
  for (const ReportEstimate& e : r.estimates) {
    if (e.stage == 1) plot.rows.push_back({e.term, e.estimate, e.lower, e.upper, e.contrast});
  }
  if (plot.rows.empty()) return;
  ++figures_;
  line("<figure class=\"plot\">");
  out_ += forest_plot_svg(plot);
  line("<figcaption>Figure " + std::to_string(figures_) + ". " + esc(plot.title) +
       ": estimates as squares (contrasts as diamonds), intervals as bars. Each term has its own "
       "axis, since the coefficients are in the units of their variables; the dashed line marks "
       "zero, a pointer at the edge shows which way zero lies when the axis does not reach "
       "it.</figcaption>");
  line("</figure>");
}

namespace {

// What each role does in the fit, for readers who do not know the statement.
const char* role_meaning(const std::string& role) {
  if (role == "MAIN1" || role == "MAIN2") return "main effects";
  if (role == "TAILOR1" || role == "TAILOR2") return "tailoring: main effects and by treatment";
  if (role == "STG1TRT" || role == "STG2TRT") return "treatment";
  if (role == "STG2SAMPLE") return "in the stage-2 sample (1) or not (0)";
  if (role == "RESPONSE") return "outcome";
  return "";
}

std::string join(const std::vector<std::string>& parts, const char* between) {
  std::string out;
  for (size_t k = 0; k < parts.size(); ++k) out += (k > 0 ? between : "") + parts[k];
  return out;
}

std::string plain_number(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.10g", value);
  return buffer;
}

}  // namespace

void Writer::model(const ReportResults& r) {
  if (r.roles.empty()) return;
  line("<table class=\"model\">");
  line("<caption>Model</caption>");
  line(
      "<thead><tr><th>Stage</th><th>Role</th><th>Variables, in the order of the fit</th>"
      "</tr></thead>");
  line("<tbody>");
  for (const ReportRole& role : r.roles) {
    std::vector<std::string> names;
    for (const std::string& n : role.names)
      names.push_back("<code class=\"var\">" + esc(n) + "</code>");
    line("<tr data-role=\"" + esc(role.role) + "\"><td>" +
         (role.stage == 0 ? std::string("both") : std::to_string(role.stage)) + "</td><td>" +
         esc(role.role) + " <span class=\"meaning\">(" + role_meaning(role.role) +
         ")</span></td><td>" + join(names, ", ") + "</td></tr>");
  }
  line("</tbody>");
  line("</table>");
  if (r.minimize) {
    line(
        "<p class=\"minimize\">MINIMIZE is in force: smaller outcomes are better; the rules and "
        "values choose the treatment with the smallest predicted outcome.</p>");
  }
}

void Writer::coding(const ReportResults& r) {
  if (r.levels.empty()) return;
  bool texts = false;
  for (const ReportLevel& level : r.levels) {
    for (const std::string& t : level.texts) texts = texts || !t.empty();
  }
  std::vector<std::string> names[2];
  for (const ReportRole& role : r.roles) {
    if (role.role == "STG1TRT") names[0] = role.names;
    if (role.role == "STG2TRT") names[1] = role.names;
  }
  line("<table class=\"coding\">");
  line("<caption>Treatment coding and arms</caption>");
  out_ += "<thead><tr><th>Stage</th><th>Treatment as the fit codes it</th>";
  if (texts) out_ += "<th>Value in the data</th>";
  line("<th class=\"num\">Observations</th></tr></thead>");
  int open_stage = 0;
  for (const ReportLevel& level : r.levels) {
    if (level.stage != open_stage) {
      if (open_stage != 0) line("</tbody>");
      line("<tbody>");
      open_stage = level.stage;
    }
    coding_row(level, names[level.stage - 1], texts);
  }
  if (open_stage != 0) line("</tbody>");
  line("</table>");
  line("<p class=\"note\">Stage-1 arms count the " + std::to_string(r.stage1) +
       " observations used; stage-2 arms the " + std::to_string(r.stage2) +
       " of the stage-2 sample. Arms are listed in ascending order of their values; a treatment "
       "held as text is coded -1 for the first of its two values in sort order and 1 for the "
       "other.</p>");
}

void Writer::coding_row(const ReportLevel& level, const std::vector<std::string>& names,
                        bool texts) {
  std::vector<std::string> codes;
  std::vector<std::string> values;
  for (size_t v = 0; v < level.values.size(); ++v) {
    const std::string name = v < names.size() ? names[v] : "";
    codes.push_back(name + " = " + plain_number(level.values[v]));
    if (v < level.texts.size() && !level.texts[v].empty()) {
      values.push_back(name + " = '" + level.texts[v] + "'");
    }
  }
  out_ += "<tr class=\"level\" data-stage=\"" + std::to_string(level.stage) + "\"><td>" +
          std::to_string(level.stage) + "</td><td class=\"code\">" + esc(join(codes, ", ")) +
          "</td>";
  if (texts) out_ += "<td class=\"text\">" + esc(join(values, ", ")) + "</td>";
  line("<td class=\"num\">" + std::to_string(level.count) + "</td></tr>");
}

void Writer::left_out(const ReportResults& r) {
  if (r.left_out.empty()) return;
  line("<table class=\"left-out\">");
  line("<caption>Observations left out: " + std::to_string(r.observations - r.stage1) + " of " +
       std::to_string(r.observations) + "</caption>");
  line("<thead><tr><th>Reason</th><th class=\"num\">Observations</th></tr></thead>");
  line("<tbody>");
  for (const ReportLeftOut& reason : r.left_out) {
    line("<tr><td class=\"reason\">" + esc(reason.reason) + "</td><td class=\"num\">" +
         std::to_string(reason.count) + "</td></tr>");
  }
  line("</tbody>");
  line("</table>");
  line("<p class=\"note\">An observation with several missing values counts under each.</p>");
}

void Writer::contrasts(const ReportResults& r) {
  if (r.contrasts.empty()) return;
  line("<div class=\"contrasts\">");
  line("<h3>Contrasts</h3>");
  line("<ul>");
  for (const std::string& c : r.contrasts) line("<li class=\"contrast\">" + esc(c) + "</li>");
  line("</ul>");
  line("</div>");
}

// The value table's estimates with their percentile intervals: regimes as squares, differences as
// diamonds. Rows without an estimate (regimes no one follows) are left to the table.
void Writer::value_plot(const ReportResults& r, const std::string& anchor) {
  ForestPlot plot;
  plot.id = anchor + "-values";
  plot.level = r.alpha ? level_text(*r.alpha) : "bootstrap";
  for (const ReportValue& v : r.values) {
    if (std::isfinite(v.estimate)) {
      plot.rows.push_back({v.regime, v.estimate, v.lower, v.upper, v.kind == "difference"});
    }
  }
  if (plot.rows.empty()) return;
  plot.title = "Values of the regimes and their differences with percentile bootstrap intervals";
  ++figures_;
  line("<figure class=\"plot values\">");
  out_ += forest_plot_svg(plot);
  line("<figcaption>Figure " + std::to_string(figures_) + ". " + esc(plot.title) +
       ": the estimated optimal regime and the embedded regimes as squares, their differences "
       "(first minus second) as diamonds, each on its own axis; the table above gives the "
       "numbers.</figcaption>");
  line("</figure>");
}

void Writer::results(const ReportResults& r, const std::string& anchor) {
  line("<table class=\"counts\">");
  line("<caption>Observations</caption>");
  line("<tbody>");
  auto count = [&](const char* label, int64_t n) {
    line(std::string("<tr><th scope=\"row\">") + label + "</th><td class=\"num\">" +
         std::to_string(n) + "</td></tr>");
  };
  count("Number of observations in dataset", r.observations);
  count("Number of observations in stage 1", r.stage1);
  count("Number of observations in stage 2", r.stage2);
  if (r.collinear > 0) count("Number of collinear cases", r.collinear);
  line("</tbody>");
  line("</table>");
  left_out(r);
  model(r);
  coding(r);
  estimates(r);
  contrasts(r);
  plot(r, anchor);
  if (!r.rules.empty() || !r.regime_values.empty()) {
    line("<div class=\"rules\">");
    if (!r.rules.empty()) {
      line("<h3>Decision rules</h3>");
      line("<ul>");
      for (const std::string& rule : r.rules) line("<li>" + esc(rule) + "</li>");
      line("</ul>");
    }
    if (!r.regime_values.empty()) {
      line("<h3>Value of the regime</h3>");
      line("<ul>");
      for (const std::string& value : r.regime_values) line("<li>" + esc(value) + "</li>");
      line("</ul>");
    }
    line("</div>");
  }
  values(r.values);
  value_plot(r, anchor);
}

void Writer::group(const ReportGroup& g, const std::string& anchor, size_t step_number) {
  line("<div class=\"group\" id=\"" + anchor + "\">");
  if (!g.by_line.empty()) line("<p class=\"byline\">" + esc(g.by_line) + "</p>");
  messages(g.messages);
  if (g.results) {
    results(*g.results, anchor);
  } else {
    line("<p class=\"empty\">Step " + std::to_string(step_number) + " produced no results" +
         (g.by_line.empty() ? "" : " for this BY group") + ".</p>");
  }
  line("</div>");
}

void Writer::step(const ReportStep& s, size_t number) {
  const std::string anchor = "step-" + std::to_string(number);
  line("<section class=\"step\" id=\"" + anchor + "\" aria-labelledby=\"" + anchor + "-h\">");
  out_ +=
      "<h2 id=\"" + anchor + "-h\">Step " + std::to_string(number) + ": PROC " + esc(s.procedure);
  if (s.line > 0) out_ += " <span class=\"where\">(line " + std::to_string(s.line) + ")</span>";
  line("</h2>");
  if (!s.heading.empty() || !s.titles.empty()) {
    line("<div class=\"titles\">");
    if (!s.heading.empty()) line("<p class=\"heading\">" + esc(s.heading) + "</p>");
    for (const std::string& title : s.titles) line("<p class=\"title\">" + esc(title) + "</p>");
    line("</div>");
  }
  for (size_t g = 0; g < s.groups.size(); ++g) {
    group(s.groups[g],
          s.groups.size() == 1 ? anchor + "-results" : anchor + "-by-" + std::to_string(g + 1),
          number);
  }
  messages(s.messages);
  if (s.groups.empty()) {
    line("<p class=\"empty\">Step " + std::to_string(number) + " produced no results.</p>");
  }
  settings(s.options, "Options of step " + std::to_string(number));
  if (!s.footnotes.empty()) {
    line("<div class=\"footnotes\">");
    for (const std::string& note : s.footnotes) line("<p>" + esc(note) + "</p>");
    line("</div>");
  }
  line("</section>");
}

}  // namespace

std::string format_html_report(const Report& report) {
  Writer w;
  w.line("<!DOCTYPE html>");
  w.line("<html lang=\"en\">");
  w.line("<head>");
  w.line("<meta charset=\"utf-8\"/>");
  w.line("<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"/>");
  w.line("<meta name=\"color-scheme\" content=\"light\"/>");
  w.line("<title>TALVEN report" +
         (report.program.empty() ? std::string() : ": " + esc(report.program)) + "</title>");
  w.out() += "<style>";
  w.out() += kStyle;
  w.line("</style>");
  w.line("</head>");
  w.line("<body>");
  w.line("<div class=\"page\">");
  w.line("<header class=\"report\">");
  w.line("<h1>TALVEN report</h1>");
  std::string meta;
  if (!report.program.empty()) meta += "Program <strong>" + esc(report.program) + "</strong>";
  if (!report.created.empty()) meta += (meta.empty() ? "Run " : ", run ") + esc(report.created);
  const size_t steps = report.steps.size();
  meta += std::string(meta.empty() ? "" : "; ") + std::to_string(steps) +
          (steps == 1 ? " step" : " steps") + ".";
  w.line("<p>" + meta + "</p>");
  w.line("</header>");
  if (steps > 1) {
    w.line("<nav class=\"contents\" aria-label=\"Steps\">");
    w.line("<ol>");
    for (size_t i = 0; i < steps; ++i) {
      const ReportStep& s = report.steps[i];
      const std::string n = std::to_string(i + 1);
      std::string item = "<li><a href=\"#step-";
      item.append(n).append("\">Step ").append(n).append(": PROC ").append(esc(s.procedure));
      // The procedure's heading would only repeat "PROC NAME".
      if (!s.titles.empty()) item.append(" \xE2\x80\x94 ").append(esc(s.titles.front()));
      w.line(item + "</a></li>");
    }
    w.line("</ol>");
    w.line("</nav>");
  }
  w.line("<main>");
  if (steps == 0) w.line("<p class=\"empty\">The program ran no steps.</p>");
  for (size_t i = 0; i < steps; ++i) w.step(report.steps[i], i + 1);
  w.line("</main>");
  if (!report.settings.empty()) {
    w.line("<footer class=\"run\">");
    w.line("<h2>Run settings</h2>");
    w.settings(report.settings, "Settings of the run");
    w.line("</footer>");
  }
  w.line("</div>");
  w.line("</body>");
  w.line("</html>");
  return w.out();
}

Result<void> write_html_report(const std::filesystem::path& file, const Report& report) {
  return write_file_atomically(file, format_html_report(report));
}

}  // namespace host
