#include "Libraries/MapiWrapper/MapiException.h"

namespace vantrel::mapiwrapper {
namespace {

// Written once at start-up, before the call threads run.
HrReportHook& Hook() {
  static HrReportHook hook;
  return hook;
}

void Report(HRESULT hr, const char* name, const char* file, int line) {
  if (const HrReportHook& hook = Hook()) hook(hr, name, file, line);
}

}  // namespace

HrReportHook SetHrReportHook(HrReportHook hook) {
  HrReportHook previous = std::move(Hook());
  Hook() = std::move(hook);
  return previous;
}

}  // namespace vantrel::mapiwrapper

HRESULT CheckHr(HRESULT hr) {
  if (FAILED(hr)) throw CMAPIException(hr, "");
  return hr;
}

HRESULT CheckHr(HRESULT hr, const char* context) {
  if (FAILED(hr)) throw CMAPIException(hr, context);
  return hr;
}

HRESULT FailedHr(HRESULT hr, const char* name, const char* file, int line) {
  vantrel::mapiwrapper::Report(hr, name, file, line);
  return FAILED(hr) ? hr : 0;
}

bool SucceededHr(HRESULT hr, const char* name, const char* file, int line) {
  vantrel::mapiwrapper::Report(hr, name, file, line);
  return !FAILED(hr);
}
