// TITLE, FOOTNOTE, OPTIONS and ODS: statements that change the rest of the session, in a step
// (for that step and the later ones) or outside one.
#ifndef TALVEN_HOST_SESSION_H
#define TALVEN_HOST_SESSION_H

#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "host/lexer.h"
#include "host/log.h"
#include "host/program.h"

namespace host {

class HtmlReports;

// TITLE, TITLE1 to TITLE10, FOOTNOTE, FOOTNOTE1 to FOOTNOTE10, OPTIONS, ODS.
bool is_session_statement(const Statement& statement);
// The session statements, in upper case, for suggestions ("TITLE", "FOOTNOTE", "OPTIONS", "ODS").
const std::vector<std::string>& session_statement_names();

// Applies the statement to the log (NOTES), the listing (titles, footnotes, page options) and
// the HTML reports (ODS; without `html` an ODS statement does nothing).
void apply_session_statement(const Statement& statement, Log& log, Listing& listing,
                             const StatementReport& report, HtmlReports* html = nullptr);

// The step without its session statements, which go to `apply` in program order: they take
// effect at once, for this step and the later ones.
Step without_session_statements(const Step& step,
                                const std::function<void(const Statement&)>& apply);

// "10:32 Monday, May 2, 2018", as OPTIONS DATE shows the start of the session.
std::string session_date_text(std::time_t when, bool utc);

}  // namespace host

#endif  // TALVEN_HOST_SESSION_H
