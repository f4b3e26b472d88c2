// Text pieces of the report page.
#pragma once

#include <string>

namespace zarvo::report {

// Standard base64 (RFC 4648, with padding), for data: URLs.
std::string base64(const std::string& bytes);

// Text safe inside HTML elements and quoted attributes.
std::string escape_html(const std::string& text);

// A number as the page shows it: %.*g, "nan"/"inf" spelled out.
std::string number(double value, int digits = 6);

}  // namespace zarvo::report
