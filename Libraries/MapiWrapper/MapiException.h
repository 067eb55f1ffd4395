// MAPI failures as one exception type. Wrapper operations throw
// CMAPIException with their own name ("Class::Operation") as context;
// callers catch it around a whole step and turn it into a result code or a
// message. Catching it shows nothing by itself.
#pragma once

#include <functional>
#include <string>

#include "platform/base/HResult.h"

class CMAPIException {
 public:
  CMAPIException(HRESULT hr, std::string context) : hr_(hr), context_(std::move(context)) {}

  HRESULT Hr() const { return hr_; }
  const std::string& Context() const { return context_; }

 private:
  HRESULT hr_;
  std::string context_;
};

// Throws CMAPIException(hr, "") when hr is a failure; returns hr otherwise.
HRESULT CheckHr(HRESULT hr);
// Throws CMAPIException(hr, context) when hr is a failure.
HRESULT CheckHr(HRESULT hr, const char* context);

// hr if it is a failure, otherwise 0. `name` says what was called, `file`
// is "MapiWrapper" or the caller's source file.
HRESULT FailedHr(HRESULT hr, const char* name, const char* file, int line);
// Whether hr is not a failure.
bool SucceededHr(HRESULT hr, const char* name, const char* file, int line);

namespace vantrel::mapiwrapper {

// FailedHr and SucceededHr pass every check here. The default reports
// nothing; a trace may install its own. Set it before other threads run.
using HrReportHook = std::function<void(HRESULT hr, const char* name, const char* file, int line)>;
HrReportHook SetHrReportHook(HrReportHook hook);

}  // namespace vantrel::mapiwrapper
