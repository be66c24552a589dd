// The dashboard's page and its script, served by the local web API from the binary itself.
#pragma once

#include <string_view>

namespace ostrivel::api {

// The HTML page at "/": inline styles, no script of its own, loads dashboardScript.
std::string_view dashboardHtml();
// "/dashboard.js": reads the admin endpoints and renders the PCs, one day's chart and table.
std::string_view dashboardScript();
// For both: nothing but the API itself may be reached, and no inline script may run.
std::string_view dashboardSecurityPolicy();

}  // namespace ostrivel::api
