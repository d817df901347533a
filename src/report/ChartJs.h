#pragma once

#include <string_view>

namespace veska::report {

// Chart.js's UMD build and its licence as this build carries them; both empty in a build made
// without them (scripts/fetch-chartjs had not brought them).
[[nodiscard]] std::string_view ChartJsScript();
[[nodiscard]] std::string_view ChartJsLicence();

}  // namespace veska::report
