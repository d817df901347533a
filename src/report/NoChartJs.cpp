#include "report/ChartJs.h"

namespace veska::report {

// A build made without Chart.js: the report's page cannot draw its charts.
std::string_view ChartJsScript() {
  return {};
}
std::string_view ChartJsLicence() {
  return {};
}

}  // namespace veska::report
