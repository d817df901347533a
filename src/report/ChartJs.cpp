#include "report/ChartJs.h"

#include <cstddef>

namespace veska::report {

// Made at build time from third_party/chartjs (cmake/EmbedText.cmake).
extern const unsigned char kChartJs_chart_umd_js[];
extern const std::size_t kChartJs_chart_umd_jsSize;
extern const unsigned char kChartJs_LICENSE_md[];
extern const std::size_t kChartJs_LICENSE_mdSize;

std::string_view ChartJsScript() {
  return {reinterpret_cast<const char*>(kChartJs_chart_umd_js), kChartJs_chart_umd_jsSize};
}

std::string_view ChartJsLicence() {
  return {reinterpret_cast<const char*>(kChartJs_LICENSE_md), kChartJs_LICENSE_mdSize};
}

}  // namespace veska::report
