// The routine tables that the support modules "SASPROCI" and "SASPROCD" fill, both made from the
// interface's list of routines; "SASPROCD"'s table traces each call to the log.
#ifndef TALVEN_HOST_ROUTINE_TABLE_H
#define TALVEN_HOST_ROUTINE_TABLE_H

#include <string>

#include "talven_host.h"

namespace host {

// The entry of the named support module ("SASPROCI" or "SASPROCD", any case); null for others.
TalvenSupportEntry support_module_entry(const std::string& name);

// The table of "SASPROCI" (traced false) or "SASPROCD" (traced true).
TalvenRoutines routine_table(bool traced);

}  // namespace host

#endif  // TALVEN_HOST_ROUTINE_TABLE_H
