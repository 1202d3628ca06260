#pragma once
// The maker's report collector the wizard names to the diagnostics library
// (IVEKDebug::SetReportServer): with one named, the exception dialog offers
// to send its report there and crash reports are offered at the next start,
// always with the user's consent. The environment variable
// BREVANT_REPORT_SERVER names it when set and not empty, else the address
// fixed at build time (the CMake cache variable BREVANT_REPORT_SERVER),
// which is empty unless the build names one: then no collector is named.
#include <string>

std::string ReportServerAddress();
const char* BuiltInReportServer();
