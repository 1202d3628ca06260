#include "app/U_ReportServer.h"

#include <cstdlib>

#ifndef BREVANT_REPORT_SERVER_DEFAULT
#define BREVANT_REPORT_SERVER_DEFAULT ""
#endif

const char* BuiltInReportServer() {
  return BREVANT_REPORT_SERVER_DEFAULT;
}

std::string ReportServerAddress() {
  const char* env = std::getenv("BREVANT_REPORT_SERVER");
  return env && *env ? env : BuiltInReportServer();
}
